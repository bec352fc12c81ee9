#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/board/StageDescription.h"

class BoardMapping;

// One axis as the board sees it now.
struct SimAxisView {
    int32_t position = 0;         // reported steps (what read_pos_rtn gives)
    double stage_position = 0.0;  // steps from the reverse limit switch
    double velocity = 0.0;        // steps/s now
    uint16_t status = 0;          // read_axis_status_rtn word
    int op_mode = 0;
    int loop_mode = 0;
    double loaded_velocity = 0.0;  // steps/s
    double acceleration = 0.0;     // steps/s^2
    double deceleration = 0.0;
    int32_t target = 0;
    int scurve_time = 0;
    bool forward_limit_active = false;  // hardware switches
    bool reverse_limit_active = false;
    bool forward_limit_enabled = false;
    bool reverse_limit_enabled = false;
    bool sw_forward_enabled = false;
    bool sw_reverse_enabled = false;
    int32_t sw_forward = 0;
    int32_t sw_reverse = 0;
    bool home_enabled = false;
    bool fault_motor_off = false;
    bool fault_following_error = false;
    bool fault_no_index = false;
    std::string stop_reason;  // why it last came to rest
    std::string reference;    // reference search: "none", "searching", "found", "failed"
    SimAxisStage stage;
};

struct SimFunctionFault {
    std::string function;  // "flex_read_pos_rtn", or "any"
    int32_t status = 0;
    int remaining = 0;     // -1: every call
    int skip = 0;          // calls still let through before the failure
};

struct SimBoardView {
    int board = 0;
    double time_factor = 1.0;
    double board_time = 0.0;  // board seconds since creation or reset
    uint64_t calls = 0;
    SimAxisView axes[StageDescription::AXES + 1];  // 1..4
    int32_t analog[StageDescription::ADC_CHANNELS] = {};   // resting values
    int32_t reading[StageDescription::ADC_CHANNELS] = {};  // what read_adc gives now
    int32_t ports[StageDescription::PORTS] = {};
    std::vector<SimCoupling> couplings;
    std::vector<SimFunctionFault> faults;
    bool readback_pending = false;
    bool storing = false;
    int store_program = 0;
};

struct SimTraceRecord {
    uint64_t sequence = 0;
    double board_time = 0.0;  // board seconds since creation or reset
    int pid = 0;
    std::string function;  // "flex_start"
    int32_t status = 0;
    std::string text;      // "flex_start(0, 14)", outputs after " -> "
};

// Control of a simulated board from outside the board library: create,
// reset, set inputs and faults, read the call trace, remove. Used by the
// tests, by the boardsim tool and by the installation simulator.
//
//   SimBoard::create(17, StageDescription::linear(8000));
//   SimBoard board(17);
//   board.set_time_factor(1000);
//   board.set_analog(0x53, 1800);
//   board.fail_function("flex_start", -70006, 1);
//   ... flex_start(17, 1, 0) ...
//   for (auto& r : board.trace()) ...;
//   SimBoard::remove(17);
class SimBoard {
public:
    static constexpr int MAX_BOARD = 255;

    // Creates board `board` from `stage`, or resets the existing board to it.
    static bool create(int board, const StageDescription& stage, std::string* error = nullptr);
    // Creates the board only when no board of that number exists.
    static bool create_new(int board, const StageDescription& stage, std::string* error = nullptr);
    // Creates a board under a number in [first, last] nobody uses, starting
    // at a place derived from the pid; returns it, or -1 when all are taken.
    static int create_unused(const StageDescription& stage, int first = 16, int last = 255);
    static bool exists(int board);
    // Removes the board's segment (processes that still map it keep a
    // detached copy; their next call reports the board missing).
    static bool remove(int board);
    // "/flexsim-board-<n>"
    static std::string segment_name(int board);

    // Opens an existing board; valid() tells whether it was there.
    explicit SimBoard(int board);
    ~SimBoard();
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    bool valid() const { return mapping_ != nullptr; }
    const std::string& error() const { return error_; }
    int number() const { return board_; }

    // Power-up state for `stage`: positions, inputs, faults and trace reset.
    bool reset(const StageDescription& stage);
    // Board seconds per real second (> 0); the board is brought to now first.
    bool set_time_factor(double factor);
    // Resting value of analog channel 0x51..0x58 (couplings may override it);
    // *board_time, when given, receives the board time of the change.
    bool set_analog(int channel, int32_t value, double* board_time = nullptr);
    bool set_port(int port, int state);
    bool set_couplings(const std::vector<SimCoupling>& couplings);
    // Sticky axis faults: the axis stops and stays stopped until cleared.
    bool set_motor_off_fault(int axis, bool on);
    bool set_following_error_fault(int axis, bool on);
    // The encoder index of the axis is never seen by a reference search.
    bool set_index_fault(int axis, bool never_found);
    // The next `calls` calls (-1: every call) of the function fail with
    // `status` without acting. The name may omit the "flex_" prefix.
    bool fail_function(const std::string& function, int32_t status, int calls = 1);
    // Exactly the `nth` call from now (1: the next one) of `function`, or of
    // any function when it is "any", fails once with `status` without acting.
    bool fail_call(int nth, int32_t status, const std::string& function = "any");
    // read_pos_rtn reports -70025 until flush_rdb is called.
    bool set_readback_error();
    // Clears every injected fault (axis, function and read-back faults).
    bool clear_faults();
    bool set_trace(bool on);
    bool clear_trace();

    // The recorded calls, oldest first (the last 1024 at most).
    std::vector<SimTraceRecord> trace() const;
    // The functions of the trace, oldest first, without the "flex_" prefix.
    std::vector<std::string> trace_functions() const;
    SimBoardView view() const;
    // The state as the boardsim tool prints it.
    std::string describe() const;

private:
    template <class F>
    bool locked(F f) const;

    int board_;
    std::shared_ptr<BoardMapping> mapping_;
    mutable std::string error_;
};
