#pragma once
#include <string>

#include "sim/installation/SimPeer.h"

// The simulated supervisor: serves its interface and notes every supervisor
// method it receives in its log. The layouts of these methods belong to the
// real supervisor, so they are taken as one-way notices without arguments.
class SupervisorSim : public SimPeer {
public:
    SupervisorSim(const std::string& name, const std::string& log_path);

    void received(const std::string& method_name);
};
