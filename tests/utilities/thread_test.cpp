#include "utilities/Thread.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "utilities/Exception.h"

namespace {

// A thread whose body is supplied by the test; the destructor stops it before
// the body's captures go away.
class Worker : public Thread {
public:
    explicit Worker(std::function<void(Worker&)> body, int priority = 0)
        : Thread("Worker", priority), body_(std::move(body)) {}
    ~Worker() override {
        request_stop();
        wait_until_stopped();
    }
    void run() override {
        ++runs;
        body_(*this);
    }
    std::atomic<int> runs{0};

private:
    std::function<void(Worker&)> body_;
};

void until_stopped(Worker& w) {
    while (!w.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Waits for a condition with a deadline instead of a fixed sleep.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(Thread, NotRunningBeforeStart) {
    Worker w(until_stopped);
    EXPECT_EQ(w.run_state(), 2);
    EXPECT_FALSE(w.is_running());
    EXPECT_FALSE(w.stop_requested());
    EXPECT_EQ(w.name(), "Worker");
    EXPECT_FALSE(w.set_priority(0));  // no thread yet
}

TEST(Thread, StartOnRunningThreadFailsAndStartsNothing) {
    Worker w(until_stopped);
    ASSERT_TRUE(w.start());
    EXPECT_TRUE(w.is_running());
    EXPECT_FALSE(w.start());
    ASSERT_TRUE(eventually([&] { return w.runs == 1; }));
    w.request_stop();
    w.wait_until_stopped();
    EXPECT_EQ(w.run_state(), 2);
    EXPECT_EQ(w.runs, 1);
}

TEST(Thread, RestartAfterBodyEndedRunsAgainWithStopCleared) {
    std::atomic<int> saw_stop_at_begin{-1};
    Worker w([&](Worker& self) {
        saw_stop_at_begin = self.stop_requested() ? 1 : 0;
        until_stopped(self);
    });
    ASSERT_TRUE(w.start());
    w.request_stop();
    w.wait_until_stopped();
    EXPECT_TRUE(w.stop_requested());

    saw_stop_at_begin = -1;
    ASSERT_TRUE(w.start());
    ASSERT_TRUE(eventually([&] { return saw_stop_at_begin != -1; }));
    EXPECT_EQ(saw_stop_at_begin, 0);
    EXPECT_TRUE(w.is_running());
    w.request_stop();
    w.wait_until_stopped();
    EXPECT_EQ(w.runs, 2);
}

TEST(Thread, BodyThatReturnsAtOnceEndsNotRunning) {
    // Checks that "running" set by start never overwrites the body's end.
    Worker w([](Worker&) {});
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(w.start());
        w.wait_until_stopped();
        EXPECT_EQ(w.run_state(), 2);
    }
    EXPECT_EQ(w.runs, 50);
}

TEST(Thread, ThrowingBodyEndsNotRunningAndCanStartAgain) {
    std::atomic<bool> throw_int{false};
    Worker w([&](Worker&) {
        if (throw_int) throw 42;
        throw Exception("body failed");
    });
    ASSERT_TRUE(w.start());
    w.wait_until_stopped();
    EXPECT_EQ(w.run_state(), 2);
    throw_int = true;
    ASSERT_TRUE(w.start());
    w.wait_until_stopped();
    EXPECT_EQ(w.run_state(), 2);
    EXPECT_EQ(w.runs, 2);
}

// Stops only through the base destructor: the body touches nothing of its own.
class BaseStoppedWorker : public Thread {
public:
    BaseStoppedWorker(std::atomic<bool>& began, std::atomic<bool>& ended)
        : Thread("BaseStopped", 0), began_(began), ended_(ended) {}
    void run() override {
        std::atomic<bool>& ended = ended_;
        began_ = true;
        while (!stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ended = true;
    }

private:
    std::atomic<bool>& began_;
    std::atomic<bool>& ended_;
};

TEST(Thread, DestructorRequestsStopAndReturnsOnlyAfterBodyEnded) {
    std::atomic<bool> began{false};
    std::atomic<bool> ended{false};
    {
        BaseStoppedWorker w(began, ended);
        ASSERT_TRUE(w.start());
        ASSERT_TRUE(eventually([&] { return began.load(); }));
    }
    EXPECT_TRUE(ended);
}

TEST(Thread, PriorityNormalAcceptedWhileThreadExists) {
    Worker w(until_stopped, 0);
    ASSERT_TRUE(w.start());
    EXPECT_TRUE(w.set_priority(0));
    w.request_stop();
    w.wait_until_stopped();
}

TEST(Thread, SuspendAndResumeAreRefusedAndLeaveStateRunning) {
    Worker w(until_stopped);
    ASSERT_TRUE(w.start());
    EXPECT_FALSE(w.suspend());
    EXPECT_EQ(w.run_state(), 0);
    EXPECT_FALSE(w.resume());
    EXPECT_EQ(w.run_state(), 0);
}

TEST(Thread, StartWithUnusualPriorityStillRuns) {
    Worker w(until_stopped, 15);
    EXPECT_TRUE(w.start());
    EXPECT_TRUE(w.is_running());
}

}  // namespace
