#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/InterfaceServer.h"
#include "sim/installation/SampleCycle.h"
#include "tests/sipper/fixed_names_lock.h"

// The four peers the sipper task talks to, served from threads of the test
// process through the real shared-memory channels under their fixed names:
//   "Sipper"           collects log_msg lines, answers get_inhibit_state
//   "SampleInterface"  runs a sampling cycle on the clock, records every call
//   "LinearMC", "RotaryMC"  answer get_ID with a board number
//
//   TaskPeers peers(linear, rotary, {300, 100, 100});
//   SipperTask task(&data);
//   ... peers.sipper().wait_for_line("SipperTask Homing complete", 5000);
// The destructor stops the servers and removes every object of the four names.

// "Sipper": the component's own interface as the task sees it.
class SipperStub : public InterfaceServer {
public:
    explicit SipperStub(const std::string& name);
    void dispatch(const Message& message) override;

    std::vector<std::string> lines() const;
    // Lines that contain `text`.
    int count_lines(const std::string& text) const;
    // Waits until a line containing `text` arrived; false after the deadline.
    bool wait_for_line(const std::string& text, long milliseconds) const;
    void clear_lines();

    void set_inhibit_state(int state) { inhibit_state_ = state; }
    int inhibit_queries() const { return inhibit_queries_; }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
    std::atomic<int> inhibit_state_{0};
    std::atomic<int> inhibit_queries_{0};
};

// One call the simulated sample interface received.
struct SampleCall {
    std::string method;
    std::vector<int> ints;  // integer arguments in order
    std::string text;       // the string argument of start_sipping
};

// "SampleInterface": a cycle of states 1..N held for their durations in real
// milliseconds, started by start_sipping.
class SampleInterfaceStub : public InterfaceServer {
public:
    SampleInterfaceStub(const std::string& name, std::vector<int> durations);
    void dispatch(const Message& message) override;

    // Calls in the order they were served; cycle_state polls are left out
    // unless `with_polls`.
    std::vector<SampleCall> calls(bool with_polls = false) const;
    std::vector<std::string> call_names(bool with_polls = false) const;
    int duration(int state) const;
    int state();
    // Starts a cycle as if another client had started one.
    void start_cycle();

private:
    double now() const;

    mutable std::mutex lock_;
    SampleCycle cycle_;
    std::vector<SampleCall> calls_;
};

// "LinearMC" / "RotaryMC": the owner of a motion board.
class BoardOwnerStub : public InterfaceServer {
public:
    BoardOwnerStub(const std::string& name, int board);
    void dispatch(const Message& message) override;

private:
    int board_;
};

class TaskPeers {
public:
    static constexpr const char* NAMES[4] = {"Sipper", "SampleInterface", "LinearMC", "RotaryMC"};

    // Removes leftovers of the four names, then opens and serves them; a
    // board owner whose board number is negative is not served at all.
    TaskPeers(int linear_board, int rotary_board, std::vector<int> durations);
    ~TaskPeers();
    TaskPeers(const TaskPeers&) = delete;
    TaskPeers& operator=(const TaskPeers&) = delete;

    SipperStub& sipper() { return *sipper_; }
    SampleInterfaceStub& sample_interface() { return *sample_interface_; }

    static void remove_all();

private:
    void serve(InterfaceServer* server);

    // Held before the names are cleared, given back after they are removed.
    sipper_test::FixedNamesLock names_lock_;
    std::unique_ptr<SipperStub> sipper_;
    std::unique_ptr<SampleInterfaceStub> sample_interface_;
    std::unique_ptr<BoardOwnerStub> linear_owner_;
    std::unique_ptr<BoardOwnerStub> rotary_owner_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};
