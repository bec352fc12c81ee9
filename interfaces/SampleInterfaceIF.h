#pragma once
#include <string>

#include "interfaces/ComponentIF.h"
#include "interfaces/SampleInterfaceMethods.h"

// Client of the sample interface, whose sampling cycle a sip follows.
class SampleInterfaceIF : public ComponentIF {
public:
    explicit SampleInterfaceIF(const std::string& name);

    // One-way calls.
    int start_sipping(const std::string& text, int a, int b, int c, int d);
    int set_cycle_state_duration(int state, int duration);
    // Queries; the integer results are 0 unless the call returns call_ok.
    int cycle_state(int& state);
    int get_cycle_state_duration(int state, int& duration);
    int get_num_cycle_states(int& count);
};
