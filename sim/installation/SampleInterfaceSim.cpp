#include "sim/installation/SampleInterfaceSim.h"

#include <memory>

#include "sim/installation/SampleInterfaceIFS.h"

SampleInterfaceSim::SampleInterfaceSim(const std::string& name, const std::string& log_path,
                                       std::vector<int> durations_ms)
    : SimPeer(name, log_path), cycle_(std::move(durations_ms))
{
    clock_.start();
    std::string text = "cycle of " + std::to_string(cycle_.num_states()) + " states, durations (ms):";
    for (int s = 1; s <= cycle_.num_states(); ++s)
        text += " " + std::to_string(cycle_.duration(s));
    log_msg(text, 0);
    set_interface_server(std::make_unique<SampleInterfaceIFS>(name, this));
}

void SampleInterfaceSim::start_sipping(const std::string& text, int tag, int row, int column, int sample_seen)
{
    int before = cycle_.state(now());
    cycle_.start(now());
    log_msg("start_sipping text=\"" + text + "\" tag=" + std::to_string(tag) + " row=" + std::to_string(row) +
                " column=" + std::to_string(column) + " sample_seen=" + std::to_string(sample_seen) +
                (before != 0 ? " (restarted a cycle in state " + std::to_string(before) + ")" : ""),
            0);
}

void SampleInterfaceSim::stop_sipping()
{
    cycle_.stop();
    log_msg("stop_sipping: cycle back to state 0", 0);
}

void SampleInterfaceSim::cycle_state(int& state) { state = cycle_.state(now()); }

void SampleInterfaceSim::get_cycle_state_duration(int state, int& duration) { duration = cycle_.duration(state); }

void SampleInterfaceSim::set_cycle_state_duration(int state, int duration)
{
    if (!cycle_.set_duration(state, duration, now()))
        log_msg("set_cycle_state_duration refused: state " + std::to_string(state) + ", duration " +
                    std::to_string(duration),
                0);
}

void SampleInterfaceSim::get_num_cycle_states(int& count) { count = cycle_.num_states(); }
