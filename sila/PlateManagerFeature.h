#pragma once
#include "PlateManager.grpc.pb.h"
#include "sila/ServerLock.h"
#include "sila/SipperGateway.h"

// The PlateManager feature: which plate the sipper works on, with its
// geometry, and the plates it knows.
class PlateManagerFeature final
    : public sila2::org::example::sipper::platemanager::v1::PlateManager::Service {
  public:
    static constexpr const char* FQI = "org.example/sipper/PlateManager/v1";

    PlateManagerFeature(SipperGateway& gateway, ServerLock& lock);

    grpc::Status SelectPlate(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::platemanager::v1::SelectPlate_Parameters* request,
        sila2::org::example::sipper::platemanager::v1::SelectPlate_Responses* response) override;
    grpc::Status Get_ActivePlate(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::platemanager::v1::Get_ActivePlate_Parameters* request,
        sila2::org::example::sipper::platemanager::v1::Get_ActivePlate_Responses* response)
        override;
    grpc::Status Get_AvailablePlates(
        grpc::ServerContext* context,
        const sila2::org::example::sipper::platemanager::v1::Get_AvailablePlates_Parameters*
            request,
        sila2::org::example::sipper::platemanager::v1::Get_AvailablePlates_Responses* response)
        override;

  private:
    // The plate names the sipper knows; false with the error when it does not answer.
    bool plate_names(std::vector<std::string>& names, grpc::Status& error);

    SipperGateway& gateway_;
    ServerLock& lock_;
};
