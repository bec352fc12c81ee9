#pragma once
#include <string>

// Fixed-point text with exactly `decimals` digits after the point, halves
// rounded away from zero; a value that rounds to zero is written without
// sign.  format_fixed(12.5, 10) == "12.5000000000", format_fixed(-0.0004, 3) == "0.000"
std::string format_fixed(double value, int decimals);
