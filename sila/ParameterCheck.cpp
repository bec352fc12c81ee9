#include "sila/ParameterCheck.h"

#include <cmath>
#include <regex>
#include <sstream>

#include "sila/SilaError.h"

namespace {

template <class T>
std::string range_text(T low, T high) {
    std::ostringstream s;
    s << "from " << low << " to " << high;
    return s.str();
}

}  // namespace

bool ParameterCheck::missing(bool present, const std::string& name) {
    if (failed()) return true;
    if (!present) refuse(name, "The parameter " + name + " is missing.");
    return !present;
}

void ParameterCheck::refuse(const std::string& name, const std::string& message) {
    if (!failed()) error_ = SilaError::validation(parameter_fqi(name), message);
}

std::int64_t ParameterCheck::integer(bool present, const sila2::org::silastandard::Integer& v,
                                     const std::string& name, std::int64_t low, std::int64_t high) {
    if (missing(present, name)) return low;
    if (v.value() < low || v.value() > high) {
        refuse(name, "The parameter " + name + " must lie " + range_text(low, high) + ", not " +
                         std::to_string(v.value()) + ".");
        return low;
    }
    return v.value();
}

double ParameterCheck::real(bool present, const sila2::org::silastandard::Real& v,
                            const std::string& name, double low, double high) {
    if (missing(present, name)) return low;
    if (!std::isfinite(v.value()) || v.value() < low || v.value() > high) {
        std::ostringstream given;
        given << v.value();
        refuse(name, "The parameter " + name + " must lie " + range_text(low, high) + ", not " +
                         given.str() + ".");
        return low;
    }
    return v.value();
}

std::string ParameterCheck::text(bool present, const sila2::org::silastandard::String& v,
                                 const std::string& name, std::size_t min_length,
                                 std::size_t max_length, const std::string& pattern,
                                 bool ignore_case) {
    if (missing(present, name)) return "";
    const std::size_t n = characters(v.value());
    if (n < min_length || n > max_length) {
        refuse(name, "The parameter " + name + " must hold " + range_text(min_length, max_length) +
                         " characters.");
        return "";
    }
    if (!pattern.empty() &&
        !std::regex_match(
            v.value(), std::regex(pattern, ignore_case ? std::regex::ECMAScript | std::regex::icase
                                                       : std::regex::ECMAScript))) {
        refuse(name, "The parameter " + name + " must match the pattern " + pattern + ", not \"" +
                         v.value() + "\".");
        return "";
    }
    return v.value();
}

std::size_t ParameterCheck::characters(const std::string& utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xc0) != 0x80;
    return n;
}
