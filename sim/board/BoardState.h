#pragma once
#include <pthread.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sim/board/StageDescription.h"

// The whole state of one simulated board, as it lies in its shared-memory
// segment "/flexsim-board-<n>". Plain data only: every process that maps the
// segment reads and writes it under `mutex` (robust, process-shared).
// Positions are stage steps (see StageDescription.h) unless named "reported".

constexpr uint32_t BOARD_READY_WORD = 0x4D495346;  // "FSIM"
constexpr uint32_t BOARD_LAYOUT_VERSION = 5;
constexpr int BOARD_TRACE_CAPACITY = 1024;
constexpr int BOARD_MAX_FAULTS = 8;
constexpr int BOARD_TRACE_TEXT = 112;

enum MotionKind : int32_t {
    MOTION_NONE = 0,
    MOTION_POSITION = 1,  // profile to goal_pos, ends at rest there
    MOTION_VELOCITY = 2,  // runs at goal_vel until stopped
    MOTION_DECEL = 3,     // decelerates to rest, then ends
};

enum FindState : int32_t { FIND_NONE = 0, FIND_SEARCHING = 1, FIND_FOUND = 2, FIND_FAILED = 3 };

// Why the axis last came to rest (shown by the tool).
enum StopReason : int32_t {
    STOP_NONE = 0,
    STOP_PROFILE_DONE,
    STOP_HW_FORWARD,
    STOP_HW_REVERSE,
    STOP_SW_FORWARD,
    STOP_SW_REVERSE,
    STOP_HARD_STOP,
    STOP_HALT,
    STOP_KILL,
    STOP_DECEL,
    STOP_REFERENCE_FOUND,
    STOP_FAULT,
};

struct AxisState {
    SimAxisStage stage;
    double pos;   // stage steps
    double vel;   // steps/s, signed
    int32_t offset;  // reported = stage - offset
    int32_t op_mode;
    int32_t loop_mode;
    double velocity;      // loaded, steps/s, signed (its sign matters in velocity mode)
    double acceleration;  // steps/s^2
    double deceleration;
    int32_t scurve_time;
    int32_t target;  // loaded, reported steps (absolute) or distance (relative)
    int32_t kind;    // MotionKind
    double goal_pos;
    double goal_vel;
    int32_t motor_off;
    int32_t following_error;  // from a stall; cleared by start or loop mode set-up
    int32_t fault_motor_off;  // injected: sticky until cleared
    int32_t fault_following_error;
    int32_t fault_no_index;
    int32_t hw_forward_enabled;
    int32_t hw_reverse_enabled;
    int32_t sw_forward_enabled;
    int32_t sw_reverse_enabled;
    int32_t home_enabled;
    int32_t sw_forward;  // reported steps
    int32_t sw_reverse;
    int32_t stop_reason;
    int32_t find_state;
    int32_t find_type;
    int32_t home_found;
    int32_t index_found;
};

struct CouplingState {
    int32_t used;
    int32_t channel;
    int32_t board;
    int32_t axis;
    int32_t position;
    int32_t sense;
    int32_t value;
};

// A fault whose function is FAULT_ANY_FUNCTION counts the calls of every
// function (except the error description) on the board.
constexpr int32_t FAULT_ANY_FUNCTION = -2;

struct FunctionFault {
    int32_t function;   // FlexFunction, FAULT_ANY_FUNCTION, or -1 for an empty slot
    int32_t status;
    int32_t remaining;  // calls still to fail; -1 = every call
    int32_t skip;       // matching calls to let pass before the first failure
};

struct TraceEntry {
    uint64_t sequence;
    double board_time;  // board seconds at the call
    int32_t pid;
    int32_t function;
    int32_t status;
    char text[BOARD_TRACE_TEXT];
};

struct BoardState {
    uint32_t ready;  // BOARD_READY_WORD once usable
    uint32_t layout_version;
    uint32_t size;
    int32_t board;
    pthread_mutex_t mutex;
    double time_factor;
    int64_t last_ns;  // monotonic clock at the last advance
    double sim_time;  // board seconds since creation
    AxisState axes[StageDescription::AXES + 1];
    int32_t analog[StageDescription::ADC_CHANNELS];
    int32_t ports[StageDescription::PORTS];
    CouplingState couplings[StageDescription::MAX_COUPLINGS];
    FunctionFault faults[BOARD_MAX_FAULTS];
    int32_t readback_pending;  // -70025 until flush_rdb
    int32_t storing;
    int32_t store_program;
    uint64_t calls;
    int32_t trace_enabled;
    uint64_t trace_next;  // sequence number of the next entry
    TraceEntry trace[BOARD_TRACE_CAPACITY];
};

// The board functions, in the order of the library header; used for the
// trace and for faults that name a function.
enum FlexFunction : int32_t {
    FN_SET_STEPPER_LOOP_MODE = 0,
    FN_LOAD_ACCELERATION,
    FN_LOAD_RPM,
    FN_LOAD_RPSPS,
    FN_LOAD_TARGET_POS,
    FN_LOAD_VELOCITY,
    FN_READ_AXIS_STATUS_RTN,
    FN_RESET_POS,
    FN_SET_OP_MODE,
    FN_CHECK_MOVE_COMPLETE_STATUS,
    FN_LOAD_SCURVE_TIME,
    FN_START,
    FN_STOP_MOTION,
    FN_ENABLE_HOME_INPUTS,
    FN_ENABLE_LIMITS,
    FN_LOAD_SW_LIM_POS,
    FN_READ_LIMIT_STATUS_RTN,
    FN_FIND_REFERENCE,
    FN_WAIT_REFERENCE,
    FN_ENABLE_AXIS_LIMIT,
    FN_READ_ADC16_RTN,
    FN_SET_PORT,
    FN_BEGIN_STORE,
    FN_END_STORE,
    FN_FLUSH_RDB,
    FN_READ_POS_RTN,
    FN_GET_ERROR_DESCRIPTION,
    FN_COUNT
};

// "flex_start" for FN_START; nullptr outside the range.
const char* flex_function_name(int function);
// The function named "flex_start" or "start"; -1 when there is none.
int flex_function_by_name(const std::string& name);

// A mapping of one board's segment into this process. Processes keep the
// mapping of each board they use and check on every call that the segment
// is still the same object (a removed and re-created board is re-mapped).
class BoardMapping {
public:
    BoardMapping(BoardState* state, uint64_t device, uint64_t inode);
    ~BoardMapping();
    BoardMapping(const BoardMapping&) = delete;
    BoardMapping& operator=(const BoardMapping&) = delete;
    BoardState* state() const { return state_; }
    uint64_t device() const { return device_; }
    uint64_t inode() const { return inode_; }

private:
    BoardState* state_;
    uint64_t device_;
    uint64_t inode_;
};

// "/flexsim-board-<n>".
std::string board_segment_name(int board);

// Maps board `board`; nullptr with *status set (FLEX_ERR_NO_BOARD,
// FLEX_ERR_BOARD_LAYOUT) when it does not exist or cannot be used.
std::shared_ptr<BoardMapping> open_board(int board, int32_t* status);

// Forgets the mapping of `board` in this process.
void forget_board(int board);

// Holds the board's mutex and brings the board to "now" on entry.
class BoardLock {
public:
    explicit BoardLock(BoardState* state, bool advance = true);
    ~BoardLock();
    BoardLock(const BoardLock&) = delete;
    BoardLock& operator=(const BoardLock&) = delete;
    bool locked() const { return locked_; }

private:
    BoardState* state_;
    bool locked_;
};

int64_t monotonic_ns();
