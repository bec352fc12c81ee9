#include "sim/installation/SimPeer.h"

SimPeer::SimPeer(const std::string& name, const std::string& log_path) : Component(name, log_path, "") {}

bool SimPeer::initialize()
{
    log_msg("initialize() completed", 0);
    return true;
}
