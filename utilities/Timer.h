#pragma once

// A stopwatch in seconds on the monotonic clock.
//   Timer t; t.start(); ... double s = t.elapsed();
class Timer {
public:
    Timer();
    void start();
    double elapsed() const;
    void restart();

private:
    double seconds_per_tick_;
    double start_mark_;
    bool running_;
    double held_;
};

// Suspends the calling thread; 0 yields the rest of its time slice.
void sleep_ms(long milliseconds);
