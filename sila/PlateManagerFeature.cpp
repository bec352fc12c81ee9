#include "sila/PlateManagerFeature.h"

#include <algorithm>

#include "interfaces/SipperMethods.h"
#include "sila/FeatureSupport.h"
#include "sila/ParameterCheck.h"

namespace pm = sila2::org::example::sipper::platemanager::v1;

namespace {

const std::string FEATURE = PlateManagerFeature::FQI;

}  // namespace

PlateManagerFeature::PlateManagerFeature(SipperGateway& gateway, ServerLock& lock)
    : gateway_(gateway), lock_(lock) {}

bool PlateManagerFeature::plate_names(std::vector<std::string>& names, grpc::Status& error) {
    const SipperLink::Reply all = gateway_.link().query(sipper_methods::GET_ALL_PLATE_CONFIGS);
    if (!all.ok()) {
        error = FeatureSupport::not_answering(FEATURE, all.text);
        return false;
    }
    // get_all_plate_configs joins the names with ",".
    const std::string joined = std::get<std::string>(all.values.at(0));
    std::size_t start = 0;
    while (!joined.empty() && start <= joined.size()) {
        const std::size_t comma = std::min(joined.find(',', start), joined.size());
        names.push_back(joined.substr(start, comma - start));
        start = comma + 1;
    }
    return true;
}

grpc::Status PlateManagerFeature::SelectPlate(grpc::ServerContext* context,
                                              const pm::SelectPlate_Parameters* request,
                                              pm::SelectPlate_Responses*) {
    if (auto refused = lock_.check(*context)) return *refused;
    ParameterCheck check(FEATURE + "/Command/SelectPlate");
    const std::string plate =
        check.text(request->has_platename(), request->platename(), "PlateName", 1, 255);
    if (check.failed()) return check.error();
    std::vector<std::string> names;
    grpc::Status error;
    if (!plate_names(names, error)) return error;
    if (std::find(names.begin(), names.end(), plate) == names.end()) {
        check.refuse("PlateName", "No plate configuration is named \"" + plate +
                                      "\"; AvailablePlates lists them.");
        return check.error();
    }
    const CommandTracker::Record r = gateway_.submit(SipperGateway::operation(
        "set_active_plate", sipper_methods::SET_ACTIVE_PLATE, {plate}, {{"plate", plate}}));
    if (r.state == CommandTracker::State::refused || r.state == CommandTracker::State::failed)
        return FeatureSupport::error_of(FEATURE, r);
    return grpc::Status::OK;
}

grpc::Status PlateManagerFeature::Get_ActivePlate(grpc::ServerContext* context,
                                                  const pm::Get_ActivePlate_Parameters*,
                                                  pm::Get_ActivePlate_Responses* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    const SipperLink::Reply plate = gateway_.link().query(sipper_methods::GET_PLATE_INFO);
    if (!plate.ok()) return FeatureSupport::not_answering(FEATURE, plate.text);
    auto* p = response->mutable_activeplate();
    p->mutable_name()->set_value(std::get<std::string>(plate.values.at(0)));
    p->mutable_rows()->set_value(std::get<std::int32_t>(plate.values.at(1)));
    p->mutable_columns()->set_value(std::get<std::int32_t>(plate.values.at(2)));
    return grpc::Status::OK;
}

grpc::Status PlateManagerFeature::Get_AvailablePlates(grpc::ServerContext* context,
                                                      const pm::Get_AvailablePlates_Parameters*,
                                                      pm::Get_AvailablePlates_Responses* response) {
    if (auto refused = lock_.check(*context)) return *refused;
    std::vector<std::string> names;
    grpc::Status error;
    if (!plate_names(names, error)) return error;
    for (const std::string& n : names) response->add_availableplates()->set_value(n);
    return grpc::Status::OK;
}
