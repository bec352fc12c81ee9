#pragma once
#include <grpcpp/grpcpp.h>

#include <memory>
#include <mutex>
#include <string>

#include "sila/CancelControllerFeature.h"
#include "sila/ExecutionRegistry.h"
#include "sila/LockControllerFeature.h"
#include "sila/PlateManagerFeature.h"
#include "sila/ProbePositionerFeature.h"
#include "sila/ServerIdentity.h"
#include "sila/ServerLock.h"
#include "sila/SiLAServiceFeature.h"
#include "sila/SipperControllerFeature.h"
#include "sila/SipperGateway.h"
#include "sila/WellSamplerFeature.h"
#include "sila/net/DiscoveryAnnouncer.h"
#include "sila/net/ServerCertificate.h"

// sipper-sila's server: every feature on one TLS socket. Loopback addresses
// only, unless clients must show a certificate of the operator's CA (mutual
// TLS); then the server is also announced by mDNS.
//
//   SilaServer::Options o;  o.state_dir = "sila";
//   SilaServer server(o);          // identity and certificate; raises Exception
//   server.start();                // port() is the port bound
//   server.wait();                 // until shutdown() from another thread
class SilaServer {
  public:
    struct Options {
        SipperGateway::Options sipper;
        std::string host = "127.0.0.1";
        int port = 50052;  // 0 picks a free one
        std::string state_dir = "sila";
        std::string client_ca;  // PEM file of the CA whose clients are served
        std::string cert_file;  // with key_file: the operator's certificate
        std::string key_file;
    };

    static constexpr const char* SILA_VERSION = "1.0";

    explicit SilaServer(Options options);
    ~SilaServer();
    SilaServer(const SilaServer&) = delete;
    SilaServer& operator=(const SilaServer&) = delete;

    // False when the address cannot be bound.
    bool start();
    int port() const { return port_; }
    const std::string& uuid() const { return identity_.uuid(); }
    void wait();
    void shutdown();

    static bool is_loopback(const std::string& host);
    // Why these options cannot be served, or "" when they can.
    static std::string refusal(const Options& options);

  private:
    void log(const std::string& line) const;
    void renamed(const std::string& name);
    DiscoveryAnnouncer::Txt txt(const std::string& name) const;
    static ServerCertificate certificate(const Options& o, const ServerIdentity& identity);

    Options options_;
    ServerIdentity identity_;
    ServerCertificate certificate_;
    SipperGateway gateway_;
    ServerLock lock_;
    ExecutionRegistry executions_;
    SiLAServiceFeature silaservice_;
    LockControllerFeature lock_controller_;
    CancelControllerFeature cancel_controller_;
    SipperControllerFeature sipper_controller_;
    ProbePositionerFeature probe_positioner_;
    WellSamplerFeature well_sampler_;
    PlateManagerFeature plate_manager_;
    std::mutex announcer_guard_;  // renamed() runs on gRPC's threads
    std::unique_ptr<DiscoveryAnnouncer> announcer_;
    std::unique_ptr<grpc::Server> server_;
    int port_ = 0;
};
