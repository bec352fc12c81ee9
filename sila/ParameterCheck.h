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
//   const std::int64_t n = check.integer(request.has_linecount(), request.linecount(), "LineCount",
//   1, 5000); if (check.failed()) return check.error();
class ParameterCheck {
  public:
    explicit ParameterCheck(std::string command_fqi) : command_fqi_(std::move(command_fqi)) {}

    std::int64_t integer(bool present, const sila2::org::silastandard::Integer& v,
                         const std::string& name, std::int64_t low, std::int64_t high);
    double real(bool present, const sila2::org::silastandard::Real& v, const std::string& name,
                double low, double high);
    // A string of min_length to max_length characters (UTF-8) that matches the
    // pattern as a whole (an empty pattern matches anything), in any case
    // when ignore_case (identifiers compared without regard to case).
    std::string text(bool present, const sila2::org::silastandard::String& v,
                     const std::string& name, std::size_t min_length, std::size_t max_length,
                     const std::string& pattern = "", bool ignore_case = false);
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
