#pragma once
// Runs a function in a forked child process and waits for it with a
// deadline; pipes let parent and child tell each other that a step is done.
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <thread>

// One-way notification between two processes.
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

class ChildProcess {
public:
    // The body's return value is the child's exit code; an exception is 99.
    explicit ChildProcess(const std::function<int()>& body)
    {
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            int code = 99;
            try {
                code = body();
            } catch (...) {
            }
            ::_exit(code);
        }
    }
    ~ChildProcess()
    {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            wait(5000);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The exit code, or 128 + signal number; nothing when the child is still
    // running after the time.
    std::optional<int> wait(int timeout_ms)
    {
        if (reaped_)
            return status_;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            if (r < 0 || std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    bool running() { return !wait(0).has_value(); }

    void kill_now()
    {
        if (pid_ > 0 && !reaped_)
            ::kill(pid_, SIGKILL);
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};
