#include "sim/installation/SampleInterfaceIFS.h"

#include "interfaces/SampleInterfaceMethods.h"
#include "sim/installation/SampleInterfaceSim.h"

SampleInterfaceIFS::SampleInterfaceIFS(const std::string& name, SampleInterfaceSim* peer)
    : ComponentIFS(name, peer), peer_(peer)
{
    add_table(sample_interface_methods::TABLE);
}

void SampleInterfaceIFS::dispatch(const Message& message)
{
    using namespace sample_interface_methods;
    const MethodSpec* method = TABLE.find(message.id());
    if (method == nullptr) {
        ComponentIFS::dispatch(message);
        return;
    }
    const MethodSpec& m = *method;
    if (!message.fits(m))
        return;
    int value = 0;
    switch (m.id) {
    case START_SIPPING:
        peer_->start_sipping(message.get_string(m, 0), message.get_int(m, 1), message.get_int(m, 2),
                             message.get_int(m, 3), message.get_int(m, 4));
        break;
    case STOP_SIPPING:
        peer_->stop_sipping();
        break;
    case CYCLE_STATE:
        peer_->cycle_state(value);
        reply(m, message, {std::int32_t{value}});
        break;
    case SET_CYCLE_STATE_DURATION:
        peer_->set_cycle_state_duration(message.get_int(m, 0), message.get_int(m, 1));
        break;
    case GET_CYCLE_STATE_DURATION:
        peer_->get_cycle_state_duration(message.get_int(m, 0), value);
        reply(m, message, {std::int32_t{value}});
        break;
    case GET_NUM_CYCLE_STATES:
        peer_->get_num_cycle_states(value);
        reply(m, message, {std::int32_t{value}});
        break;
    default:
        break;
    }
}
