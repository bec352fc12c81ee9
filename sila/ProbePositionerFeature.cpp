#include "sila/ProbePositionerFeature.h"

#include <limits>

#include "interfaces/SipperMethods.h"
#include "sila/FeatureSupport.h"
#include "sila/ParameterCheck.h"

namespace pp = sila2::org::example::sipper::probepositioner::v1;
namespace fw = sila2::org::silastandard;
using nlohmann::json;

namespace {

const std::string FEATURE = ProbePositionerFeature::FQI;
const std::string MOVE = FEATURE + "/Command/MoveToPosition";
const std::string PARK = FEATURE + "/Command/ParkProbe";

// An axis the sipper does not know yet is null in the status.
double axis(const json& position, const char* name) {
    const auto it = position.find(name);
    return it == position.end() || !it->is_number() ? std::numeric_limits<double>::quiet_NaN()
                                                    : it->get<double>();
}

}  // namespace

ProbePositionerFeature::ProbePositionerFeature(SipperGateway& gateway,
                                               ExecutionRegistry& executions, ServerLock& lock)
    : gateway_(gateway), executions_(executions), lock_(lock) {}

grpc::Status ProbePositionerFeature::MoveToPosition(grpc::ServerContext* context,
                                                    const pp::MoveToPosition_Parameters* request,
                                                    fw::CommandConfirmation* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    ParameterCheck check(MOVE);
    const auto position = static_cast<std::int32_t>(
        check.integer(request->has_positionnumber(), request->positionnumber(), "PositionNumber",
                      FIRST_POSITION, LAST_POSITION));
    if (check.failed()) return check.error();
    const std::string uuid =
        executions_.start(MOVE, [this, position](ExecutionRegistry::Progress& p) {
            return FeatureSupport::run(
                gateway_, p, FEATURE,
                SipperGateway::operation("goto_position_safe", sipper_methods::GOTO_POSITION_SAFE,
                                         {position}, {{"position", position}}));
        });
    executions_.confirm(uuid, response);
    return grpc::Status::OK;
}

grpc::Status ProbePositionerFeature::MoveToPosition_Info(
    grpc::ServerContext* context, const fw::CommandExecutionUUID* request,
    grpc::ServerWriter<fw::ExecutionInfo>* writer) {
    return executions_.stream_info(context, *request, MOVE, writer);
}

grpc::Status ProbePositionerFeature::MoveToPosition_Result(grpc::ServerContext*,
                                                           const fw::CommandExecutionUUID* request,
                                                           pp::MoveToPosition_Responses*) {
    std::string value;
    return executions_.result(*request, MOVE, value);
}

grpc::Status ProbePositionerFeature::ParkProbe(grpc::ServerContext* context,
                                               const pp::ParkProbe_Parameters*,
                                               fw::CommandConfirmation* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    const std::string uuid = executions_.start(PARK, [this](ExecutionRegistry::Progress& p) {
        const std::int32_t swap = PLATE_SWAP_POSITION;
        return FeatureSupport::run(gateway_, p, FEATURE,
                                   SipperGateway::operation("park", sipper_methods::GOTO_POSITION,
                                                            {swap}, {{"position", swap}}));
    });
    executions_.confirm(uuid, response);
    return grpc::Status::OK;
}

grpc::Status ProbePositionerFeature::ParkProbe_Info(grpc::ServerContext* context,
                                                    const fw::CommandExecutionUUID* request,
                                                    grpc::ServerWriter<fw::ExecutionInfo>* writer) {
    return executions_.stream_info(context, *request, PARK, writer);
}

grpc::Status ProbePositionerFeature::ParkProbe_Result(grpc::ServerContext*,
                                                      const fw::CommandExecutionUUID* request,
                                                      pp::ParkProbe_Responses*) {
    std::string value;
    return executions_.result(*request, PARK, value);
}

grpc::Status ProbePositionerFeature::Subscribe_ProbePosition(
    grpc::ServerContext* context, const pp::Subscribe_ProbePosition_Parameters*,
    grpc::ServerWriter<pp::Subscribe_ProbePosition_Responses>* writer) {
    if (auto refused = lock_.check(*context)) return *refused;
    return FeatureSupport::subscribe(context, gateway_, FEATURE, writer,
                                     [](const json& s, pp::Subscribe_ProbePosition_Responses& r) {
                                         const json position = s.value("position", json::object());
                                         auto* p = r.mutable_probeposition();
                                         p->mutable_x()->set_value(axis(position, "x"));
                                         p->mutable_y()->set_value(axis(position, "y"));
                                         p->mutable_z()->set_value(axis(position, "z"));
                                     });
}
