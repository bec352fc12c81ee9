#include "sila/SilaServer.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "interfaces/SipperMethods.h"
#include "utilities/Exception.h"

namespace {

std::vector<std::string> affected_by_lock() {
    std::vector<std::string> calls = SipperControllerFeature::locked_calls();
    for (const char* feature : {ProbePositionerFeature::FQI, WellSamplerFeature::FQI,
                                PlateManagerFeature::FQI, CancelControllerFeature::FQI})
        calls.emplace_back(feature);
    return calls;
}

std::string read_pem(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw Exception("sipper-sila: cannot read " + path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

SilaServer::SilaServer(Options options)
    : options_(std::move(options)),
      identity_(options_.state_dir),
      certificate_(certificate(options_, identity_)),
      gateway_(options_.sipper),
      executions_([this] {
          gateway_.submit(
              SipperGateway::operation("stop_all_motion", sipper_methods::STOP_ALL_MOTION));
      }),
      silaservice_(identity_, [this](const std::string& name) { renamed(name); }),
      lock_controller_(lock_, affected_by_lock()),
      cancel_controller_(executions_, lock_),
      sipper_controller_(gateway_, executions_, lock_),
      probe_positioner_(gateway_, executions_, lock_),
      well_sampler_(gateway_, executions_, lock_),
      plate_manager_(gateway_, lock_) {}

SilaServer::~SilaServer() {
    shutdown();
}

ServerCertificate SilaServer::certificate(const Options& o, const ServerIdentity& identity) {
    if (!o.cert_file.empty()) return ServerCertificate::from_files(o.cert_file, o.key_file);
    std::vector<std::string> names = {"localhost", "127.0.0.1", "::1"};
    if (o.host != "0.0.0.0" && o.host != "::" && o.host != "localhost" && o.host != "127.0.0.1" &&
        o.host != "::1")
        names.push_back(o.host);
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0' &&
        std::string(host) != "localhost")
        names.emplace_back(host);
    return ServerCertificate::load_or_create(identity.state_dir(), identity.uuid(), names);
}

bool SilaServer::is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string SilaServer::refusal(const Options& o) {
    if (o.cert_file.empty() != o.key_file.empty()) return "--cert and --key go together";
    if (!is_loopback(o.host) && o.client_ca.empty())
        return "refusing to listen on " + o.host +
               " without --client-ca: only loopback addresses may be served to clients without a "
               "certificate";
    return "";
}

void SilaServer::log(const std::string& line) const {
    std::fprintf(stderr, "sipper-sila: %s\n", line.c_str());
}

DiscoveryAnnouncer::Txt SilaServer::txt(const std::string& name) const {
    return DiscoveryAnnouncer::txt_record(SILA_VERSION, name, SiLAServiceFeature::DESCRIPTION,
                                          certificate_.cert_pem(), certificate_.self_signed());
}

void SilaServer::renamed(const std::string& name) {
    std::lock_guard<std::mutex> hold(announcer_guard_);
    if (announcer_) announcer_->update(txt(name));
}

bool SilaServer::start() {
    grpc::SslServerCredentialsOptions tls(
        options_.client_ca.empty() ? GRPC_SSL_DONT_REQUEST_CLIENT_CERTIFICATE
                                   : GRPC_SSL_REQUEST_AND_REQUIRE_CLIENT_CERTIFICATE_AND_VERIFY);
    tls.pem_key_cert_pairs.push_back({certificate_.key_pem(), certificate_.cert_pem()});
    if (!options_.client_ca.empty()) tls.pem_root_certs = read_pem(options_.client_ca);

    const std::string shown =
        options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host;
    grpc::ServerBuilder builder;
    builder.AddListeningPort(shown + ":" + std::to_string(options_.port),
                             grpc::SslServerCredentials(tls), &port_);
    for (grpc::Service* s : std::initializer_list<grpc::Service*>{
             &silaservice_, &lock_controller_, &cancel_controller_, &sipper_controller_,
             &probe_positioner_, &well_sampler_, &plate_manager_})
        builder.RegisterService(s);
    server_ = builder.BuildAndStart();
    if (!server_ || port_ == 0) return false;
    gateway_.start();
    if (!is_loopback(options_.host)) {
        std::lock_guard<std::mutex> hold(announcer_guard_);
        announcer_ =
            std::make_unique<DiscoveryAnnouncer>([this](const std::string& line) { log(line); });
        announcer_->announce(identity_.uuid(), port_, txt(identity_.name()));
    }
    return true;
}

void SilaServer::wait() {
    if (server_) server_->Wait();
}

void SilaServer::shutdown() {
    {
        std::lock_guard<std::mutex> hold(announcer_guard_);
        announcer_.reset();
    }
    // The property subscriptions end first; they would hold the shutdown.
    gateway_.board().close();
    if (server_) server_->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(2));
    gateway_.stop();
}
