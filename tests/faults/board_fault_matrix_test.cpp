// The board-fault matrix: each motion operation runs once on the simulated
// boards to record its board calls; then, for every call of that record (or
// an even sample of them, see MAX_CASES), the operation runs again with
// exactly that call failing once. Every run must end (idle or error as the
// sequence defines), the sipper must answer get_state, the log must carry the
// wrapper's text for the failed call, and no axis may move two board seconds
// later. Every position read also gets the read-back error -70025, which the
// wrapper recovers from: the operation then succeeds.
//
// The sipper stays READY (not RUNNING) so that its task loop adds no board
// calls of its own: the traces hold the operation's calls only.
// SIPPER_MATRIX_FULL=1 runs every recorded call instead of the sample.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "sim/board/flexsim_status.h"
#include "sipper/SipperConstants.h"
#include "sipper/SipperData.h"
#include "sipper/SipperTask.h"
#include "tests/sipper/sipper_harness.h"

using sipper_test::read_file;
using sipper_test::SipperHarness;
using sipper_test::wait_for;

namespace {

// A status the board never reports by itself, so its text is unmistakable.
constexpr int32_t INJECTED = -70123;
// A board keeps the last 1024 calls of its trace.
constexpr size_t TRACE_KEPT = 1024;

// The wrapper's message prefix for each board function (Pci7344).
const std::map<std::string, std::string>& wrapper_prefixes() {
    static const std::map<std::string, std::string> prefixes = {
        {"flex_set_stepper_loop_mode", "Pci7344::set_stepper_loop_mode -- "},
        {"flex_load_acceleration", " Pci7344::load_acceleration -- "},
        {"flex_load_rpm", "Pci7344::load_rpm -- "},
        {"flex_load_rpsps", "Pci7344::load_rpsps -- "},
        {"flex_load_target_pos", "Pci7344::load_target_pos -- "},
        {"flex_load_velocity", "Pci7344::load_velocity -- "},
        {"flex_read_axis_status_rtn", " Pci7344::read_axis_status_rtn -- "},
        {"flex_reset_pos", "Pci7344::reset_pos  -- "},
        {"flex_set_op_mode", "Pci7344::set_op_mode  -- "},
        {"flex_check_move_complete_status", "Pci7344::check_move_complete_status  -- "},
        {"flex_load_scurve_time", " Pci7344::load_scurve_time -- "},
        {"flex_start", "Pci7344::start -- "},
        {"flex_stop_motion", "Pci7344::stop_motion  -- "},
        {"flex_enable_home_inputs", "Pci7344::enable_home_inputs  -- "},
        {"flex_enable_limits", "Pci7344::enable_limits  -- "},
        {"flex_load_sw_lim_pos", "Pci7344::load_sw_lim_pos  -- "},
        {"flex_read_limit_status_rtn", "Pci7344::read_limit_status_rtn  -- "},
        {"flex_find_reference", "Pci7344::find_reference -- "},
        {"flex_wait_reference", "Pci7344::wait_reference -- "},
        {"flex_enable_axis_limit", "Pci7344::enable_axis_limit -- "},
        {"flex_read_adc16_rtn", "Pci7344::read_adc_rtn  -- "},
        {"flex_set_port", "Pci7344::set_port  -- "},
        {"flex_flush_rdb", "Pci7344::flush_rdb -- "},
        {"flex_read_pos_rtn", "Pci7344::read_pos_rtn -- "},
    };
    return prefixes;
}

std::string board_description(int32_t status) {
    char text[500] = {};
    uint32_t size = sizeof text;
    flex_get_error_description(0, status, 0, 0, text, &size);
    return text;
}

// The functions whose number of calls depends on how long a move or the
// sensor takes, so a later run may make fewer of them than the record.
bool is_poll(const std::string& function) {
    return function == "flex_check_move_complete_status" || function == "flex_read_axis_status_rtn" ||
           function == "flex_read_adc16_rtn";
}

enum class Operation { home, go_to, park, wash, timed_sip, sensed_sip };

// One recorded board call: the n-th call of its function on its board.
struct BoardCall {
    int board = 0;  // 0 linear, 1 rotary
    std::string function;
    int occurrence = 0;
};

struct Totals {
    int recorded = 0, cases = 0, injected = 0, handled = 0, not_reached = 0;
    int reads = 0, reads_recovered = 0;
};

class BoardFaultMatrixTest : public ::testing::Test {
protected:
    static constexpr int MAX_CASES = 30;
    static constexpr long OPERATION_DEADLINE_MS = 60000;

    void start(bool sensor) {
        h_.write_config({{"SIP_SENSOR_PRESENT", sensor ? "1" : "0"}});
        h_.start_peers(true, true, {300, 150, 150});
        h_.start_sipper();
        h_.client().reset();
        ASSERT_TRUE(h_.wait_state(Component::READY)) << read_file(h_.log_path());
        h_.home();
        ASSERT_EQ(h_.client().set_active_plate("plate96"), call_ok);
        state1_duration_ = h_.sample_interface().duration(1);
    }

    SimBoard& board(int index) { return index == 0 ? h_.linear() : h_.rotary(); }

    // Starts the operation; `round` varies the target so that moves move.
    void launch(Operation op, int round) {
        SipperIF& c = h_.client();
        switch (op) {
        case Operation::home: c.home(); break;
        case Operation::go_to: c.goto_position(round % 2 == 0 ? POSITION_MATRIX1 : POSITION_WASHSTATION3); break;
        case Operation::park: {
            // No command parks; the component's record and task are driven
            // directly, as its command handlers would.
            h_.sipper().data().set_operation(OP_PARK);
            ASSERT_TRUE(h_.sipper().task()->start());
            break;
        }
        case Operation::wash: c.wash(60, 60); break;
        case Operation::timed_sip:
        case Operation::sensed_sip: c.sip("m1", 7, 1000, 1 + round % 2, 0.0, 60, 60); break;
        }
    }

    // Busy until the operation ends; false when it never does.
    bool wait_end() {
        return wait_for(
            [&] {
                int s = -1;
                return h_.client().get_status(s) == call_ok && s != STATE_BUSY;
            },
            OPERATION_DEADLINE_MS);
    }

    // The operation's calls from both boards' traces, in order per board.
    std::vector<BoardCall> record(Operation op) {
        for (int b : {0, 1}) board(b).clear_trace();
        launch(op, 0);
        EXPECT_TRUE(wait_end());
        EXPECT_EQ(h_.status(), STATE_IDLE) << read_file(h_.log_path());
        std::vector<BoardCall> calls;
        for (int b : {0, 1}) {
            std::map<std::string, int> seen;
            for (const SimTraceRecord& r : board(b).trace())
                calls.push_back(BoardCall{b, r.function, ++seen[r.function]});
        }
        EXPECT_LT(calls.size(), TRACE_KEPT) << "the trace overflowed";
        return calls;
    }

    static std::vector<size_t> sample(size_t n) {
        std::vector<size_t> picked;
        const char* full = std::getenv("SIPPER_MATRIX_FULL");
        const size_t wanted = (full != nullptr && std::string(full) == "1") ? n : std::min<size_t>(n, MAX_CASES);
        for (size_t i = 0; i < wanted; ++i) picked.push_back(i * n / wanted);
        return picked;
    }

    // No axis of the linear board moves two board seconds after the end.
    void expect_at_rest(const std::string& where) {
        const double end = h_.linear().view().board_time;
        ASSERT_TRUE(wait_for([&] { return h_.linear().view().board_time >= end + 2.0; }, 10000));
        const SimBoardView v = h_.linear().view();
        for (int axis = 1; axis <= 3; ++axis)
            EXPECT_EQ(v.axes[axis].velocity, 0.0) << where << ": axis " << axis << " still moves ("
                                                   << v.axes[axis].stop_reason << ")";
    }

    // The state a case leaves behind is undone: idle, homed, fault gone.
    void recover() {
        for (int b : {0, 1}) board(b).clear_faults();
        h_.client().reset_error_state();
        int homed = 0;
        h_.client().is_homed(homed);
        if (homed != 1) h_.home();
    }

    // Runs the matrix of one operation and prints its totals.
    void run_matrix(Operation op, const std::string& name) {
        const std::vector<BoardCall> calls = record(op);
        ASSERT_FALSE(calls.empty());
        Totals t;
        t.recorded = static_cast<int>(calls.size());
        int round = 1;
        for (size_t index : sample(calls.size())) {
            const BoardCall& call = calls[index];
            const std::string where = name + ": " + call.function + " #" + std::to_string(call.occurrence) +
                                      " on board " + std::to_string(call.board) + " (call " +
                                      std::to_string(index + 1) + " of " + std::to_string(calls.size()) + ")";
            ++t.cases;
            const bool handled = run_case(op, call, INJECTED, round++, where, t);
            if (handled) ++t.handled;
            recover();
            if (HasFatalFailure()) return;
        }
        // Every position read, with the read-back error the wrapper clears.
        for (const BoardCall& call : calls) {
            if (call.function != "flex_read_pos_rtn") continue;
            ++t.reads;
            const std::string where = name + ": read-back error at read_pos_rtn #" + std::to_string(call.occurrence);
            if (run_case(op, call, FLEX_ERR_READBACK, round++, where, t)) ++t.reads_recovered;
            recover();
            if (HasFatalFailure()) return;
        }
        std::printf("%s: %d board calls recorded, %d cases run, %d failures injected, %d of %d injected failures "
                    "handled, %d not reached (fewer polls than recorded); read-back error at %d of %d position "
                    "reads recovered\n",
                    name.c_str(), t.recorded, t.cases, t.injected, t.handled, t.injected, t.not_reached,
                    t.reads_recovered, t.reads);
        RecordProperty("injected", t.injected);
        RecordProperty("handled", t.handled);
        EXPECT_EQ(t.handled, t.injected);
        EXPECT_EQ(t.reads_recovered, t.reads);
        // Only polls may go unreached, never a call of the sequence itself.
        EXPECT_GT(t.injected, t.cases / 2);
    }

    // One run with `call` failing with `status`; true when every outcome held.
    bool run_case(Operation op, const BoardCall& call, int32_t status, int round, const std::string& where,
                  Totals& t) {
        const int failures_before = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        SimBoard& b = board(call.board);
        const size_t log_before = read_file(h_.log_path()).size();
        const SimBoardView before = h_.linear().view();
        for (int other : {0, 1}) board(other).clear_trace();
        EXPECT_TRUE(b.fail_call(call.occurrence, status, call.function)) << b.error();
        launch(op, round);
        const bool ended = wait_end();
        EXPECT_TRUE(ended) << where << ": the operation never ended\n" << read_file(h_.log_path());
        if (!ended) {
            h_.client().stop_all_motion();
            return false;
        }
        h_.sync();
        const bool fired = b.view().faults.empty();
        if (!fired) {
            EXPECT_TRUE(is_poll(call.function)) << where << ": the call was never made";
            if (status == INJECTED) ++t.not_reached;
            return false;
        }
        if (status == INJECTED) ++t.injected;

        int state = -1;
        EXPECT_EQ(h_.client().get_state(state), call_ok) << where;
        EXPECT_EQ(state, Component::READY) << where;
        const int result = h_.status();
        // The worker's lines reached the log before its final state.
        const std::string log = read_file(h_.log_path()).substr(log_before);

        if (status == FLEX_ERR_READBACK) {
            // The wrapper flushes the read-back buffer and the operation
            // goes on as if nothing happened.
            EXPECT_EQ(result, STATE_IDLE) << where << "\n" << log;
            EXPECT_EQ(log.find("Error"), std::string::npos) << where << "\n" << log;
            EXPECT_EQ(log.find("ERROR"), std::string::npos) << where << "\n" << log;
            bool flushed = false;
            for (const SimTraceRecord& r : b.trace()) flushed = flushed || r.function == "flex_flush_rdb";
            EXPECT_TRUE(flushed) << where;
            if (op == Operation::park) {
                // Parking lifts where the probe stands: the first X and Y
                // targets are the place it stood at, whichever read failed.
                for (int axis : {1, 2})
                    EXPECT_EQ(first_target(axis), before.axes[axis].position) << where << ", axis " << axis;
            }
        } else {
            const std::string text = wrapper_prefixes().at(call.function) + board_description(status);
            EXPECT_NE(log.find(text), std::string::npos) << where << ": no line with \"" << text << "\"\n" << log;
            if (result == STATE_ERROR) {
                EXPECT_NE(log.find("SipperTask Error : "), std::string::npos) << where << "\n" << log;
            } else {
                EXPECT_EQ(result, STATE_IDLE) << where;
                // Only two sequences carry on past a failed board call: homing
                // tries again, and parking lifts from what it could read.
                if (op == Operation::home) {
                    EXPECT_NE(log.find("SipperTask home_axes failed: " + text), std::string::npos) << where << log;
                    int homed = 0;
                    EXPECT_EQ(h_.client().is_homed(homed), call_ok);
                    EXPECT_EQ(homed, 1) << where << "\n" << log;
                } else {
                    EXPECT_TRUE(op == Operation::park && call.function == "flex_read_pos_rtn")
                        << where << ": ended idle after a failed call\n"
                        << log;
                    EXPECT_NE(log.find("SipperTask get_current_positions(): ERROR " + text), std::string::npos)
                        << where << "\n" << log;
                }
            }
        }
        expect_at_rest(where);
        if (op == Operation::sensed_sip) {
            // The sip output is off and state 1 has its duration back.
            EXPECT_EQ(h_.rotary().view().ports[2] & 4, 0) << where;
            EXPECT_EQ(h_.sample_interface().duration(1), state1_duration_) << where;
        }
        return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() == failures_before;
    }

    // The first target loaded into `axis` in the linear board's trace.
    int32_t first_target(int axis) {
        const std::string call = "flex_load_target_pos(" + std::to_string(axis) + ", ";
        for (const SimTraceRecord& r : h_.linear().trace())
            if (r.text.rfind(call, 0) == 0) return std::stoi(r.text.substr(call.size()));
        return INT32_MIN;
    }

    // get_current_positions with the read-back error at each of its reads
    // reports the place the probe is at.
    void check_command_reads() {
        const SimBoardView v = h_.linear().view();
        for (int read = 1; read <= 3; ++read) {
            ASSERT_TRUE(h_.linear().fail_call(read, FLEX_ERR_READBACK, "read_pos_rtn"));
            double xyz[3] = {0, 0, 0};
            ASSERT_EQ(h_.client().get_current_positions(xyz[0], xyz[1], xyz[2]), call_ok);
            EXPECT_TRUE(h_.linear().view().faults.empty());
            for (int axis = 1; axis <= 3; ++axis)
                EXPECT_NEAR(xyz[axis - 1], v.axes[axis].position / 80.0, 1e-9)
                    << "read-back error at read " << read << ", axis " << axis;
        }
        std::printf("get_current_positions: read-back error at 3 of 3 position reads recovered\n");
    }

    SipperHarness h_;
    int state1_duration_ = 0;
};

TEST_F(BoardFaultMatrixTest, Home) {
    start(false);
    run_matrix(Operation::home, "home");
}

TEST_F(BoardFaultMatrixTest, GotoPosition) {
    start(false);
    run_matrix(Operation::go_to, "goto_position");
    check_command_reads();
}

TEST_F(BoardFaultMatrixTest, Park) {
    start(false);
    run_matrix(Operation::park, "park");
}

TEST_F(BoardFaultMatrixTest, Wash) {
    start(false);
    run_matrix(Operation::wash, "wash");
}

TEST_F(BoardFaultMatrixTest, TimedSip) {
    start(false);
    run_matrix(Operation::timed_sip, "timed sip");
}

// The sensed sip begins with the move whose final descent watches the sip
// sensor (goto_position with the sensor check): its calls are the first
// part of this record.
TEST_F(BoardFaultMatrixTest, SensedSip) {
    start(true);
    run_matrix(Operation::sensed_sip, "sensed sip");
}

}  // namespace
