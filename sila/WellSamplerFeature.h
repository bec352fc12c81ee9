#pragma once
#include "WellSampler.grpc.pb.h"
#include "sila/ExecutionRegistry.h"
#include "sila/ServerLock.h"
#include "sila/SipperGateway.h"

// The WellSampler feature: a sip from a well of the active plate or from a
// matrix station, ending with what the sip sensor saw, and a probe wash.
class WellSamplerFeature final
    : public sila2::org::example::sipper::wellsampler::v1::WellSampler::Service {
  public:
    static constexpr const char* FQI = "org.example/sipper/WellSampler/v1";
    static constexpr double MAX_DEPTH_MM = 100.0;
    static constexpr int MAX_WASH_TIME_MS = 600000;
    static constexpr int MATRIX_STATIONS = 4;
    // The row the sipper takes for a matrix station (the column is its number).
    static constexpr int MATRIX_ROW = 1000;

    WellSamplerFeature(SipperGateway& gateway, ExecutionRegistry& executions, ServerLock& lock);

    grpc::Status SipWell(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::wellsampler::v1::SipWell_Parameters* request,
        sila2::org::silastandard::CommandConfirmation* response) override;
    grpc::Status SipWell_Info(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        grpc::ServerWriter<sila2::org::silastandard::ExecutionInfo>* writer) override;
    grpc::Status SipWell_Result(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        sila2::org::example::sipper::wellsampler::v1::SipWell_Responses* response) override;
    grpc::Status SipMatrixStation(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::wellsampler::v1::SipMatrixStation_Parameters* request,
        sila2::org::silastandard::CommandConfirmation* response) override;
    grpc::Status SipMatrixStation_Info(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        grpc::ServerWriter<sila2::org::silastandard::ExecutionInfo>* writer) override;
    grpc::Status SipMatrixStation_Result(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        sila2::org::example::sipper::wellsampler::v1::SipMatrixStation_Responses* response)
        override;
    grpc::Status WashProbe(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::wellsampler::v1::WashProbe_Parameters* request,
        sila2::org::silastandard::CommandConfirmation* response) override;
    grpc::Status WashProbe_Info(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        grpc::ServerWriter<sila2::org::silastandard::ExecutionInfo>* writer) override;
    grpc::Status WashProbe_Result(
        grpc::ServerContext* context, const sila2::org::silastandard::CommandExecutionUUID* request,
        sila2::org::example::sipper::wellsampler::v1::WashProbe_Responses* response) override;

  private:
    struct Sip {
        std::string label;
        std::int32_t row = 0;
        std::int32_t column = 0;
        double depth = 0.0;
        std::int32_t wash1 = 0;
        std::int32_t wash2 = 0;
        std::int32_t tag = 0;
    };
    std::string start_sip(const std::string& command_fqi, const Sip& sip);

    SipperGateway& gateway_;
    ExecutionRegistry& executions_;
    ServerLock& lock_;
};
