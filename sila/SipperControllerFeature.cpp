#include "sila/SipperControllerFeature.h"

#include <fstream>

#include "interfaces/ComponentMethods.h"
#include "interfaces/SipperMethods.h"
#include "remote/LogFollower.h"
#include "sila/FeatureSupport.h"
#include "sila/ParameterCheck.h"

namespace sc = sila2::org::example::sipper::sippercontroller::v1;
namespace fw = sila2::org::silastandard;
using nlohmann::json;

namespace {

const std::string FEATURE = SipperControllerFeature::FQI;
const std::string INITIALIZE = FEATURE + "/Command/InitializeSipper";
const std::string HOME = FEATURE + "/Command/HomeAxes";

}  // namespace

SipperControllerFeature::SipperControllerFeature(SipperGateway& gateway,
                                                 ExecutionRegistry& executions, ServerLock& lock)
    : gateway_(gateway), executions_(executions), lock_(lock) {}

std::vector<std::string> SipperControllerFeature::locked_calls() {
    std::vector<std::string> calls;
    for (const char* c : {"InitializeSipper", "HomeAxes", "ResetErrorState", "ReadLogLines"})
        calls.push_back(FEATURE + "/Command/" + c);
    for (const char* p :
         {"ComponentState", "SipperStatus", "Homed", "KillSwitchTripped", "Configured"})
        calls.push_back(FEATURE + "/Property/" + p);
    return calls;
}

grpc::Status SipperControllerFeature::InitializeSipper(grpc::ServerContext* context,
                                                       const sc::InitializeSipper_Parameters*,
                                                       fw::CommandConfirmation* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    const std::string uuid = executions_.start(INITIALIZE, [this](ExecutionRegistry::Progress& p) {
        ExecutionRegistry::Outcome o = FeatureSupport::run(
            gateway_, p, FEATURE, SipperGateway::operation("reset", component_methods::RESET));
        if (!o.error.ok()) return o;
        return FeatureSupport::run(gateway_, p, FEATURE,
                                   SipperGateway::operation("run", component_methods::RUN), nullptr,
                                   0.5);
    });
    executions_.confirm(uuid, response);
    return grpc::Status::OK;
}

grpc::Status SipperControllerFeature::InitializeSipper_Info(
    grpc::ServerContext* context, const fw::CommandExecutionUUID* request,
    grpc::ServerWriter<fw::ExecutionInfo>* writer) {
    return executions_.stream_info(context, *request, INITIALIZE, writer);
}

grpc::Status SipperControllerFeature::InitializeSipper_Result(
    grpc::ServerContext*, const fw::CommandExecutionUUID* request,
    sc::InitializeSipper_Responses*) {
    std::string value;
    return executions_.result(*request, INITIALIZE, value);
}

grpc::Status SipperControllerFeature::HomeAxes(grpc::ServerContext* context,
                                               const sc::HomeAxes_Parameters*,
                                               fw::CommandConfirmation* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    const std::string uuid = executions_.start(HOME, [this](ExecutionRegistry::Progress& p) {
        return FeatureSupport::run(gateway_, p, FEATURE,
                                   SipperGateway::operation("home", sipper_methods::HOME));
    });
    executions_.confirm(uuid, response);
    return grpc::Status::OK;
}

grpc::Status SipperControllerFeature::HomeAxes_Info(grpc::ServerContext* context,
                                                    const fw::CommandExecutionUUID* request,
                                                    grpc::ServerWriter<fw::ExecutionInfo>* writer) {
    return executions_.stream_info(context, *request, HOME, writer);
}

grpc::Status SipperControllerFeature::HomeAxes_Result(grpc::ServerContext*,
                                                      const fw::CommandExecutionUUID* request,
                                                      sc::HomeAxes_Responses*) {
    std::string value;
    return executions_.result(*request, HOME, value);
}

grpc::Status SipperControllerFeature::StopAllMotion(grpc::ServerContext*,
                                                    const sc::StopAllMotion_Parameters*,
                                                    sc::StopAllMotion_Responses*) {
    const CommandTracker::Record r = gateway_.submit(
        SipperGateway::operation("stop_all_motion", sipper_methods::STOP_ALL_MOTION));
    if (r.unreachable()) return FeatureSupport::not_answering(FEATURE, r.message);
    return grpc::Status::OK;
}

grpc::Status SipperControllerFeature::ResetErrorState(grpc::ServerContext* context,
                                                      const sc::ResetErrorState_Parameters*,
                                                      sc::ResetErrorState_Responses*) {
    if (auto refused = lock_.check(*context)) return *refused;
    const CommandTracker::Record r = gateway_.submit(
        SipperGateway::operation("reset_error_state", sipper_methods::RESET_ERROR_STATE));
    if (r.state == CommandTracker::State::refused || r.state == CommandTracker::State::failed)
        return FeatureSupport::error_of(FEATURE, r);
    return grpc::Status::OK;
}

grpc::Status SipperControllerFeature::ReadLogLines(grpc::ServerContext* context,
                                                   const sc::ReadLogLines_Parameters* request,
                                                   sc::ReadLogLines_Responses* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    ParameterCheck check(FEATURE + "/Command/ReadLogLines");
    const std::int64_t count =
        check.integer(request->has_linecount(), request->linecount(), "LineCount", 1, 5000);
    if (check.failed()) return check.error();
    const std::string& path = gateway_.options().log_file;
    if (path.empty() || !std::ifstream(path))
        return SilaError::defined(
            FEATURE + "/DefinedExecutionError/LogNotAvailable",
            path.empty() ? "sipper-sila was started without the sipper's log file (--log)."
                         : "The sipper's log file " + path + " cannot be read.");
    for (const std::string& line : LogFollower::tail(path, static_cast<std::size_t>(count)))
        response->add_loglines()->set_value(line);
    return grpc::Status::OK;
}

grpc::Status SipperControllerFeature::Subscribe_ComponentState(
    grpc::ServerContext* context, const sc::Subscribe_ComponentState_Parameters*,
    grpc::ServerWriter<sc::Subscribe_ComponentState_Responses>* writer) {
    if (auto refused = lock_.check(*context)) return *refused;
    return FeatureSupport::subscribe(
        context, gateway_, FEATURE, writer,
        [](const json& s, sc::Subscribe_ComponentState_Responses& r) {
            r.mutable_componentstate()->set_value(s.value("state_name", std::string()));
        });
}

grpc::Status SipperControllerFeature::Subscribe_SipperStatus(
    grpc::ServerContext* context, const sc::Subscribe_SipperStatus_Parameters*,
    grpc::ServerWriter<sc::Subscribe_SipperStatus_Responses>* writer) {
    if (auto refused = lock_.check(*context)) return *refused;
    return FeatureSupport::subscribe(
        context, gateway_, FEATURE, writer,
        [](const json& s, sc::Subscribe_SipperStatus_Responses& r) {
            r.mutable_sipperstatus()->set_value(s.value("status_name", std::string()));
        });
}

grpc::Status SipperControllerFeature::Subscribe_Homed(
    grpc::ServerContext* context, const sc::Subscribe_Homed_Parameters*,
    grpc::ServerWriter<sc::Subscribe_Homed_Responses>* writer) {
    if (auto refused = lock_.check(*context)) return *refused;
    return FeatureSupport::subscribe(context, gateway_, FEATURE, writer,
                                     [](const json& s, sc::Subscribe_Homed_Responses& r) {
                                         r.mutable_homed()->set_value(s.value("homed", false));
                                     });
}

grpc::Status SipperControllerFeature::Subscribe_KillSwitchTripped(
    grpc::ServerContext* context, const sc::Subscribe_KillSwitchTripped_Parameters*,
    grpc::ServerWriter<sc::Subscribe_KillSwitchTripped_Responses>* writer) {
    if (auto refused = lock_.check(*context)) return *refused;
    return FeatureSupport::subscribe(
        context, gateway_, FEATURE, writer,
        [](const json& s, sc::Subscribe_KillSwitchTripped_Responses& r) {
            r.mutable_killswitchtripped()->set_value(s.value("inhibit_tripped", false));
        });
}

grpc::Status SipperControllerFeature::Get_Configured(grpc::ServerContext* context,
                                                     const sc::Get_Configured_Parameters*,
                                                     sc::Get_Configured_Responses* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    const SipperLink::Reply r = gateway_.link().query(sipper_methods::SYSTEM_CONFIGURED);
    if (!r.ok()) return FeatureSupport::not_answering(FEATURE, r.text);
    response->mutable_configured()->set_value(std::get<std::int32_t>(r.values.at(0)) != 0);
    return grpc::Status::OK;
}
