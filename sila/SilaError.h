#pragma once
#include <grpcpp/grpcpp.h>

#include <string>

// The errors a SiLA client understands: a SiLAError message, serialised and
// in Base64, as the text of an ABORTED status. No other status code carries
// a SiLA error; the others belong to the connection.
//
//   return SilaError::validation(FQI + "/Parameter/Well", "Well must name a well like B7");
//   return SilaError::defined(FQI + "/DefinedExecutionError/SipperBusy", record.message);
class SilaError {
  public:
    // Numbered as the framework's FrameworkError.ErrorType.
    enum class Framework {
        command_execution_not_accepted = 0,
        invalid_command_execution_uuid = 1,
        command_execution_not_finished = 2,
        invalid_metadata = 3,
        no_metadata_allowed = 4,
    };

    static grpc::Status validation(const std::string& parameter_fqi, const std::string& message);
    static grpc::Status defined(const std::string& error_fqi, const std::string& message);
    static grpc::Status undefined(const std::string& message);
    static grpc::Status framework(Framework type, const std::string& message);

    // RFC 4648 with padding.
    static std::string base64(const std::string& bytes);
};
