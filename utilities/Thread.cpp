#include "utilities/Thread.h"

#include <system_error>

#include "utilities/Timer.h"

Thread::Thread(const std::string& name, int priority) : priority_(priority), name_(name) {}

Thread::~Thread() {
    if (run_state() == 0) {
        request_stop();
        wait_until_stopped();
    }
    // The body has returned; collect the thread so none is left behind.
    if (handle_.joinable()) handle_.join();
}

bool Thread::start() {
    lock_.lock();
    if (run_state_ == 0) {
        lock_.unlock();
        return false;
    }
    // The previous body has returned (state 2 is its last step under the
    // lock), so this join only collects the finished thread.
    if (handle_.joinable()) handle_.join();
    stop_request_ = 0;
    // Running is marked before the thread exists: a body that returns at once
    // must not have its "not running" overwritten afterwards.
    run_state_ = 0;
    on_starting();
    try {
        handle_ = std::thread(&Thread::entry, this);
    } catch (const std::system_error&) {
        run_state_ = 2;
        on_start_failed();
        lock_.unlock();
        return false;
    }
    lock_.unlock();
    set_priority(priority_);
    return true;
}

void Thread::entry() {
    try {
        run();
    } catch (...) {
        // A failing body only ends the thread; its owner sees the run state.
    }
    lock_.lock();
    on_finished();
    run_state_ = 2;
    lock_.unlock();
}

void Thread::request_stop() {
    lock_.lock();
    stop_request_ = 1;
    lock_.unlock();
}

// Suspending a thread at an arbitrary point has no safe POSIX counterpart and
// nothing relies on it.
bool Thread::suspend() { return false; }

bool Thread::resume() { return false; }

bool Thread::set_priority(int priority) {
    lock_.lock();
    const bool has_thread = handle_.joinable();
    lock_.unlock();
    if (!has_thread) return false;
    // Normal priority is what every thread has; raising or lowering would need
    // privileges the installation does not grant.
    return priority == 0;
}

bool Thread::stop_requested() const {
    lock_.lock();
    const bool requested = stop_request_ != 0;
    lock_.unlock();
    return requested;
}

int Thread::run_state() const {
    lock_.lock();
    const int state = run_state_;
    lock_.unlock();
    return state;
}

bool Thread::is_running() const { return run_state() == 0; }

std::string Thread::name() const {
    lock_.lock();
    std::string copy = name_;
    lock_.unlock();
    return copy;
}

void Thread::wait_until_stopped() const {
    while (run_state() == 0) sleep_ms(10);
}
