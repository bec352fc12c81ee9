#pragma once
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>

// Runs a function in a forked child whose exit code is the function's result
// (0 for success). Two pipes let parent and child step each other through a
// scenario. The destructor kills and collects a child that is still running,
// so a failed test never leaves one behind.
//
//   ChildProcess child([&](ChildProcess& self) { ...; self.notify(); self.await(5000); return 0; });
//   ASSERT_TRUE(child.await(5000)); ...; child.notify(); EXPECT_EQ(child.finish(5000), 0);
class ChildProcess {
public:
    explicit ChildProcess(const std::function<int(ChildProcess&)>& body) {
        if (pipe(to_parent_) != 0 || pipe(to_child_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            in_child_ = true;
            close(to_parent_[0]);
            close(to_child_[1]);
            int code = 99;
            try {
                code = body(*this);
            } catch (...) {
                code = 98;
            }
            _exit(code);
        }
        close(to_parent_[1]);
        close(to_child_[0]);
        to_parent_[1] = to_child_[0] = -1;
    }

    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {to_parent_[0], to_parent_[1], to_child_[0], to_child_[1]})
            if (fd >= 0) close(fd);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Sends one step signal to the other side.
    void notify() {
        const char byte = 1;
        ssize_t ignored = write(in_child_ ? to_parent_[1] : to_child_[1], &byte, 1);
        (void)ignored;
    }

    // Waits at most `milliseconds` for one step signal from the other side.
    bool await(int milliseconds) {
        pollfd p{in_child_ ? to_child_[0] : to_parent_[0], POLLIN, 0};
        if (poll(&p, 1, milliseconds) != 1) return false;
        char byte = 0;
        return read(p.fd, &byte, 1) == 1;
    }

    // Exit code of the child; -1 when it did not end within the time (it is
    // killed then), -2 when a signal ended it.
    int finish(int milliseconds) {
        if (pid_ <= 0) return -1;
        for (int waited = 0;; waited += 5) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            }
            if (waited >= milliseconds) return -1;
            const timespec pause{0, 5000000L};
            nanosleep(&pause, nullptr);
        }
    }

private:
    pid_t pid_ = -1;
    bool in_child_ = false;
    bool reaped_ = false;
    int to_parent_[2] = {-1, -1};
    int to_child_[2] = {-1, -1};
};
