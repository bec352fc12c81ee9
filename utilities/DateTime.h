#pragma once
#include <string>

// Supplies the log files' time stamps: local time as "MM/DD/YY HH:MM:SS".
class DateTime {
public:
    std::string now_string() const;
};
