#include "sila/CancelControllerFeature.h"

#include "sila/ParameterCheck.h"
#include "sila/SilaError.h"

namespace cc = sila2::org::silastandard::core::commands::cancelcontroller::v1;

CancelControllerFeature::CancelControllerFeature(ExecutionRegistry& executions, ServerLock& lock)
    : executions_(executions), lock_(lock) {}

grpc::Status CancelControllerFeature::CancelCommand(grpc::ServerContext* context,
                                                    const cc::CancelCommand_Parameters* request,
                                                    cc::CancelCommand_Responses*) {
    if (auto refused = lock_.check(*context)) return *refused;
    ParameterCheck check(std::string(FQI) + "/Command/CancelCommand");
    const bool present =
        request->has_commandexecutionuuid() && request->commandexecutionuuid().has_uuid();
    const std::string uuid = check.text(present, request->commandexecutionuuid().uuid(),
                                        "CommandExecutionUUID", 36, 36, &ParameterCheck::UUID_TEXT);
    if (check.failed()) return check.error();
    switch (executions_.cancel(uuid)) {
        case ExecutionRegistry::Cancel::cancelled:
            return grpc::Status::OK;
        case ExecutionRegistry::Cancel::ended:
            return SilaError::defined(
                std::string(FQI) + "/DefinedExecutionError/OperationNotSupported",
                "The command execution " + uuid +
                    " has ended already; there is nothing to cancel.");
        case ExecutionRegistry::Cancel::unknown:
            break;
    }
    return SilaError::defined(
        std::string(FQI) + "/DefinedExecutionError/InvalidCommandExecutionUUID",
        "No command execution of this server has the UUID " + uuid + ".");
}

grpc::Status CancelControllerFeature::CancelAll(grpc::ServerContext* context,
                                                const cc::CancelAll_Parameters*,
                                                cc::CancelAll_Responses*) {
    if (auto refused = lock_.check(*context)) return *refused;
    executions_.cancel_all();
    return grpc::Status::OK;
}
