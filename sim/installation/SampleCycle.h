#pragma once
#include <vector>

// The sampling cycle of the simulated sample interface: states 1..N, each
// held for its duration in milliseconds, then back to 0 (idle). The cycle is
// computed from the clock when it is asked for, so it needs no thread of its
// own and a duration changed while a state is held takes effect at once
// (the sipper shortens state 1 to 0 that way during a sensed sip).
//
//   SampleCycle c({500, 300, 300});
//   c.start(now);          // state 1
//   c.state(now + 0.6);    // 2
//   c.state(now + 2.0);    // 0
//   c.set_duration(1, 0, t);  // state 1 ends at t
class SampleCycle {
public:
    explicit SampleCycle(std::vector<int> durations_ms);

    // Begins a new cycle at state 1 (a running cycle starts over). A cycle
    // without states stays idle.
    void start(double now_seconds);
    // Ends the cycle at once (state 0).
    void stop() { state_ = 0; }
    // The state at `now`, advancing over every state whose time is up.
    // Callers pass a clock that does not go backwards.
    int state(double now_seconds);

    int num_states() const { return static_cast<int>(durations_.size()); }
    // Duration of state 1..N; 0 for any other number.
    int duration(int state) const;
    // False (nothing changed) for a state outside 1..N or a negative duration.
    // Shortening the state being held ends it at `now` at the latest: the
    // states after it keep their full time.
    bool set_duration(int state, int milliseconds, double now_seconds);

private:
    std::vector<int> durations_;
    int state_ = 0;
    double entered_ = 0.0;  // when the current state began
};
