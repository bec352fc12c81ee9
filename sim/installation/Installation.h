#pragma once
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/installation/InstallationConfig.h"
#include "sim/installation/SimPeer.h"

// The simulated installation on one machine: prepares the simulated boards,
// serves the peers (each a component with its main loop on its own thread),
// starts the listed components as child processes and, when it is killed
// through its own component interface, stops them all and removes every
// shared object it made.
//
//   Installation inst(config);   // boards, peers, components
//   inst.main();                 // until "kill" (or a signal, see watch_signals)
//   inst.shutdown();             // components, peers, shared objects
//
// Signals: the owner blocks SIGINT, SIGTERM, SIGHUP and SIGCHLD in every
// thread before constructing; a watcher thread takes them and turns a stop
// signal into "kill" on the installation's own interface.
//
// Supervision: every component's end is reported on standard error when it
// happens. A component that ends while the installation is not stopping it
// stops the whole installation the same way, and exit_status() then says
// so: the service manager restarts the installation as a whole, which
// prepares boards and peers afresh (nothing is restarted in here).
class Installation : public SimPeer {
public:
    // Exit statuses of installation-sim.
    static constexpr int EXIT_STOPPED = 0;
    static constexpr int EXIT_FAILED = 1;
    // A usage or configuration error, also a component's own (it exited
    // with 2): starting again cannot help.
    static constexpr int EXIT_CONFIGURATION = 2;
    // Another installation serves the fixed names on this machine.
    static constexpr int EXIT_ANOTHER_INSTALLATION = 3;

    // The first of the config's interface names that a live process serves,
    // or empty. Components call their peers by these names, so one
    // installation runs per machine.
    static std::string served_name(const InstallationConfig& config);

    // Raises Exception when a board or a peer cannot be set up; what was
    // already made is undone first.
    explicit Installation(const InstallationConfig& config);
    ~Installation() override;

    // Stops the components (kill, then SIGTERM, then SIGKILL), the peers and
    // the watcher, and removes the shared objects. Safe to call twice.
    void shutdown();

    // One line per component: name, pid, and whether it still runs.
    std::vector<std::string> component_lines();
    // The interface names whose channels this installation removes at the end.
    const std::vector<std::string>& owned_names() const { return owned_names_; }
    const InstallationConfig& config() const { return config_; }
    std::string log_path(const std::string& file) const;
    // EXIT_STOPPED, or the failure a component's unasked end stands for.
    int exit_status() const { return exit_status_; }

private:
    struct Peer {
        std::unique_ptr<Component> component;
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };
    struct Child {
        ComponentCommand command;
        pid_t pid = -1;
        bool running = false;
        int status = 0;
    };

    // Refuses names a live process serves; removes stale objects of the others.
    void claim_names();
    void prepare_boards();
    void start_peers();
    void start_peer(std::unique_ptr<Component> peer);
    void start_components();
    void start_component(const ComponentCommand& command);
    void watch_signals();
    // Ends the main loop through the installation's own interface.
    void request_stop(const std::string& reason);
    // Collects children that ended; logs each. Returns how many still run.
    int reap_children();
    void stop_components();
    void stop_peers();
    void remove_objects();
    std::string program_path(const std::string& program) const;

    InstallationConfig config_;
    std::vector<Peer> peers_;
    std::mutex children_lock_;
    std::vector<Child> children_;
    std::vector<std::string> owned_names_;
    std::vector<int> owned_boards_;
    std::thread watcher_;
    std::atomic<bool> watching_{false};
    // Set once the installation stops its components: ends after it were asked for.
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ended_unasked_{false};
    std::atomic<int> exit_status_{EXIT_STOPPED};
    bool shut_down_ = false;
};
