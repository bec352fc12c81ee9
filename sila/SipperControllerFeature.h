#pragma once
#include <string>
#include <vector>

#include "SipperController.grpc.pb.h"
#include "sila/ExecutionRegistry.h"
#include "sila/ServerLock.h"
#include "sila/SipperGateway.h"

// The SipperController feature: the sipper brought into service (reset,
// then run), homed, stopped, cleared of its error state, its log and its
// state. StopAllMotion is never protected by the lock: anyone may stop the
// sipper.
class SipperControllerFeature final
    : public sila2::org::example::sipper::sippercontroller::v1::SipperController::Service {
  public:
    static constexpr const char* FQI = "org.example/sipper/SipperController/v1";

    SipperControllerFeature(SipperGateway& gateway, ExecutionRegistry& executions,
                            ServerLock& lock);

    // The calls the lock protects: every command and property but StopAllMotion.
    static std::vector<std::string> locked_calls();

    grpc::Status InitializeSipper(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::InitializeSipper_Parameters*
            request,
        sila2::org::silastandard::CommandConfirmation* response) override;
    grpc::Status InitializeSipper_Info(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        grpc::ServerWriter<sila2::org::silastandard::ExecutionInfo>* writer) override;
    grpc::Status InitializeSipper_Result(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        sila2::org::example::sipper::sippercontroller::v1::InitializeSipper_Responses* response)
        override;
    grpc::Status HomeAxes(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::HomeAxes_Parameters* request,
        sila2::org::silastandard::CommandConfirmation* response) override;
    grpc::Status HomeAxes_Info(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        grpc::ServerWriter<sila2::org::silastandard::ExecutionInfo>* writer) override;
    grpc::Status HomeAxes_Result(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        sila2::org::example::sipper::sippercontroller::v1::HomeAxes_Responses* response) override;
    grpc::Status StopAllMotion(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::StopAllMotion_Parameters* request,
        sila2::org::example::sipper::sippercontroller::v1::StopAllMotion_Responses* response)
        override;
    grpc::Status ResetErrorState(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::ResetErrorState_Parameters*
            request,
        sila2::org::example::sipper::sippercontroller::v1::ResetErrorState_Responses* response)
        override;
    grpc::Status ReadLogLines(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::ReadLogLines_Parameters* request,
        sila2::org::example::sipper::sippercontroller::v1::ReadLogLines_Responses* response)
        override;
    grpc::Status Subscribe_ComponentState(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::
            Subscribe_ComponentState_Parameters* request,
        grpc::ServerWriter<
            sila2::org::example::sipper::sippercontroller::v1::Subscribe_ComponentState_Responses>*
            writer) override;
    grpc::Status Subscribe_SipperStatus(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::Subscribe_SipperStatus_Parameters*
            request,
        grpc::ServerWriter<
            sila2::org::example::sipper::sippercontroller::v1::Subscribe_SipperStatus_Responses>*
            writer) override;
    grpc::Status Subscribe_Homed(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::Subscribe_Homed_Parameters*
            request,
        grpc::ServerWriter<
            sila2::org::example::sipper::sippercontroller::v1::Subscribe_Homed_Responses>* writer)
        override;
    grpc::Status Subscribe_KillSwitchTripped(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::
            Subscribe_KillSwitchTripped_Parameters* request,
        grpc::ServerWriter<sila2::org::example::sipper::sippercontroller::v1::
                               Subscribe_KillSwitchTripped_Responses>* writer) override;
    grpc::Status Get_Configured(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::sippercontroller::v1::Get_Configured_Parameters* request,
        sila2::org::example::sipper::sippercontroller::v1::Get_Configured_Responses* response)
        override;

  private:
    SipperGateway& gateway_;
    ExecutionRegistry& executions_;
    ServerLock& lock_;
};
