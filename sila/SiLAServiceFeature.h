#pragma once
#include <functional>
#include <optional>
#include <string>

#include "SiLAService.grpc.pb.h"
#include "sila/ServerIdentity.h"

// The SiLAService feature: who this server is and what it implements. Its
// calls take no SiLA metadata, are never refused, and change nothing but the
// server's name.
class SiLAServiceFeature final
    : public sila2::org::silastandard::core::silaservice::v1::SiLAService::Service {
  public:
    static constexpr const char* FQI = "org.silastandard/core/SiLAService/v1";
    static constexpr const char* DESCRIPTION =
        "The sipper: samples wells of a microplate or matrix stations with a probe on three axes, "
        "and washes it.";
    static constexpr const char* VENDOR_URL = "https://sipper.example.org/";

    // on_rename is told the new name (for discovery).
    SiLAServiceFeature(ServerIdentity& identity, std::function<void(const std::string&)> on_rename);

    // True when a header of the call is SiLA metadata ("sila-...-bin").
    static bool has_sila_metadata(const grpc::ServerContext& context);

    grpc::Status GetFeatureDefinition(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::silaservice::v1::GetFeatureDefinition_Parameters*
            request,
        sila2::org::silastandard::core::silaservice::v1::GetFeatureDefinition_Responses* response)
        override;
    grpc::Status SetServerName(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::silaservice::v1::SetServerName_Parameters* request,
        sila2::org::silastandard::core::silaservice::v1::SetServerName_Responses* response)
        override;
    grpc::Status Get_ServerName(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::silaservice::v1::Get_ServerName_Parameters* request,
        sila2::org::silastandard::core::silaservice::v1::Get_ServerName_Responses* response)
        override;
    grpc::Status Get_ServerType(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::silaservice::v1::Get_ServerType_Parameters* request,
        sila2::org::silastandard::core::silaservice::v1::Get_ServerType_Responses* response)
        override;
    grpc::Status Get_ServerUUID(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::silaservice::v1::Get_ServerUUID_Parameters* request,
        sila2::org::silastandard::core::silaservice::v1::Get_ServerUUID_Responses* response)
        override;
    grpc::Status Get_ServerDescription(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::silaservice::v1::Get_ServerDescription_Parameters*
            request,
        sila2::org::silastandard::core::silaservice::v1::Get_ServerDescription_Responses* response)
        override;
    grpc::Status Get_ServerVersion(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::silaservice::v1::Get_ServerVersion_Parameters*
            request,
        sila2::org::silastandard::core::silaservice::v1::Get_ServerVersion_Responses* response)
        override;
    grpc::Status Get_ServerVendorURL(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::silaservice::v1::Get_ServerVendorURL_Parameters*
            request,
        sila2::org::silastandard::core::silaservice::v1::Get_ServerVendorURL_Responses* response)
        override;
    grpc::Status Get_ImplementedFeatures(
        grpc::ServerContext* context,
        const sila2::org::silastandard::core::silaservice::v1::Get_ImplementedFeatures_Parameters*
            request,
        sila2::org::silastandard::core::silaservice::v1::Get_ImplementedFeatures_Responses*
            response) override;

  private:
    std::optional<grpc::Status> refuse_metadata(const grpc::ServerContext& context) const;

    ServerIdentity& identity_;
    std::function<void(const std::string&)> on_rename_;
};
