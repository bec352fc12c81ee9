#include "entry/RunProcess.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>

#include "component/Component.h"
#include "entry/CommandLine.h"
#include "sipper/Sipper.h"
#include "utilities/Exception.h"

std::unique_ptr<Component> create_component(const std::vector<std::string>& args) {
    if (args.size() < 4) throw Exception("Must specify interface name, logfile, and config file");
    return std::make_unique<Sipper>(args[1], args[2], args[3]);
}

namespace {

std::atomic<int> stop_signals{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need a lock-free counter");

// The first SIGTERM/SIGINT/SIGHUP ends the process the way a "kill" command does:
// the main loop finishes its pass and the component is destroyed in order.
// A second one, for a process that does not get there, ends it at once.
extern "C" void on_stop_signal(int signal_number) {
    if (stop_signals.fetch_add(1) > 0) _exit(128 + signal_number);
    Component::request_exit();
}

bool sighup_ignored_at_start() {
    struct sigaction current {};
    if (sigaction(SIGHUP, nullptr, &current) != 0) return false;
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN;
}

void install_stop_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A closed terminal or session is a request to stop, not a crash; but a
    // process started to outlive its terminal (nohup) inherits SIGHUP ignored
    // and keeps it so.
    if (!sighup_ignored_at_start()) sigaction(SIGHUP, &action, nullptr);
    // Standard error may be a pipe whose reader went away: a diagnostic
    // must then fail as a write, not end the process.
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int run_process(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; argv != nullptr && i < argc; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");
    const std::string process_name = (argv != nullptr && argc > 0) ? args[0] : "component";

    install_stop_signal_handlers();
    std::unique_ptr<Component> component;
    // A supervisor reads the exit status: a component that could not start
    // or stopped on an error must not look like one that was killed.
    int status = EXIT_CANNOT_START;
    try {
        component = create_component(args);
        status = EXIT_FAILED;
        component->main();
        status = EXIT_KILLED;
    } catch (const Exception& e) {
        std::cerr << process_name << " caught exception: " << e.message() << "\n" << std::flush;
    } catch (...) {
        std::cerr << process_name << " caught unknown exception.\n" << std::flush;
    }
    component.reset();
    return status;
}

int split_command_line(const std::string& command_line) {
    std::vector<std::string> args = split_command_line_args(command_line);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return run_process(static_cast<int>(args.size()), argv.data());
}
