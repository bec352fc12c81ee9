#include "sila/WellSamplerFeature.h"

#include <limits>

#include "interfaces/SipperMethods.h"
#include "sila/FeatureSupport.h"
#include "sila/ParameterCheck.h"

namespace ws = sila2::org::example::sipper::wellsampler::v1;
namespace fw = sila2::org::silastandard;

namespace {

const std::string FEATURE = WellSamplerFeature::FQI;
const std::string SIP_WELL = FEATURE + "/Command/SipWell";
const std::string SIP_MATRIX = FEATURE + "/Command/SipMatrixStation";
const std::string WASH = FEATURE + "/Command/WashProbe";

// Depth, wash times and tag: the same on both sips.
template <class Parameters>
void sip_settings(ParameterCheck& check, const Parameters& r, std::int32_t& wash1,
                  std::int32_t& wash2, double& depth, std::int32_t& tag) {
    depth = check.real(r.has_depth(), r.depth(), "Depth", -WellSamplerFeature::MAX_DEPTH_MM,
                       WellSamplerFeature::MAX_DEPTH_MM);
    wash1 = static_cast<std::int32_t>(check.integer(r.has_firstwashtime(), r.firstwashtime(),
                                                    "FirstWashTime", 0,
                                                    WellSamplerFeature::MAX_WASH_TIME_MS));
    wash2 = static_cast<std::int32_t>(check.integer(r.has_secondwashtime(), r.secondwashtime(),
                                                    "SecondWashTime", 0,
                                                    WellSamplerFeature::MAX_WASH_TIME_MS));
    tag = static_cast<std::int32_t>(check.integer(r.has_tag(), r.tag(), "Tag",
                                                  std::numeric_limits<std::int32_t>::min(),
                                                  std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

WellSamplerFeature::WellSamplerFeature(SipperGateway& gateway, ExecutionRegistry& executions,
                                       ServerLock& lock)
    : gateway_(gateway), executions_(executions), lock_(lock) {}

std::string WellSamplerFeature::start_sip(const std::string& command_fqi, const Sip& sip) {
    return executions_.start(command_fqi, [this, sip](ExecutionRegistry::Progress& p) {
        CommandTracker::Record record;
        ExecutionRegistry::Outcome o = FeatureSupport::run(
            gateway_, p, FEATURE,
            SipperGateway::operation(
                "sip", sipper_methods::SIP,
                {sip.label, sip.tag, sip.row, sip.column, sip.depth, sip.wash1, sip.wash2},
                {{"text", sip.label},
                 {"tag", sip.tag},
                 {"row", sip.row},
                 {"column", sip.column},
                 {"depth", sip.depth},
                 {"wash_time1", sip.wash1},
                 {"wash_time2", sip.wash2}},
                sip.label),
            &record);
        if (o.error.ok()) o.value = FeatureSupport::sip_outcome(record.outcome);
        return o;
    });
}

grpc::Status WellSamplerFeature::SipWell(grpc::ServerContext* context,
                                         const ws::SipWell_Parameters* request,
                                         fw::CommandConfirmation* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    ParameterCheck check(SIP_WELL);
    Sip sip;
    sip.label =
        check.text(request->has_well(), request->well(), "Well", 2, 4, &ParameterCheck::WELL);
    sip_settings(check, *request, sip.wash1, sip.wash2, sip.depth, sip.tag);
    if (check.failed()) return check.error();
    sip.row = sip.label[0] - 'A';
    sip.column = std::stoi(sip.label.substr(1)) - 1;
    // The well must lie on the plate the sipper has now.
    const SipperLink::Reply plate = gateway_.link().query(sipper_methods::GET_PLATE_INFO);
    if (!plate.ok()) return FeatureSupport::not_answering(FEATURE, plate.text);
    const std::string name = std::get<std::string>(plate.values.at(0));
    const std::int32_t rows = std::get<std::int32_t>(plate.values.at(1));
    const std::int32_t columns = std::get<std::int32_t>(plate.values.at(2));
    if (sip.row >= rows || sip.column >= columns) {
        check.refuse("Well", "The well " + sip.label + " lies outside the active plate \"" + name +
                                 "\" (" + std::to_string(rows) + " rows, " +
                                 std::to_string(columns) + " columns).");
        return check.error();
    }
    executions_.confirm(start_sip(SIP_WELL, sip), response);
    return grpc::Status::OK;
}

grpc::Status WellSamplerFeature::SipWell_Info(grpc::ServerContext* context,
                                              const fw::CommandExecutionUUID* request,
                                              grpc::ServerWriter<fw::ExecutionInfo>* writer) {
    return executions_.stream_info(context, *request, SIP_WELL, writer);
}

grpc::Status WellSamplerFeature::SipWell_Result(grpc::ServerContext*,
                                                const fw::CommandExecutionUUID* request,
                                                ws::SipWell_Responses* response) {
    std::string value;
    const grpc::Status s = executions_.result(*request, SIP_WELL, value);
    if (s.ok()) response->mutable_outcome()->set_value(value);
    return s;
}

grpc::Status WellSamplerFeature::SipMatrixStation(grpc::ServerContext* context,
                                                  const ws::SipMatrixStation_Parameters* request,
                                                  fw::CommandConfirmation* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    ParameterCheck check(SIP_MATRIX);
    Sip sip;
    sip.row = MATRIX_ROW;
    sip.column = static_cast<std::int32_t>(
        check.integer(request->has_station(), request->station(), "Station", 1, MATRIX_STATIONS));
    sip_settings(check, *request, sip.wash1, sip.wash2, sip.depth, sip.tag);
    if (check.failed()) return check.error();
    sip.label = "matrix" + std::to_string(sip.column);
    executions_.confirm(start_sip(SIP_MATRIX, sip), response);
    return grpc::Status::OK;
}

grpc::Status WellSamplerFeature::SipMatrixStation_Info(
    grpc::ServerContext* context, const fw::CommandExecutionUUID* request,
    grpc::ServerWriter<fw::ExecutionInfo>* writer) {
    return executions_.stream_info(context, *request, SIP_MATRIX, writer);
}

grpc::Status WellSamplerFeature::SipMatrixStation_Result(grpc::ServerContext*,
                                                         const fw::CommandExecutionUUID* request,
                                                         ws::SipMatrixStation_Responses* response) {
    std::string value;
    const grpc::Status s = executions_.result(*request, SIP_MATRIX, value);
    if (s.ok()) response->mutable_outcome()->set_value(value);
    return s;
}

grpc::Status WellSamplerFeature::WashProbe(grpc::ServerContext* context,
                                           const ws::WashProbe_Parameters* request,
                                           fw::CommandConfirmation* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    ParameterCheck check(WASH);
    const auto wash1 = static_cast<std::int32_t>(
        check.integer(request->has_firstwashtime(), request->firstwashtime(), "FirstWashTime", 0,
                      MAX_WASH_TIME_MS));
    const auto wash2 = static_cast<std::int32_t>(
        check.integer(request->has_secondwashtime(), request->secondwashtime(), "SecondWashTime", 0,
                      MAX_WASH_TIME_MS));
    if (check.failed()) return check.error();
    const std::string uuid =
        executions_.start(WASH, [this, wash1, wash2](ExecutionRegistry::Progress& p) {
            return FeatureSupport::run(
                gateway_, p, FEATURE,
                SipperGateway::operation("wash", sipper_methods::WASH, {wash1, wash2},
                                         {{"wash_time1", wash1}, {"wash_time2", wash2}}));
        });
    executions_.confirm(uuid, response);
    return grpc::Status::OK;
}

grpc::Status WellSamplerFeature::WashProbe_Info(grpc::ServerContext* context,
                                                const fw::CommandExecutionUUID* request,
                                                grpc::ServerWriter<fw::ExecutionInfo>* writer) {
    return executions_.stream_info(context, *request, WASH, writer);
}

grpc::Status WellSamplerFeature::WashProbe_Result(grpc::ServerContext*,
                                                  const fw::CommandExecutionUUID* request,
                                                  ws::WashProbe_Responses*) {
    std::string value;
    return executions_.result(*request, WASH, value);
}
