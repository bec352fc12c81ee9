#pragma once
// Multi-process tests: a function run in a forked child and waited for with
// a deadline, one-way step signals between the two sides, and the same wait
// for a child that runs a built executable.
//
//   Pipe held, release;
//   ChildProcess holder([&] { ...; held.notify(); release.await(10000); return 0; });
//   ASSERT_TRUE(held.await(5000)); ...; release.notify();
//   EXPECT_EQ(holder.wait(5000), 0);
//
// A child cannot fail the parent's test by itself: its gtest failures and an
// exception it lets out become a non-zero exit code, which the parent checks.
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <concepts>
#include <cstdio>
#include <iostream>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include <gtest/gtest.h>

namespace child_exit {
inline constexpr int timed_out = -1;    // still running at the deadline; killed then
inline constexpr int not_started = -2;  // the fork failed
inline constexpr int test_failed = 97;  // a gtest check failed in the child
inline constexpr int threw = 98;        // the child's function let an exception out
}  // namespace child_exit

// One-way step signal between two processes. Made before the fork, so that
// both sides hold both ends.
class Pipe {
public:
    Pipe()
    {
        if (::pipe(fds_) != 0)
            fds_[0] = fds_[1] = -1;
    }
    ~Pipe()
    {
        for (int fd : fds_)
            if (fd >= 0)
                ::close(fd);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    void notify()
    {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(fds_[1], &byte, 1);
    }
    // True when a notification arrived within the time.
    bool await(int timeout_ms)
    {
        pollfd p{fds_[0], POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1)
            return false;
        char byte;
        return ::read(fds_[0], &byte, 1) == 1;
    }

private:
    int fds_[2];
};

namespace child_exit_detail {
// Failed checks recorded so far in the running test (in this process).
inline int failed_checks()
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr)
        return 0;
    int failed = 0;
    for (int i = 0; i < test->result()->total_part_count(); ++i)
        if (test->result()->GetTestPartResult(i).failed())
            ++failed;
    return failed;
}
}  // namespace child_exit_detail

// Forks; the child runs `body` and ends with its result as exit code (0 for a
// function without result), child_exit::test_failed when it returned 0 but a
// check failed in it, child_exit::threw for an exception. The child's pid,
// or -1 when the fork failed.
template <class Body>
    requires std::invocable<Body&>
pid_t fork_child(Body&& body)
{
    std::cout.flush();
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    const int failed_before = child_exit_detail::failed_checks();
    int code = 0;
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Body&>>)
            body();
        else
            code = static_cast<int>(body());
    } catch (...) {
        code = child_exit::threw;
    }
    if (code == 0 && child_exit_detail::failed_checks() > failed_before)
        code = child_exit::test_failed;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    ::_exit(code);
}

// Waits at most `timeout_ms` for the child `pid` to end and reaps it: its
// wait status. Nothing when it still runs at the deadline (it is left
// running) or is no child of this process.
inline std::optional<int> wait_status(pid_t pid, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 || std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The exit code in a wait status, or 128 + the number of the signal that
// ended the process.
inline int end_code(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits at most `timeout_ms` for the child `pid`: its end_code, or
// child_exit::timed_out when it still ran at the deadline (it is killed and
// reaped then).
inline int finish_child(pid_t pid, int timeout_ms)
{
    if (pid <= 0)
        return child_exit::not_started;
    if (const std::optional<int> status = wait_status(pid, timeout_ms))
        return end_code(*status);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return child_exit::timed_out;
}

// A function running in a forked child (see fork_child). A child still
// running when the object goes is killed and reaped, so a failed test never
// leaves one behind; the test may also signal or kill it itself.
class ChildProcess {
public:
    template <class Body>
        requires std::invocable<Body&>
    explicit ChildProcess(Body&& body)
        : pid_(fork_child(std::forward<Body>(body)))
    {
    }
    ~ChildProcess() { end_now(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    void signal(int number)
    {
        if (started() && !reaped_)
            ::kill(pid_, number);
    }
    void kill_now() { signal(SIGKILL); }

    // Waits at most `timeout_ms` and leaves a child that still runs alone;
    // true when it has ended.
    bool ended_within(int timeout_ms)
    {
        if (started() && !reaped_) {
            if (const std::optional<int> status = wait_status(pid_, timeout_ms)) {
                reaped_ = true;
                status_ = *status;
            }
        }
        return status_.has_value();
    }
    bool running() { return started() && !reaped_ && !ended_within(0); }

    // The child's end_code once it ended within `timeout_ms`; otherwise
    // child_exit::timed_out, and the child is killed.
    int wait(int timeout_ms)
    {
        if (!started())
            return child_exit::not_started;
        if (ended_within(timeout_ms))
            return end_code(*status_);
        end_now();
        return child_exit::timed_out;
    }

    // The code the child exited with; -1 while it runs or when a signal
    // ended it.
    int exit_code() const { return status_ && WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1; }

private:
    void end_now()
    {
        if (started() && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            reaped_ = true;
        }
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::optional<int> status_;
};

// Runs `body` in a child and waits for it: ChildProcess::wait.
template <class Body>
    requires std::invocable<Body&>
int run_in_child(Body&& body, int timeout_ms = 10000)
{
    ChildProcess child(std::forward<Body>(body));
    return child.wait(timeout_ms);
}
