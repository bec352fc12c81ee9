#include "sila/SilaError.h"

#include "SiLAFramework.pb.h"

namespace fw = sila2::org::silastandard;

namespace {

grpc::Status aborted(const fw::SiLAError& error) {
    return grpc::Status(grpc::StatusCode::ABORTED, SilaError::base64(error.SerializeAsString()));
}

}  // namespace

grpc::Status SilaError::validation(const std::string& parameter_fqi, const std::string& message) {
    fw::SiLAError e;
    e.mutable_validationerror()->set_parameter(parameter_fqi);
    e.mutable_validationerror()->set_message(message);
    return aborted(e);
}

grpc::Status SilaError::defined(const std::string& error_fqi, const std::string& message) {
    fw::SiLAError e;
    e.mutable_definedexecutionerror()->set_erroridentifier(error_fqi);
    e.mutable_definedexecutionerror()->set_message(message);
    return aborted(e);
}

grpc::Status SilaError::undefined(const std::string& message) {
    fw::SiLAError e;
    e.mutable_undefinedexecutionerror()->set_message(message);
    return aborted(e);
}

grpc::Status SilaError::framework(Framework type, const std::string& message) {
    fw::SiLAError e;
    e.mutable_frameworkerror()->set_errortype(static_cast<fw::FrameworkError::ErrorType>(type));
    e.mutable_frameworkerror()->set_message(message);
    return aborted(e);
}

std::string SilaError::base64(const std::string& bytes) {
    static const char ALPHABET[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += {ALPHABET[v >> 18], ALPHABET[(v >> 12) & 63], ALPHABET[(v >> 6) & 63],
                ALPHABET[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += {ALPHABET[v >> 18], ALPHABET[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += {ALPHABET[v >> 18], ALPHABET[(v >> 12) & 63], ALPHABET[(v >> 6) & 63], '='};
    }
    return out;
}
