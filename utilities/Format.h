#pragma once
#include <string>

// Fixed-point text with exactly `decimals` digits after the point, halves
// rounded away from zero; a value that rounds to nothing is written "0.0",
// whatever the decimals.
//   format_fixed(12.5, 10) == "12.5000000000", format_fixed(3.7, 0) == "4",
//   format_fixed(0.0, 10) == "0.0", format_fixed(-0.0004, 3) == "0.0"
std::string format_fixed(double value, int decimals);

// As format_fixed, but a value that rounds to nothing keeps its decimals and
// has no sign: for texts that promise a number of decimals.
//   format_decimals(0.0, 3) == "0.000", format_decimals(1.23456, 3) == "1.235"
std::string format_decimals(double value, int decimals);
