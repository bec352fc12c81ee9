#include "sim/installation/SupervisorSim.h"

#include <memory>

#include "sim/installation/SupervisorIFS.h"

SupervisorSim::SupervisorSim(const std::string& name, const std::string& log_path) : SimPeer(name, log_path)
{
    set_interface_server(std::make_unique<SupervisorIFS>(name, this));
}

void SupervisorSim::received(const std::string& method_name) { log_msg(method_name + " received", 0); }
