// sipper-sila: the sipper as a SiLA 2 server, for lab orchestration software.
//
//   sipper-sila [--interface NAME] [--config-dir DIR] [--log FILE] [--listen ADDR:PORT]
//               [--state-dir DIR] [--client-ca FILE] [--cert FILE --key FILE]
//
// gRPC over TLS on 127.0.0.1:50052 by default; any other address needs
// --client-ca (only clients with a certificate of that CA are served) and is
// announced as <server uuid>._sila._tcp. The state directory keeps the server
// UUID, its name and its self-signed certificate. Port 0 picks a free port;
// the address served is printed on standard output.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <thread>

#include "sila/SilaServer.h"
#include "utilities/Exception.h"

#if defined(__SANITIZE_THREAD__)
#include "TsanSuppressions.h"

// See sila/tsan-suppressions.txt: races ThreadSanitizer reports inside
// libraries built without it.
extern "C" const char* __tsan_default_suppressions() {
    return SILA_TSAN_SUPPRESSIONS;
}
#endif

namespace {

constexpr int EXIT_USAGE = 64;

// "ADDR:PORT", "[v6]:PORT"; false when it is not that.
bool parse_listen(const std::string& text, SilaServer::Options& o) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535)
        return false;
    o.host = host;
    o.port = std::stoi(port);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    SilaServer::Options o;
    std::string listen = "127.0.0.1:50052";
    CLI::App app(
        "The sipper as a SiLA 2 server (gRPC over TLS), a client of the sipper's interface.",
        "sipper-sila");
    app.add_option("--interface", o.sipper.interface_name,
                   "the sipper's interface (default Sipper)");
    app.add_option("--config-dir", o.sipper.config_dir,
                   "the sipper's configuration directory (default: ask the sipper)");
    app.add_option("--log", o.sipper.log_file,
                   "the sipper's log file, for the log lines and sip outcomes");
    app.add_option("--listen", listen,
                   "ADDR:PORT, default 127.0.0.1:50052; port 0 picks a free one");
    app.add_option("--state-dir", o.state_dir,
                   "keeps the server UUID, name and certificate (default sila)");
    app.add_option("--client-ca", o.client_ca,
                   "serve only clients with a certificate of this CA (PEM); needed for "
                   "any address that is not loopback");
    CLI::Option* cert =
        app.add_option("--cert", o.cert_file, "the server's certificate (PEM) instead of its own");
    CLI::Option* key = app.add_option("--key", o.key_file, "the key of --cert (PEM)");
    cert->needs(key);
    key->needs(cert);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : EXIT_USAGE;
    }
    if (!parse_listen(listen, o)) {
        std::fprintf(stderr, "sipper-sila: --listen takes ADDR:PORT, not \"%s\"\n", listen.c_str());
        return EXIT_USAGE;
    }
    const std::string refusal = SilaServer::refusal(o);
    if (!refusal.empty()) {
        std::fprintf(stderr, "sipper-sila: %s\n", refusal.c_str());
        return EXIT_USAGE;
    }

    // Signals are taken by one thread that stops the server in order.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        SilaServer server(o);
        if (!server.start()) {
            std::fprintf(stderr, "sipper-sila: cannot listen on %s\n", listen.c_str());
            return 1;
        }
        const std::string shown =
            o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host;
        std::printf("sipper-sila: serving %s:%d (TLS) as server %s for the interface %s\n",
                    shown.c_str(), server.port(), server.uuid().c_str(),
                    o.sipper.interface_name.c_str());
        std::fflush(stdout);
        std::thread stopper([&server, stop_signals] {
            int sig = 0;
            sigwait(&stop_signals, &sig);
            server.shutdown();
        });
        server.wait();
        stopper.join();
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "sipper-sila: %s\n", e.message().c_str());
        return 1;
    }
}
