#pragma once
// Shared by the board and wrapper tests: a simulated board under a number
// nobody else uses (removed again with its wrapper lock, passed or failed),
// waiting on a condition with a deadline, and flags shared with a forked
// child.
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "sim/board/SimBoard.h"

class TestBoard {
public:
    explicit TestBoard(const StageDescription& stage, double time_factor = 1000.0) {
        number_ = SimBoard::create_unused(stage, 16, 255);
        if (number_ >= 0) {
            board_ = std::make_unique<SimBoard>(number_);
            board_->set_time_factor(time_factor);
        }
    }
    ~TestBoard() {
        board_.reset();
        if (number_ >= 0) {
            SimBoard::remove(number_);
            shm_unlink(("/pci7344-" + std::to_string(number_) + "MUTEX").c_str());
        }
    }
    TestBoard(const TestBoard&) = delete;
    TestBoard& operator=(const TestBoard&) = delete;

    bool ok() const { return number_ >= 0 && board_ && board_->valid(); }
    int number() const { return number_; }
    uint8_t id() const { return static_cast<uint8_t>(number_); }
    SimBoard& control() { return *board_; }

private:
    int number_ = -1;
    std::unique_ptr<SimBoard> board_;
};

// Polls `condition` every millisecond until it holds or `ms` pass.
inline bool wait_until(const std::function<bool()>& condition, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Cross-process flag in an anonymous shared mapping (set before fork).
class SharedFlags {
public:
    SharedFlags() {
        void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        flags_ = p == MAP_FAILED ? nullptr : static_cast<volatile int*>(p);
    }
    ~SharedFlags() {
        if (flags_) munmap(const_cast<int*>(flags_), 4096);
    }
    SharedFlags(const SharedFlags&) = delete;
    SharedFlags& operator=(const SharedFlags&) = delete;
    void set(int i, int v = 1) { __atomic_store_n(&flags_[i], v, __ATOMIC_SEQ_CST); }
    int get(int i) const { return __atomic_load_n(&flags_[i], __ATOMIC_SEQ_CST); }
    bool await(int i, int ms = 5000) const { return wait_until([&] { return get(i) != 0; }, ms); }

private:
    volatile int* flags_ = nullptr;
};
