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
class Installation : public SimPeer {
public:
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
    bool shut_down_ = false;
};
