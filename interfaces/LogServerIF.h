#pragma once
#include <string>

#include "interfaces/ComponentIF.h"
#include "interfaces/LogServerMethods.h"

// Client of a log server: the component forwards a copy of each log line.
class LogServerIF : public ComponentIF {
public:
    explicit LogServerIF(const std::string& name);

    // One-way; the text is cut to 4095 characters.
    int add_log_msg(const std::string& text);
};
