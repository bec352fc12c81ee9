#pragma once
#include <string>

#include "interfaces/ComponentIFS.h"

class SupervisorSim;

// Server of the supervisor's methods for the simulated supervisor.
class SupervisorIFS : public ComponentIFS {
public:
    SupervisorIFS(const std::string& name, SupervisorSim* peer);
    void dispatch(const Message& message) override;

private:
    SupervisorSim* peer_;
};
