#include "utilities/Timer.h"

#include <chrono>

#include <gtest/gtest.h>

namespace {

TEST(Timer, ElapsedIsZeroBeforeStart) {
    Timer t;
    sleep_ms(20);
    EXPECT_EQ(t.elapsed(), 0.0);
}

TEST(Timer, ElapsedGrowsInSecondsAfterStart) {
    Timer t;
    t.start();
    sleep_ms(100);
    const double first = t.elapsed();
    EXPECT_GE(first, 0.09);
    EXPECT_LT(first, 5.0);
    sleep_ms(20);
    EXPECT_GT(t.elapsed(), first);
}

TEST(Timer, SecondStartKeepsStartMark) {
    Timer t;
    t.start();
    sleep_ms(100);
    t.start();
    EXPECT_GE(t.elapsed(), 0.09);
}

TEST(Timer, RestartSetsRunningTimerBackToAboutZero) {
    Timer t;
    t.start();
    sleep_ms(300);
    t.restart();
    EXPECT_LT(t.elapsed(), 0.2);
    sleep_ms(20);
    EXPECT_GE(t.elapsed(), 0.015);  // still running
}

TEST(Timer, RestartDoesNotStartStoppedTimer) {
    Timer t;
    t.restart();
    sleep_ms(20);
    EXPECT_EQ(t.elapsed(), 0.0);
}

TEST(SleepMs, SleepsAtLeastTheTimeAndZeroOnlyYields) {
    auto start = std::chrono::steady_clock::now();
    sleep_ms(50);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    start = std::chrono::steady_clock::now();
    sleep_ms(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

}  // namespace
