#pragma once
#include <string>
#include <vector>

#include "LockController.grpc.pb.h"
#include "sila/ServerLock.h"

// The LockController feature over the server's lock. Its own calls are never
// protected: IsLocked must always answer, and the unlock takes its key as a
// parameter.
class LockControllerFeature final
    : public sila2::org::silastandard::core::lockcontroller::v1::LockController::Service {
  public:
    static constexpr const char* FQI = "org.silastandard/core/LockController/v1";

    // affected: the fully qualified identifiers of the features, commands
    // and properties the lock protects.
    LockControllerFeature(ServerLock& lock, std::vector<std::string> affected);

    grpc::Status LockServer(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::lockcontroller::v1::LockServer_Parameters* request,
        sila2::org::silastandard::core::lockcontroller::v1::LockServer_Responses* response)
        override;
    grpc::Status UnlockServer(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::lockcontroller::v1::UnlockServer_Parameters* request,
        sila2::org::silastandard::core::lockcontroller::v1::UnlockServer_Responses* response)
        override;
    grpc::Status Get_IsLocked(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::lockcontroller::v1::Get_IsLocked_Parameters* request,
        sila2::org::silastandard::core::lockcontroller::v1::Get_IsLocked_Responses* response)
        override;
    grpc::Status Get_FCPAffectedByMetadata_LockIdentifier(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::lockcontroller::v1::
            Get_FCPAffectedByMetadata_LockIdentifier_Parameters* request,
        sila2::org::silastandard::core::lockcontroller::v1::
            Get_FCPAffectedByMetadata_LockIdentifier_Responses* response) override;

  private:
    ServerLock& lock_;
    std::vector<std::string> affected_;
};
