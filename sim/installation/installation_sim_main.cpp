// installation-sim: the whole installation around the sipper on one machine.
//
//   installation-sim [--stage FILE] [--time-factor X] [--log-dir DIR]
//                    [--no-components] INSTALLATION_FILE
//
// Prepares the simulated boards, serves the peers, starts the components of
// the installation file and runs until SIGINT/SIGTERM, a "kill" sent to its
// own interface or a component's unasked end; then stops everything and
// removes its shared objects.
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <CLI/CLI.hpp>

#include "config/PathUtils.h"
#include "sim/installation/Installation.h"
#include "sim/installation/InstallationConfig.h"
#include "utilities/Exception.h"

int main(int argc, char** argv)
{
    std::string file, stage, log_dir;
    double time_factor = -1;
    bool no_components = false;
    CLI::App app("Runs the simulated installation around the sipper: boards, peers and components.",
                 "installation-sim");
    app.add_option("INSTALLATION_FILE", file, "the installation file")->required()->type_name("");
    app.add_option("--stage", stage, "stage description instead of the installation file's")->type_name("FILE");
    app.add_option("--time-factor", time_factor, "board seconds per real second")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                char* end = nullptr;
                double v = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0' || !std::isfinite(v) || !(v > 0))
                    return "must be a positive number, not \"" + text + "\"";
                return "";
            },
            ""))
        ->type_name("X");
    app.add_option("--log-dir", log_dir, "log directory instead of the installation file's")->type_name("DIR");
    app.add_flag("--no-components", no_components, "serve the peers only; start no component");
    app.footer("Stops on SIGINT/SIGTERM or \"kill\" sent to its interface, and when a component ends unasked. "
               "Exit: 0 stopped, 1 failed (a component ended unasked), 2 usage error, an installation file that "
               "does not read or a component that exited with 2 (its configuration), 3 another installation "
               "runs on this machine.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "installation-sim: %s\n(installation-sim --help shows the usage)\n", e.what());
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
        if (no_components) config.components.clear();
        config.check();
    } catch (const Exception& e) {
        std::fprintf(stderr, "installation-sim: %s\n", e.message().c_str());
        return 2;
    }

    // Components call their peers by fixed names: a second installation
    // could only take commands meant for the first.
    const std::string taken = Installation::served_name(config);
    if (!taken.empty()) {
        std::fprintf(stderr,
                     "installation-sim: the interface %s is already served by a running process: another "
                     "installation runs on this machine (one per machine); stop it first\n",
                     taken.c_str());
        return Installation::EXIT_ANOTHER_INSTALLATION;
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
        if (installation.exit_status() != Installation::EXIT_STOPPED)
            std::fprintf(stderr, "installation-sim: stopped because a component ended unasked; exit %d\n",
                         installation.exit_status());
        return installation.exit_status();
    } catch (const Exception& e) {
        std::fprintf(stderr, "installation-sim: %s\n", e.message().c_str());
        return Installation::EXIT_FAILED;
    }
}
