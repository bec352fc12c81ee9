#include "config/ConfigEntry.h"

#include <cmath>
#include <cstdio>

ConfigEntry::ConfigEntry() = default;

ConfigEntry::ConfigEntry(const std::string& key, double value) : key_(key) { set(value); }

ConfigEntry::ConfigEntry(const std::string& key, int value) : key_(key) { set(value); }

ConfigEntry::ConfigEntry(const std::string& key, const std::string& value) : key_(key) { set(value); }

ConfigEntry::ConfigEntry(const std::string& key, const char* value) : key_(key) { set(std::string(value)); }

ConfigEntry::ConfigEntry(const std::string& key, const ConfigArray& elements) : key_(key) { set(elements); }

void ConfigEntry::set(double value)
{
    real_ = value;
    type_ = TYPE_REAL;
}

void ConfigEntry::set(int value)
{
    integer_ = value;
    type_ = TYPE_INTEGER;
}

void ConfigEntry::set(const std::string& value)
{
    string_ = value;
    type_ = TYPE_STRING;
}

void ConfigEntry::set(const ConfigArray& elements)
{
    // Copy first: the argument may be this entry's own element list.
    ConfigArray copy(elements);
    elements_.swap(copy);
    type_ = TYPE_ARRAY;
}

std::string format_config_real(double value)
{
    char buffer[400];  // %.10f of the largest double needs 309 + 1 + 10 digits
    std::snprintf(buffer, sizeof buffer, "%.10f", value);
    std::string text(buffer);
    if (value != 0.0 && text.find_first_of("123456789") == std::string::npos)
        return "0.0";
    return text;
}

std::string ConfigEntry::value_text() const
{
    switch (type_) {
    case TYPE_REAL:
        return format_config_real(real_);
    case TYPE_INTEGER:
        return std::to_string(integer_);
    case TYPE_STRING:
        return "\"" + string_ + "\"";
    default: {
        std::string text = "[";
        for (size_t i = 0; i < elements_.size(); ++i) {
            if (i > 0)
                text += ",";
            text += elements_[i].value_text();
        }
        return text + "]";
    }
    }
}

std::string ConfigEntry::text() const
{
    if (key_.empty())
        return value_text();
    return key_ + "=" + value_text() + ";";
}

bool ConfigEntry::same_as(const ConfigEntry& other) const
{
    if (key_ != other.key_ || type_ != other.type_)
        return false;
    switch (type_) {
    case TYPE_REAL:
        // Ten written decimals round by at most 5e-11; allow for the binary
        // error of large magnitudes as well.
        return real_ == other.real_ ||
               std::fabs(real_ - other.real_) <= 5.1e-11 + std::fabs(real_) * 1e-15;
    case TYPE_INTEGER:
        return integer_ == other.integer_;
    case TYPE_STRING:
        return string_ == other.string_;
    default:
        if (elements_.size() != other.elements_.size())
            return false;
        for (size_t i = 0; i < elements_.size(); ++i)
            if (!elements_[i].same_as(other.elements_[i]))
                return false;
        return true;
    }
}
