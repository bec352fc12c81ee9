#include "utilities/Format.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace {

std::string printf_fixed(double value, int decimals) {
    const int size = std::snprintf(nullptr, 0, "%.*f", decimals, value);
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
    text.resize(static_cast<size_t>(size));
    return text;
}

// True when magnitude lies exactly halfway between two numbers with
// `decimals` decimals: magnitude * 10^d = n + 1/2 exactly, which holds
// precisely when magnitude * 2^(d+1) is an odd integer.
bool exact_tie(double magnitude, int decimals) {
    const double scaled = std::ldexp(magnitude, decimals + 1);
    return std::isfinite(scaled) && scaled == std::floor(scaled) && std::fmod(scaled, 2.0) == 1.0;
}

// Adds one unit in the last digit of a digit string that may hold a point.
void increment_last_digit(std::string& text) {
    for (size_t i = text.size(); i-- > 0;) {
        if (text[i] == '.') continue;
        if (text[i] != '9') {
            ++text[i];
            return;
        }
        text[i] = '0';
    }
    text.insert(text.begin(), '1');
}

bool has_significant_digit(const std::string& digits) {
    return digits.find_first_of("123456789") != std::string::npos;
}

}  // namespace

std::string format_decimals(double value, int decimals) {
    if (decimals < 0) decimals = 0;
    if (!std::isfinite(value)) return printf_fixed(value, decimals);
    const double magnitude = std::fabs(value);

    std::string digits;
    if (exact_tie(magnitude, decimals)) {
        // printf would round a tie to even; halves are rounded away from zero.
        digits = printf_fixed(magnitude, decimals + 1);  // exact, ends in '5'
        digits.pop_back();
        if (!digits.empty() && digits.back() == '.') digits.pop_back();
        increment_last_digit(digits);
    } else {
        digits = printf_fixed(magnitude, decimals);
    }

    if (!has_significant_digit(digits)) return digits;
    return value < 0 ? "-" + digits : digits;
}

std::string format_fixed(double value, int decimals) {
    const std::string text = format_decimals(value, decimals);
    if (std::isfinite(value) && !has_significant_digit(text)) return "0.0";
    return text;
}
