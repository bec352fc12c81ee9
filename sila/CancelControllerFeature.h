#pragma once
#include "CancelController.grpc.pb.h"
#include "sila/ExecutionRegistry.h"
#include "sila/ServerLock.h"

// The CancelController feature: a cancelled execution stops the sipper's
// motion and ends with an error that names the cancellation.
class CancelControllerFeature final : public sila2::org::silastandard::core::commands::
                                          cancelcontroller::v1::CancelController::Service {
  public:
    static constexpr const char* FQI = "org.silastandard/core.commands/CancelController/v1";

    CancelControllerFeature(ExecutionRegistry& executions, ServerLock& lock);

    grpc::Status CancelCommand(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::commands::cancelcontroller::v1::
            CancelCommand_Parameters* request,
        sila2::org::silastandard::core::commands::cancelcontroller::v1::CancelCommand_Responses*
            response) override;
    grpc::Status CancelAll(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::commands::cancelcontroller::v1::CancelAll_Parameters*
            request,
        sila2::org::silastandard::core::commands::cancelcontroller::v1::CancelAll_Responses*
            response) override;

  private:
    ExecutionRegistry& executions_;
    ServerLock& lock_;
};
