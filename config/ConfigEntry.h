#pragma once
#include <string>
#include <vector>

class ConfigEntry;

// The elements of an array value: entries without key, each typed real,
// integer or string. Arrays are copied in and out of the store (value
// semantics), so a caller never shares elements with it.
using ConfigArray = std::vector<ConfigEntry>;

// One named, typed value of a configuration file. Building or changing the
// value sets the type; only the field of the current type is meaningful.
//
//   ConfigEntry freq("FREQ", 10);          // integer
//   freq.set(10.5);                        // now a real
//   freq.text();                           // "FREQ=10.5000000000;"
class ConfigEntry {
public:
    enum Type { TYPE_REAL = 0, TYPE_INTEGER = 1, TYPE_STRING = 2, TYPE_ARRAY = 3 };

    ConfigEntry();  // no key, integer 0
    ConfigEntry(const std::string& key, double value);
    ConfigEntry(const std::string& key, int value);
    ConfigEntry(const std::string& key, const std::string& value);
    ConfigEntry(const std::string& key, const char* value);
    ConfigEntry(const std::string& key, const ConfigArray& elements);

    const std::string& key() const { return key_; }
    int type() const { return type_; }
    double real_value() const { return real_; }
    int int_value() const { return integer_; }
    const std::string& string_value() const { return string_; }
    const ConfigArray& elements() const { return elements_; }

    void set(double value);
    void set(int value);
    void set(const std::string& value);
    void set(const ConfigArray& elements);

    // The value as the file syntax writes it: 10, -5, 0.5000000000, "text",
    // [1,2.0000000000,"a"].
    std::string value_text() const;
    // "KEY=value;" for a keyed entry; the value text alone for an element.
    std::string text() const;

    // Same key, type and value; reals are equal when they write the same text
    // or lie within the rounding of that text (ten decimals).
    bool same_as(const ConfigEntry& other) const;

private:
    std::string key_;
    double real_ = 0.0;
    int integer_ = 0;
    std::string string_;
    ConfigArray elements_;
    int type_ = TYPE_INTEGER;
};

// A real in the file's text form: fixed point with ten decimals, "0.0" for a
// non-zero value too small to leave a digit.
std::string format_config_real(double value);
