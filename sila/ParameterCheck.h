#pragma once
#include <grpcpp/grpcpp.h>

#include <cstdint>
#include <optional>
#include <string>

#include "SiLAFramework.pb.h"

// The constraints of a command's parameters, checked before anything is
// sent to the sipper; each failure is the validation error naming the
// parameter by its fully qualified identifier. A check passes its value on.
//
//   ParameterCheck check(COMMAND_FQI);
//   const std::int64_t n = check.integer(r.has_linecount(), r.linecount(), "LineCount", 1, 5000);
//   if (check.failed()) return check.error();
class ParameterCheck {
  public:
    explicit ParameterCheck(std::string command_fqi) : command_fqi_(std::move(command_fqi)) {}

    std::int64_t integer(bool present, const sila2::org::silastandard::Integer& v,
                         const std::string& name, std::int64_t low, std::int64_t high);
    double real(bool present, const sila2::org::silastandard::Real& v, const std::string& name,
                double low, double high);
    // The shape a text must have, as the pattern of its Feature Definition
    // says (checked by hand: std::regex is slow and not thread-clean).
    struct Shape {
        const char* pattern;  // for the message
        bool (*matches)(const std::string&);
    };
    // A well name like B7: [A-Z][1-9][0-9]{0,2}
    static const Shape WELL;
    // A feature identifier in any case: originator/category/Identifier/vN
    static const Shape FEATURE_FQI;
    // A UUID in text form, in any case
    static const Shape UUID_TEXT;

    // A string of min_length to max_length characters (UTF-8) of the shape,
    // when one is given.
    std::string text(bool present, const sila2::org::silastandard::String& v,
                     const std::string& name, std::size_t min_length, std::size_t max_length,
                     const Shape* shape = nullptr);
    // A check of the caller's own on a parameter that passed the others.
    void refuse(const std::string& name, const std::string& message);

    bool failed() const { return error_.has_value(); }
    grpc::Status error() const { return *error_; }
    std::string parameter_fqi(const std::string& name) const {
        return command_fqi_ + "/Parameter/" + name;
    }

    static std::size_t characters(const std::string& utf8);

  private:
    bool missing(bool present, const std::string& name);

    std::string command_fqi_;
    std::optional<grpc::Status> error_;
};
