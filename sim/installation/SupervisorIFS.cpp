#include "sim/installation/SupervisorIFS.h"

#include <string>

#include "interfaces/SupervisorMethods.h"
#include "sim/installation/SupervisorSim.h"

SupervisorIFS::SupervisorIFS(const std::string& name, SupervisorSim* peer) : ComponentIFS(name, peer), peer_(peer)
{
    add_table(supervisor_methods::TABLE);
}

void SupervisorIFS::dispatch(const Message& message)
{
    const MethodSpec* method = supervisor_methods::TABLE.find(message.id());
    if (method == nullptr) {
        ComponentIFS::dispatch(message);
        return;
    }
    peer_->received(std::string(method->name));
}
