#include "sila/SiLAServiceFeature.h"

#include "sila/FeatureCatalog.h"
#include "sila/ParameterCheck.h"
#include "sila/SilaError.h"
#include "utilities/Exception.h"

namespace ss = sila2::org::silastandard::core::silaservice::v1;

namespace {

const std::string UNIMPLEMENTED_FQI =
    std::string(SiLAServiceFeature::FQI) + "/DefinedExecutionError/UnimplementedFeature";

}  // namespace

SiLAServiceFeature::SiLAServiceFeature(ServerIdentity& identity,
                                       std::function<void(const std::string&)> on_rename)
    : identity_(identity), on_rename_(std::move(on_rename)) {}

bool SiLAServiceFeature::has_sila_metadata(const grpc::ServerContext& context) {
    for (const auto& [key, value] : context.client_metadata()) {
        const std::string k(key.data(), key.size());
        if (k.size() > 9 && k.rfind("sila-", 0) == 0 && k.compare(k.size() - 4, 4, "-bin") == 0)
            return true;
    }
    return false;
}

std::optional<grpc::Status> SiLAServiceFeature::refuse_metadata(
    const grpc::ServerContext& context) const {
    if (!has_sila_metadata(context)) return std::nullopt;
    return SilaError::framework(
        SilaError::Framework::no_metadata_allowed,
        "SiLAService calls take no SiLA metadata; send this call without it.");
}

grpc::Status SiLAServiceFeature::GetFeatureDefinition(
    grpc::ServerContext* context, const ss::GetFeatureDefinition_Parameters* request,
    ss::GetFeatureDefinition_Responses* response) {
    if (auto refused = refuse_metadata(*context)) return *refused;
    ParameterCheck check(std::string(FQI) + "/Command/GetFeatureDefinition");
    const std::string fqi =
        check.text(request->has_featureidentifier(), request->featureidentifier(),
                   "FeatureIdentifier", 1, 2048, &ParameterCheck::FEATURE_FQI);
    if (check.failed()) return check.error();
    const FeatureCatalog::Feature* f = FeatureCatalog::find(fqi);
    if (f == nullptr)
        return SilaError::defined(UNIMPLEMENTED_FQI,
                                  "This server does not implement the feature " + fqi +
                                      "; Get_ImplementedFeatures lists those it does.");
    response->mutable_featuredefinition()->set_value(std::string(f->definition));
    return grpc::Status::OK;
}

grpc::Status SiLAServiceFeature::SetServerName(grpc::ServerContext* context,
                                               const ss::SetServerName_Parameters* request,
                                               ss::SetServerName_Responses*) {
    if (auto refused = refuse_metadata(*context)) return *refused;
    ParameterCheck check(std::string(FQI) + "/Command/SetServerName");
    const std::string name = check.text(request->has_servername(), request->servername(),
                                        "ServerName", 0, ServerIdentity::MAX_NAME);
    if (check.failed()) return check.error();
    try {
        identity_.set_name(name);
    } catch (const Exception& e) {
        return SilaError::undefined(e.message());
    }
    if (on_rename_) on_rename_(name);
    return grpc::Status::OK;
}

grpc::Status SiLAServiceFeature::Get_ServerName(grpc::ServerContext* context,
                                                const ss::Get_ServerName_Parameters*,
                                                ss::Get_ServerName_Responses* response) {
    if (auto refused = refuse_metadata(*context)) return *refused;
    response->mutable_servername()->set_value(identity_.name());
    return grpc::Status::OK;
}

grpc::Status SiLAServiceFeature::Get_ServerType(grpc::ServerContext* context,
                                                const ss::Get_ServerType_Parameters*,
                                                ss::Get_ServerType_Responses* response) {
    if (auto refused = refuse_metadata(*context)) return *refused;
    response->mutable_servertype()->set_value(ServerIdentity::SERVER_TYPE);
    return grpc::Status::OK;
}

grpc::Status SiLAServiceFeature::Get_ServerUUID(grpc::ServerContext* context,
                                                const ss::Get_ServerUUID_Parameters*,
                                                ss::Get_ServerUUID_Responses* response) {
    if (auto refused = refuse_metadata(*context)) return *refused;
    response->mutable_serveruuid()->set_value(identity_.uuid());
    return grpc::Status::OK;
}

grpc::Status SiLAServiceFeature::Get_ServerDescription(
    grpc::ServerContext* context, const ss::Get_ServerDescription_Parameters*,
    ss::Get_ServerDescription_Responses* response) {
    if (auto refused = refuse_metadata(*context)) return *refused;
    response->mutable_serverdescription()->set_value(DESCRIPTION);
    return grpc::Status::OK;
}

grpc::Status SiLAServiceFeature::Get_ServerVersion(grpc::ServerContext* context,
                                                   const ss::Get_ServerVersion_Parameters*,
                                                   ss::Get_ServerVersion_Responses* response) {
    if (auto refused = refuse_metadata(*context)) return *refused;
    response->mutable_serverversion()->set_value(SIPPER_PRODUCT_VERSION);
    return grpc::Status::OK;
}

grpc::Status SiLAServiceFeature::Get_ServerVendorURL(grpc::ServerContext* context,
                                                     const ss::Get_ServerVendorURL_Parameters*,
                                                     ss::Get_ServerVendorURL_Responses* response) {
    if (auto refused = refuse_metadata(*context)) return *refused;
    response->mutable_servervendorurl()->set_value(VENDOR_URL);
    return grpc::Status::OK;
}

grpc::Status SiLAServiceFeature::Get_ImplementedFeatures(
    grpc::ServerContext* context, const ss::Get_ImplementedFeatures_Parameters*,
    ss::Get_ImplementedFeatures_Responses* response) {
    if (auto refused = refuse_metadata(*context)) return *refused;
    for (const FeatureCatalog::Feature& f : FeatureCatalog::all())
        response->add_implementedfeatures()->set_value(std::string(f.fqi));
    return grpc::Status::OK;
}
