#include "utilities/Timer.h"

#include <sched.h>

#include <cerrno>
#include <ctime>

#include "utilities/Exception.h"

namespace {

// Reads the monotonic clock in nanoseconds; false when the clock is missing.
bool read_ticks(double& ticks) {
    timespec t{};
    if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) return false;
    ticks = static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
    return true;
}

double now_seconds(double seconds_per_tick) {
    double ticks = 0.0;
    read_ticks(ticks);
    return ticks * seconds_per_tick;
}

}  // namespace

Timer::Timer() {
    double ticks = 0.0;
    timespec resolution{};
    if (!read_ticks(ticks) || clock_getres(CLOCK_MONOTONIC, &resolution) != 0)
        throw Exception("Timer::Timer() -- no high performace counter present");
    seconds_per_tick_ = 1e-9;  // the monotonic clock counts nanoseconds
    start_mark_ = ticks * seconds_per_tick_;
    running_ = false;
    held_ = 0.0;
}

void Timer::start() {
    if (running_) return;
    start_mark_ = now_seconds(seconds_per_tick_);
    running_ = true;
}

double Timer::elapsed() const {
    if (!running_) return held_;
    return now_seconds(seconds_per_tick_) - start_mark_ + held_;
}

void Timer::restart() {
    start_mark_ = now_seconds(seconds_per_tick_);
    held_ = 0.0;
}

void sleep_ms(long milliseconds) {
    if (milliseconds <= 0) {
        sched_yield();
        return;
    }
    timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
