#pragma once
// The interface names "Sipper", "SampleInterface", "LinearMC" and "RotaryMC"
// are machine-wide. CTest keeps its own tests that use them apart
// (RESOURCE_LOCK fixed_names), but not those of a second test run on the same
// machine: a second process that opens our channel takes our commands, and a
// kill it takes leaves our main loop running for ever. Every process that
// uses the names therefore holds this lock (an flock, so a killed holder
// never leaves it behind) while it does.
//
//   sipper_test::FixedNamesLock lock;   // waits at most WAIT_MS, fails the test after
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace sipper_test {

class FixedNamesLock {
public:
    static constexpr const char* PATH = "/tmp/sipper-test-fixed-names.lock";
    static constexpr long WAIT_MS = 90000;

    // Nested holders in one process share one acquisition. A test that
    // waits minutes for its turn anyway (the package stage) may wait longer.
    explicit FixedNamesLock(long wait_ms = WAIT_MS) {
        std::lock_guard<std::mutex> hold(state().guard);
        if (state().holders++ > 0) return;
        state().fd = ::open(PATH, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (state().fd < 0) {
            ADD_FAILURE() << "cannot open " << PATH << ": " << std::strerror(errno);
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        while (::flock(state().fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                ADD_FAILURE() << "flock " << PATH << ": " << std::strerror(errno);
                return;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "another test process kept the fixed interface names for "
                              << wait_ms / 1000 << " s (" << PATH << "); going on without them";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    ~FixedNamesLock() {
        std::lock_guard<std::mutex> hold(state().guard);
        if (--state().holders > 0) return;
        if (state().fd >= 0) ::close(state().fd);  // closing gives the lock back
        state().fd = -1;
    }

    FixedNamesLock(const FixedNamesLock&) = delete;
    FixedNamesLock& operator=(const FixedNamesLock&) = delete;

private:
    struct State {
        std::mutex guard;
        int holders = 0;
        int fd = -1;
    };
    static State& state() {
        static State s;
        return s;
    }
};

}  // namespace sipper_test
