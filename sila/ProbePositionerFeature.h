#pragma once
#include "ProbePositioner.grpc.pb.h"
#include "sila/ExecutionRegistry.h"
#include "sila/ServerLock.h"
#include "sila/SipperGateway.h"

// The ProbePositioner feature: safe moves to the configured positions, the
// park at the plate swap position, and where the probe is.
class ProbePositionerFeature final
    : public sila2::org::example::sipper::probepositioner::v1::ProbePositioner::Service {
  public:
    static constexpr const char* FQI = "org.example/sipper/ProbePositioner/v1";
    static constexpr int FIRST_POSITION = 1;
    static constexpr int LAST_POSITION = 13;
    static constexpr int PLATE_SWAP_POSITION = 8;

    ProbePositionerFeature(SipperGateway& gateway, ExecutionRegistry& executions, ServerLock& lock);

    grpc::Status MoveToPosition(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::probepositioner::v1::MoveToPosition_Parameters* request,
        sila2::org::silastandard::CommandConfirmation* response) override;
    grpc::Status MoveToPosition_Info(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        grpc::ServerWriter<sila2::org::silastandard::ExecutionInfo>* writer) override;
    grpc::Status MoveToPosition_Result(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        sila2::org::example::sipper::probepositioner::v1::MoveToPosition_Responses* response)
        override;
    grpc::Status ParkProbe(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::probepositioner::v1::ParkProbe_Parameters* request,
        sila2::org::silastandard::CommandConfirmation* response) override;
    grpc::Status ParkProbe_Info(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        grpc::ServerWriter<sila2::org::silastandard::ExecutionInfo>* writer) override;
    grpc::Status ParkProbe_Result(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        sila2::org::example::sipper::probepositioner::v1::ParkProbe_Responses* response) override;
    grpc::Status Subscribe_ProbePosition(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::probepositioner::v1::Subscribe_ProbePosition_Parameters*
            request,
        grpc::ServerWriter<
            sila2::org::example::sipper::probepositioner::v1::Subscribe_ProbePosition_Responses>*
            writer) override;

  private:
    SipperGateway& gateway_;
    ExecutionRegistry& executions_;
    ServerLock& lock_;
};
