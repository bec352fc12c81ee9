#pragma once
#include <string>

#include "component/Component.h"

// Base of the simulated peer components (sample interface, log server,
// supervisor, board owners). A peer is a real component: it serves ids 0 to
// 11 through its server, runs Component::main and is ended by "kill". It has
// no configuration file and no periodic work of its own.
class SimPeer : public Component {
public:
    SimPeer(const std::string& name, const std::string& log_path);

    void task_loop() override {}
    // A peer registers no clients of its own: it only answers.
    bool initialize() override;
};
