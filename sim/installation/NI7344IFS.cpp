#include "sim/installation/NI7344IFS.h"

#include "interfaces/NI7344Methods.h"
#include "sim/installation/BoardOwnerSim.h"

NI7344IFS::NI7344IFS(const std::string& name, BoardOwnerSim* peer) : ComponentIFS(name, peer), peer_(peer)
{
    add_table(ni7344_methods::TABLE);
}

void NI7344IFS::dispatch(const Message& message)
{
    using namespace ni7344_methods;
    const MethodSpec* method = TABLE.find(message.id());
    if (method == nullptr) {
        ComponentIFS::dispatch(message);
        return;
    }
    if (method->id == GET_ID && message.fits(*method)) {
        int id = 0;
        peer_->get_ID(id);
        reply(*method, message, {std::int32_t{id}});
    }
}
