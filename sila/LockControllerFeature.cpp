#include "sila/LockControllerFeature.h"

#include <limits>

#include "sila/ParameterCheck.h"
#include "sila/SilaError.h"

namespace lc = sila2::org::silastandard::core::lockcontroller::v1;

namespace {

std::string error_fqi(const char* id) {
    return std::string(LockControllerFeature::FQI) + "/DefinedExecutionError/" + id;
}

}  // namespace

LockControllerFeature::LockControllerFeature(ServerLock& lock, std::vector<std::string> affected)
    : lock_(lock), affected_(std::move(affected)) {}

grpc::Status LockControllerFeature::LockServer(grpc::ServerContext*,
                                               const lc::LockServer_Parameters* request,
                                               lc::LockServer_Responses*) {
    ParameterCheck check(std::string(FQI) + "/Command/LockServer");
    const std::string id = check.text(request->has_lockidentifier(), request->lockidentifier(),
                                      "LockIdentifier", 0, std::numeric_limits<std::size_t>::max());
    const std::int64_t timeout =
        check.integer(request->has_timeout(), request->timeout(), "Timeout", 0,
                      std::numeric_limits<std::int32_t>::max());
    if (check.failed()) return check.error();
    if (!lock_.lock(id, timeout))
        return SilaError::defined(error_fqi("ServerAlreadyLocked"),
                                  "The server is locked already; its holder must unlock it first.");
    return grpc::Status::OK;
}

grpc::Status LockControllerFeature::UnlockServer(grpc::ServerContext*,
                                                 const lc::UnlockServer_Parameters* request,
                                                 lc::UnlockServer_Responses*) {
    ParameterCheck check(std::string(FQI) + "/Command/UnlockServer");
    const std::string id = check.text(request->has_lockidentifier(), request->lockidentifier(),
                                      "LockIdentifier", 0, std::numeric_limits<std::size_t>::max());
    if (check.failed()) return check.error();
    switch (lock_.unlock(id)) {
        case ServerLock::Unlock::unlocked:
            return grpc::Status::OK;
        case ServerLock::Unlock::not_locked:
            return SilaError::defined(error_fqi("ServerNotLocked"), "The server is not locked.");
        case ServerLock::Unlock::wrong_identifier:
            break;
    }
    return SilaError::defined(
        ServerLock::INVALID_IDENTIFIER_FQI,
        "The lock identifier given is not the one the server is locked with.");
}

grpc::Status LockControllerFeature::Get_IsLocked(grpc::ServerContext*,
                                                 const lc::Get_IsLocked_Parameters*,
                                                 lc::Get_IsLocked_Responses* response) {
    response->mutable_islocked()->set_value(lock_.is_locked());
    return grpc::Status::OK;
}

grpc::Status LockControllerFeature::Get_FCPAffectedByMetadata_LockIdentifier(
    grpc::ServerContext*, const lc::Get_FCPAffectedByMetadata_LockIdentifier_Parameters*,
    lc::Get_FCPAffectedByMetadata_LockIdentifier_Responses* response) {
    for (const std::string& fqi : affected_) response->add_affectedcalls()->set_value(fqi);
    return grpc::Status::OK;
}
