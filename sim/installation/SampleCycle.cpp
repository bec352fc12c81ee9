#include "sim/installation/SampleCycle.h"

SampleCycle::SampleCycle(std::vector<int> durations_ms) : durations_(std::move(durations_ms))
{
    for (int& d : durations_)
        if (d < 0)
            d = 0;
}

void SampleCycle::start(double now_seconds)
{
    state_ = durations_.empty() ? 0 : 1;
    entered_ = now_seconds;
}

int SampleCycle::state(double now_seconds)
{
    // Each state's end is counted from the previous state's end, not from
    // the moment it was observed, so a slow poller sees the same timeline.
    while (state_ != 0) {
        double end = entered_ + duration(state_) / 1000.0;
        if (now_seconds < end)
            break;
        entered_ = end;
        state_ = state_ == num_states() ? 0 : state_ + 1;
    }
    return state_;
}

int SampleCycle::duration(int state) const
{
    if (state < 1 || state > num_states())
        return 0;
    return durations_[static_cast<std::size_t>(state - 1)];
}

bool SampleCycle::set_duration(int state, int milliseconds, double now_seconds)
{
    if (state < 1 || state > num_states() || milliseconds < 0)
        return false;
    this->state(now_seconds);
    durations_[static_cast<std::size_t>(state - 1)] = milliseconds;
    if (state == state_ && entered_ + milliseconds / 1000.0 < now_seconds)
        entered_ = now_seconds - milliseconds / 1000.0;
    return true;
}
