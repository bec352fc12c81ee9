#pragma once
// A sipper installation inside the test process: the default simulated stage
// on two boards of unused numbers, the board owners "LinearMC"/"RotaryMC" and
// the sample interface served from threads, and the example configuration
// copied into a private directory. The Sipper itself is either built here
// (start_sipper, main loop on a thread) or started as the real executable by
// the test.
//
//   SipperHarness h;
//   h.write_config({{"CHECK_KILL_SW", "0"}});
//   h.start_sipper();
//   h.client().reset();  h.wait_state(Component::READY);
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "component/Component.h"
#include "interfaces/ComponentInterface.h"
#include "interfaces/SipperIF.h"
#include "sim/board/SimBoard.h"
#include "sim/board/StageDescription.h"
#include "sipper/Sipper.h"
#include "tests/sipper/fixed_names_lock.h"
#include "tests/sipper/sipper_test_files.h"
#include "tests/sipper/task_peers.h"
#include "utilities/Mutex.h"
#include "utilities/Timer.h"

namespace sipper_test {

// Waits until `condition` holds; false after `milliseconds`.
inline bool wait_for(const std::function<bool()>& condition, long milliseconds) {
    Timer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() * 1000.0 > milliseconds) return false;
        sleep_ms(5);
    }
    return true;
}

class SipperHarness {
public:
    static constexpr double TIME_FACTOR = 100.0;
    // How long the main loop may take to end after kill (then after the
    // process-wide exit request) before the test gives up on it.
    static constexpr long STOP_WAIT_MS = 15000;
    static constexpr long EXIT_REQUEST_WAIT_MS = 5000;
    static constexpr const char* FIXED_NAMES[4] = {"Sipper", "SampleInterface", "LinearMC", "RotaryMC"};

    SipperHarness() {
        remove_fixed_names();
        std::map<int, StageDescription> stage =
            read_stage_file(std::string(SIPPER_SOURCE_DIR) + "/sim/board/stage-default.cfg");
        linear_number_ = SimBoard::create_unused(stage.at(1));
        // The sensor coupling of the rotary board follows the linear board's number.
        stage = renumber_boards(stage, {{1, linear_number_}});
        rotary_number_ = SimBoard::create_unused(stage.at(2));
        linear_ = std::make_unique<SimBoard>(linear_number_);
        rotary_ = std::make_unique<SimBoard>(rotary_number_);
        linear_->set_time_factor(TIME_FACTOR);
        rotary_->set_time_factor(TIME_FACTOR);
        log_server_name_ = unique_name("HarnessLog");
        supervisor_name_ = unique_name("HarnessSup");
        for (const char* plate : {"plate96.platecfg", "plate384.platecfg"})
            write_file(dir_.file(plate),
                       read_file(std::string(SIPPER_SOURCE_DIR) + "/examples/" + plate));
        write_config({});
    }

    ~SipperHarness() {
        const bool stopped = stop_sipper();
        stop_peers();
        if (stopped) {
            linear_.reset();
            rotary_.reset();
        }
        remove_shared_objects();
        if (!stopped || exit_requested_) {
            // The Sipper still runs (it cannot be destroyed under its own
            // thread), or the process-wide exit request that ended it would
            // end every later main loop of this process too: the failure is
            // reported (with the log), the shared objects are gone, end here.
            std::error_code ignored;
            std::filesystem::remove_all(dir_.path(), ignored);
            std::fflush(stdout);
            std::fflush(stderr);
            std::_Exit(1);
        }
    }

    SipperHarness(const SipperHarness&) = delete;
    SipperHarness& operator=(const SipperHarness&) = delete;

    // The example configuration with the given keys replaced (value texts as
    // they stand in a file, for example "\"1 2 3\"" or "0"); a key with an
    // empty value is left out.
    void write_config(const std::map<std::string, std::string>& changes) {
        std::map<std::string, std::string> keys = {
            {"FREQ", "50"},
            {"LOGSERVERIF", "\"" + log_server_name_ + "\""},
            {"SUPERVISORIF", "\"" + supervisor_name_ + "\""},
        };
        for (const auto& [k, v] : changes) keys[k] = v;
        std::istringstream in(read_file(std::string(SIPPER_SOURCE_DIR) + "/examples/sipper.cfg"));
        std::string out;
        for (std::string line; std::getline(in, line);) {
            const std::string key = line.substr(0, line.find_first_of(" ="));
            if (keys.count(key) == 0) out += line + "\n";
        }
        for (const auto& [k, v] : keys)
            if (!v.empty()) out += k + " = " + v + ";\n";
        write_file(cfg_path(), out);
    }

    // Serves the board owners and the sample interface (call before the
    // sipper initialises). An owner given a board number < 0 is not served.
    void start_peers(bool linear_owner = true, bool rotary_owner = true,
                     std::vector<int> durations = {300, 150, 150}) {
        sample_interface_ = std::make_unique<SampleInterfaceStub>("SampleInterface", std::move(durations));
        serve(sample_interface_.get());
        if (linear_owner) {
            linear_owner_ = std::make_unique<BoardOwnerStub>("LinearMC", linear_number_);
            serve(linear_owner_.get());
        }
        if (rotary_owner) {
            rotary_owner_ = std::make_unique<BoardOwnerStub>("RotaryMC", rotary_number_);
            serve(rotary_owner_.get());
        }
    }

    void stop_peers() {
        stop_ = true;
        for (std::thread& t : threads_) t.join();
        threads_.clear();
        stop_ = false;
        sample_interface_.reset();
        linear_owner_.reset();
        rotary_owner_.reset();
    }

    // Builds the Sipper under "Sipper" and runs its main loop on a thread.
    void start_sipper() {
        sipper_ = std::make_unique<Sipper>("Sipper", log_path(), cfg_path());
        main_ended_ = false;
        main_ = std::thread([this] {
            sipper_->main();
            main_ended_ = true;
        });
        client_ = std::make_unique<SipperIF>("Sipper");
        client_->open();
        client_->set_timeout(5000);
    }

    // A client of "Sipper" without a Sipper in this process (the test starts
    // the executable itself).
    void open_client() {
        client_ = std::make_unique<SipperIF>("Sipper");
        client_->open();
        client_->set_timeout(5000);
    }

    // Sends kill, waits for the main loop and destroys the Sipper. A main
    // loop that does not end in time fails the test with the log instead of
    // hanging it; false when the loop is still running (the Sipper is then
    // left alone: destroying it under its thread would crash).
    bool stop_sipper() {
        if (main_.joinable()) {
            const int sent = client_->kill();
            if (!wait_for([&] { return main_ended_.load(); }, STOP_WAIT_MS)) {
                ADD_FAILURE() << "the Sipper's main loop did not end within " << STOP_WAIT_MS / 1000
                              << " s of kill (kill call result " << sent << "); its log:\n"
                              << read_file(log_path());
                // Ends a loop that still runs but never got the kill.
                Component::request_exit();
                exit_requested_ = true;
                if (!wait_for([&] { return main_ended_.load(); }, EXIT_REQUEST_WAIT_MS)) {
                    ADD_FAILURE() << "the Sipper's main loop is blocked: not even the exit request ended it";
                    return false;
                }
            }
            main_.join();
        }
        client_.reset();
        sipper_.reset();
        return true;
    }

    // One query: every one-way command sent before it has been served.
    void sync() {
        int status = 0;
        ASSERT_EQ(client_->get_status(status), call_ok);
    }

    int status() {
        int s = -1;
        EXPECT_EQ(client_->get_status(s), call_ok);
        return s;
    }

    // Records the last answer for the failure message.
    bool wait_state(int state, long milliseconds = 10000) {
        return wait_for(
            [&] {
                int s = -1;
                last_call_ = client_->get_state(s);
                last_state_ = s;
                return last_call_ == call_ok && s == state;
            },
            milliseconds);
    }
    std::string last_state_answer() const {
        return "call result " + std::to_string(last_call_) + ", state " + std::to_string(last_state_);
    }

    bool wait_status(int status, long milliseconds = 30000) {
        return wait_for(
            [&] {
                int s = -1;
                return client_->get_status(s) == call_ok && s == status;
            },
            milliseconds);
    }

    // reset, READY, run, RUNNING.
    void initialise_and_run() {
        client_->reset();
        ASSERT_TRUE(wait_state(Component::READY)) << read_file(log_path());
        client_->run();
        ASSERT_TRUE(wait_state(Component::RUNNING));
    }

    void home() {
        client_->home();
        ASSERT_TRUE(wait_for(
            [&] {
                int homed = 0, s = -1;
                client_->is_homed(homed);
                client_->get_status(s);
                return homed == 1 && s == 0;
            },
            30000))
            << read_file(log_path());
    }

    int log_lines(const std::string& text) const { return count_log_lines(log_path(), "Sipper", text); }
    bool wait_log_line(const std::string& text, long milliseconds = 5000) const {
        return wait_for([&] { return log_lines(text) > 0; }, milliseconds);
    }

    std::string cfg_path() const { return dir_.file("sipper.cfg"); }
    std::string log_path() const { return dir_.file("sipper.log"); }
    std::string plate_path(const std::string& plate) const { return dir_.file(plate + ".platecfg"); }
    const TempDir& dir() const { return dir_; }

    SipperIF& client() { return *client_; }
    Sipper& sipper() { return *sipper_; }
    SimBoard& linear() { return *linear_; }
    SimBoard& rotary() { return *rotary_; }
    int linear_number() const { return linear_number_; }
    int rotary_number() const { return rotary_number_; }
    SampleInterfaceStub& sample_interface() { return *sample_interface_; }

    static void remove_fixed_names() {
        for (const char* name : FIXED_NAMES) ComponentInterface::remove_objects(name);
    }

private:
    void remove_shared_objects() {
        for (int board : {linear_number_, rotary_number_}) {
            if (board < 0) continue;
            SimBoard::remove(board);
            Mutex::remove("pci7344-" + std::to_string(board) + "MUTEX");
        }
        remove_fixed_names();
        ComponentInterface::remove_objects(log_server_name_);
        ComponentInterface::remove_objects(supervisor_name_);
    }

    void serve(InterfaceServer* server) {
        server->open();
        threads_.emplace_back([this, server] {
            while (!stop_) server->service();
        });
    }

    // First member: held before the constructor removes the names, given
    // back after everything else is gone.
    FixedNamesLock names_lock_;
    TempDir dir_;
    int linear_number_ = -1;
    int rotary_number_ = -1;
    std::unique_ptr<SimBoard> linear_;
    std::unique_ptr<SimBoard> rotary_;
    std::string log_server_name_;
    std::string supervisor_name_;
    std::unique_ptr<SampleInterfaceStub> sample_interface_;
    std::unique_ptr<BoardOwnerStub> linear_owner_;
    std::unique_ptr<BoardOwnerStub> rotary_owner_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
    std::unique_ptr<Sipper> sipper_;
    std::thread main_;
    std::atomic<bool> main_ended_{false};
    bool exit_requested_ = false;
    std::unique_ptr<SipperIF> client_;
    int last_call_ = -1;
    int last_state_ = -1;
};

}  // namespace sipper_test
