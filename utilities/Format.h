#pragma once
#include <string>

// Fixed-point text with exactly `decimals` digits after the point; a value
// that rounds to nothing gives "0.0".  format_fixed(12.5, 10) == "12.5000000000"
std::string format_fixed(double value, int decimals);
