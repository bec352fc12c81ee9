#pragma once
#include <string>
#include <thread>

#include "utilities/Mutex.h"

// Base of a worker thread with a cooperative stop request. The body polls
// stop_requested() and returns. A derived class whose body uses its own
// members must stop and wait for the body in its own destructor.
//
//   class Worker : public Thread { void run() override { while (!stop_requested()) ...; } };
//   Worker w("Worker", 0); w.start(); ... w.request_stop();
class Thread {
public:
    Thread(const std::string& name, int priority);
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    virtual bool start();
    virtual void run() = 0;
    virtual void request_stop();
    virtual bool suspend();
    virtual bool resume();
    virtual bool set_priority(int priority);

    bool stop_requested() const;
    int run_state() const;  // 0 running, 1 suspended, 2 not running
    bool is_running() const;
    std::string name() const;

    // Waits until the body has returned (run state no longer 0).
    void wait_until_stopped() const;

protected:
    // Called under the thread's lock: on_starting once start() has decided
    // to start a body (before the thread exists), on_start_failed when the
    // thread then could not be created, on_finished after the body returned
    // and before the thread counts as stopped. What a derived class does
    // here is therefore never seen half done by start() or run_state().
    // They must not call this object's locking operations.
    virtual void on_starting() {}
    virtual void on_start_failed() {}
    virtual void on_finished() {}

private:
    void entry();

    std::thread handle_;
    int priority_;
    int run_state_ = 2;
    int stop_request_ = 0;
    std::string name_;
    mutable Mutex lock_;
};
