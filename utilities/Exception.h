#pragma once
#include <string>

// The one exception type the system raises for its own errors. Raised by
// value, caught by reference; handlers build their log text from message().
//
//   try { throw Exception("Vect3d::set(): Failed to parse " + text); }
//   catch (const Exception& e) { log_msg("... " + e.message(), 0); }
class Exception {
public:
    explicit Exception(std::string message);
    virtual ~Exception();
    const std::string& message() const;

private:
    std::string message_;
};
