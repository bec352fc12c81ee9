#include "interfaces/SampleInterfaceIF.h"

using namespace sample_interface_methods;

SampleInterfaceIF::SampleInterfaceIF(const std::string& name) : ComponentIF(name)
{
    add_table(sample_interface_methods::TABLE);
}

int SampleInterfaceIF::start_sipping(const std::string& text, int a, int b, int c, int d)
{
    return call_method(TABLE, START_SIPPING,
                   {text, std::int32_t(a), std::int32_t(b), std::int32_t(c), std::int32_t(d)});
}

int SampleInterfaceIF::set_cycle_state_duration(int state, int duration)
{
    return call_method(TABLE, SET_CYCLE_STATE_DURATION, {std::int32_t(state), std::int32_t(duration)});
}

int SampleInterfaceIF::cycle_state(int& state)
{
    return query_int(TABLE, CYCLE_STATE, {}, state);
}

int SampleInterfaceIF::get_cycle_state_duration(int state, int& duration)
{
    return query_int(TABLE, GET_CYCLE_STATE_DURATION, {std::int32_t(state)}, duration);
}

int SampleInterfaceIF::get_num_cycle_states(int& count)
{
    return query_int(TABLE, GET_NUM_CYCLE_STATES, {}, count);
}
