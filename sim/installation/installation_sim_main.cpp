// installation-sim: the whole installation around the sipper on one machine.
//
//   installation-sim [--stage FILE] [--time-factor X] [--log-dir DIR]
//                    [--no-components] INSTALLATION_FILE
//
// Prepares the simulated boards, serves the peers, starts the components of
// the installation file and runs until SIGINT/SIGTERM or a "kill" sent to
// its own interface; then stops everything and removes its shared objects.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/PathUtils.h"
#include "sim/installation/Installation.h"
#include "sim/installation/InstallationConfig.h"
#include "utilities/Exception.h"

namespace {

const char* const USAGE =
    "usage: installation-sim [--stage FILE] [--time-factor X] [--log-dir DIR] [--no-components] "
    "INSTALLATION_FILE\n";

}  // namespace

int main(int argc, char** argv)
{
    std::string file, stage, log_dir;
    double time_factor = -1;
    bool components = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> std::string {
            if (++i >= argc) {
                std::fprintf(stderr, "installation-sim: %s needs a value\n%s", what, USAGE);
                std::exit(2);
            }
            return argv[i];
        };
        if (a == "--stage") stage = value("--stage");
        else if (a == "--log-dir") log_dir = value("--log-dir");
        else if (a == "--time-factor") {
            std::string v = value("--time-factor");
            char* end = nullptr;
            time_factor = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(time_factor > 0)) {
                std::fprintf(stderr, "installation-sim: --time-factor must be a positive number\n");
                return 2;
            }
        } else if (a == "--no-components") components = false;
        else if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "installation-sim: unknown option %s\n%s", a.c_str(), USAGE);
            return 2;
        } else if (file.empty()) file = a;
        else {
            std::fprintf(stderr, "installation-sim: more than one installation file\n%s", USAGE);
            return 2;
        }
    }
    if (file.empty()) {
        std::fputs(USAGE, stderr);
        return 2;
    }

    // Signals are taken by the installation's watcher thread only: block
    // them before any thread exists so that every thread inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    InstallationConfig config;
    try {
        config = InstallationConfig::read(file);
        if (!stage.empty()) config.stage_file = stage;
        if (!log_dir.empty()) config.log_dir = log_dir;
        if (time_factor > 0) config.time_factor = time_factor;
        if (!components) config.components.clear();
        config.check();
    } catch (const Exception& e) {
        std::fprintf(stderr, "installation-sim: %s\n", e.message().c_str());
        return 2;
    }

    try {
        Installation installation(config);
        std::string served;
        for (const std::string& n : installation.owned_names())
            served += (served.empty() ? "" : ", ") + n;
        std::printf("installation-sim: ready; interfaces %s; logs in %s\n", served.c_str(), config.log_dir.c_str());
        for (const std::string& line : installation.component_lines())
            std::printf("installation-sim: component %s\n", line.c_str());
        std::fflush(stdout);
        installation.main();
        installation.shutdown();
        std::printf("installation-sim: stopped; shared objects removed\n");
        for (const std::string& line : installation.component_lines())
            std::printf("installation-sim: component %s\n", line.c_str());
    } catch (const Exception& e) {
        std::fprintf(stderr, "installation-sim: %s\n", e.message().c_str());
        return 1;
    }
    return 0;
}
