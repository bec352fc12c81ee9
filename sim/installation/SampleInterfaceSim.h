#pragma once
#include <string>
#include <vector>

#include "sim/installation/SampleCycle.h"
#include "sim/installation/SimPeer.h"
#include "utilities/Timer.h"

// The simulated sample interface: a sampling cycle of numbered states that
// "start_sipping" starts at state 1 (1, 2, ... N, then 0 again), the cycle
// queries and duration settings the sipper uses, and a log line for every
// start_sipping call:
//   start_sipping text="A1" tag=0 row=1 column=1 sample_seen=0
class SampleInterfaceSim : public SimPeer {
public:
    SampleInterfaceSim(const std::string& name, const std::string& log_path, std::vector<int> durations_ms);

    void start_sipping(const std::string& text, int tag, int row, int column, int sample_seen);
    void stop_sipping();
    void cycle_state(int& state);
    void get_cycle_state_duration(int state, int& duration);
    void set_cycle_state_duration(int state, int duration);
    void get_num_cycle_states(int& count);

private:
    double now() const { return clock_.elapsed(); }

    SampleCycle cycle_;
    Timer clock_;
};
