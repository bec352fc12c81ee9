// sipper-web: serves the sipper's state, deck and commands over HTTP/JSON,
// and a page that draws the deck live.
//
//   sipper-web [--interface NAME] [--config-dir DIR] [--log FILE]
//              [--listen ADDR:PORT] [--token-file FILE] [--allow-host NAME]...
//              [--header-timeout S] [--idle-timeout S] [--body-timeout S]
//              [--max-per-address N] [--max-connections N]
//
// It listens on 127.0.0.1:8344 by default. Any address other than a
// loopback one needs --token-file: then every API request must carry
// "Authorization: Bearer <token>". Port 0 picks a free port; the address
// served is printed on standard output. A request must name this server in
// its Host header: the listen address, localhost, 127.0.0.1, [::1] or a
// name given with --allow-host, with the port.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "utilities/Exception.h"
#include "web/WebServer.h"

namespace {

constexpr int EXIT_USAGE = 64;
// Shorter tokens are too easy to guess for a stage that moves.
constexpr std::size_t MIN_TOKEN_LENGTH = 16;

const char* const USAGE =
    "usage: sipper-web [--interface NAME] [--config-dir DIR] [--log FILE]\n"
    "                  [--listen ADDR:PORT] [--token-file FILE] [--allow-host NAME]...\n"
    "                  [--header-timeout S] [--idle-timeout S] [--body-timeout S]\n"
    "                  [--max-per-address N] [--max-connections N]\n"
    "  --interface NAME   the sipper's interface (default Sipper)\n"
    "  --config-dir DIR   the sipper's configuration directory (default: ask the sipper)\n"
    "  --log FILE         the sipper's log file, for the log tail and sip outcomes\n"
    "  --listen ADDR:PORT default 127.0.0.1:8344; port 0 picks a free one\n"
    "  --token-file FILE  bearer token required on every API request; needed for\n"
    "                     any address that is not loopback\n"
    "  --allow-host NAME  also answer requests whose Host is NAME:PORT (repeatable);\n"
    "                     the listen address, localhost, 127.0.0.1 and [::1] always are\n"
    "  --header-timeout S a request's header must arrive within S seconds (default 10)\n"
    "  --idle-timeout S   close a kept-alive connection idle for S seconds (default 60)\n"
    "  --body-timeout S   a body must arrive, an answer be read, within S seconds (default 30)\n"
    "  --max-per-address N  open connections from one client address (default 64)\n"
    "  --max-connections N  open connections in all (default 1000)\n"
    "  (over either limit a new connection is closed at once)\n";

struct UsageError {
    std::string text;
};

struct Options {
    WebServer::Options server;
    std::string host = "127.0.0.1";
    int port = 8344;
    std::string token_file;
};

bool is_loopback(const std::string& host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

void parse_listen(const std::string& text, Options& o)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        throw UsageError{"--listen takes ADDR:PORT, not \"" + text + "\""};
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
        throw UsageError{"--listen: \"" + port + "\" is not a port number"};
    o.host = host;
    o.port = std::stoi(port);
}

std::string read_token(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw UsageError{"cannot read the token file " + path};
    std::stringstream s;
    s << in.rdbuf();
    std::string token = s.str();
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back())))
        token.pop_back();
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.front())))
        token.erase(token.begin());
    if (token.size() < MIN_TOKEN_LENGTH)
        throw UsageError{"the token in " + path + " is shorter than " + std::to_string(MIN_TOKEN_LENGTH) +
                         " characters"};
    if (token.find_first_of(" \t\r\n") != std::string::npos)
        throw UsageError{"the token in " + path + " holds white space"};
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & 0077) != 0)
        std::fprintf(stderr, "sipper-web: warning: %s can be read by other users\n", path.c_str());
    return token;
}

std::chrono::milliseconds seconds_option(const std::string& option, const std::string& text)
{
    char* end = nullptr;
    const double s = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(s > 0.0) || s > 86400.0)
        throw UsageError{option + " takes a number of seconds from 0 to 86400, not \"" + text + "\""};
    return std::chrono::milliseconds(static_cast<long>(s * 1000.0 + 0.5));
}

std::size_t count_option(const std::string& option, const std::string& text)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) == 0)
        throw UsageError{option + " takes a whole number from 1 to 999999, not \"" + text + "\""};
    return std::stoul(text);
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (++i >= argc)
                throw UsageError{a + " needs a value"};
            return argv[i];
        };
        if (a == "--interface") o.server.interface_name = value();
        else if (a == "--config-dir") o.server.config_dir = value();
        else if (a == "--log") o.server.log_file = value();
        else if (a == "--listen") parse_listen(value(), o);
        else if (a == "--token-file") o.token_file = value();
        else if (a == "--allow-host") {
            const std::string name = value();
            if (name.empty() || name.find_first_of(" \t/:@") != std::string::npos)
                throw UsageError{"--allow-host takes a host name without port, not \"" + name + "\""};
            o.server.allow_hosts.push_back(name);
        }
        else if (a == "--header-timeout") o.server.http.header_timeout = seconds_option(a, value());
        else if (a == "--idle-timeout") o.server.http.idle_timeout = seconds_option(a, value());
        else if (a == "--body-timeout") o.server.http.body_timeout = seconds_option(a, value());
        else if (a == "--max-per-address") o.server.http.max_per_address = count_option(a, value());
        else if (a == "--max-connections") o.server.http.max_connections = count_option(a, value());
        else if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else
            throw UsageError{"unknown option \"" + a + "\""};
    }
    if (!o.token_file.empty())
        o.server.token = read_token(o.token_file);
    else if (!is_loopback(o.host))
        throw UsageError{"refusing to listen on " + o.host +
                         " without --token-file: only loopback addresses may be served without a token"};
    return o;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    try {
        o = parse(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "sipper-web: %s\n(sipper-web --help shows the usage)\n", e.text.c_str());
        return EXIT_USAGE;
    }

    // Signals are taken by one thread that stops the server in order.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Every connection is a descriptor: allow as many as the hard limit.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    try {
        WebServer server(o.server);
        if (!server.bind(o.host, o.port)) {
            std::fprintf(stderr, "sipper-web: cannot listen on %s:%d\n", o.host.c_str(), o.port);
            return 1;
        }
        const std::string shown = o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host;
        std::printf("sipper-web: serving http://%s:%d/ for the interface %s\n", shown.c_str(), server.port(),
                    o.server.interface_name.c_str());
        std::fflush(stdout);
        std::thread stopper([&server, stop_signals] {
            int sig = 0;
            sigwait(&stop_signals, &sig);
            server.stop();
        });
        const bool ok = server.serve();
        // Wakes the stopper when the server ended on its own.
        kill(getpid(), SIGTERM);
        stopper.join();
        return ok ? 0 : 1;
    } catch (const Exception& e) {
        std::fprintf(stderr, "sipper-web: %s\n", e.message().c_str());
        return 1;
    }
}
