#include "sila/ParameterCheck.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>
#include <vector>

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
                                 std::size_t max_length, const Shape* shape) {
    if (missing(present, name)) return "";
    const std::size_t n = characters(v.value());
    if (n < min_length || n > max_length) {
        refuse(name, "The parameter " + name + " must hold " + range_text(min_length, max_length) +
                         " characters.");
        return "";
    }
    if (shape != nullptr && !shape->matches(v.value())) {
        refuse(name, "The parameter " + name + " must match the pattern " + shape->pattern +
                         ", not \"" + v.value() + "\".");
        return "";
    }
    return v.value();
}

namespace {

bool digit(char c) {
    return c >= '0' && c <= '9';
}
bool letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool well(const std::string& t) {
    return t.size() >= 2 && t.size() <= 4 && t[0] >= 'A' && t[0] <= 'Z' && t[1] >= '1' &&
           t[1] <= '9' && std::all_of(t.begin() + 2, t.end(), digit);
}

// Dot-separated words, each a letter followed by letters and digits.
bool words(const std::string& t) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = std::min(t.find('.', start), t.size());
        if (dot == start || !letter(t[start]) ||
            !std::all_of(t.begin() + static_cast<long>(start), t.begin() + static_cast<long>(dot),
                         [](char c) { return letter(c) || digit(c); }))
            return false;
        if (dot == t.size()) return true;
        start = dot + 1;
    }
}

bool feature_fqi(const std::string& t) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t slash; (slash = t.find('/', start)) != std::string::npos; start = slash + 1)
        parts.push_back(t.substr(start, slash - start));
    parts.push_back(t.substr(start));
    return parts.size() == 4 && words(parts[0]) && words(parts[1]) && !parts[2].empty() &&
           letter(parts[2][0]) &&
           std::all_of(parts[2].begin(), parts[2].end(),
                       [](char c) { return letter(c) || digit(c); }) &&
           parts[3].size() > 1 && (parts[3][0] == 'v' || parts[3][0] == 'V') &&
           std::all_of(parts[3].begin() + 1, parts[3].end(), digit);
}

bool uuid(const std::string& t) {
    if (t.size() != 36) return false;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(t[i])));
        if (dash ? c != '-' : !(digit(c) || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

const ParameterCheck::Shape ParameterCheck::WELL{"[A-Z][1-9][0-9]{0,2}", well};
const ParameterCheck::Shape ParameterCheck::FEATURE_FQI{
    "originator/category/FeatureIdentifier/vMajor", feature_fqi};
const ParameterCheck::Shape ParameterCheck::UUID_TEXT{"of a UUID (8-4-4-4-12 hexadecimal digits)",
                                                      uuid};

std::size_t ParameterCheck::characters(const std::string& utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xc0) != 0x80;
    return n;
}
