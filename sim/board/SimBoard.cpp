#include "sim/board/SimBoard.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

#include "sim/board/BoardModel.h"
#include "sim/board/BoardState.h"
#include "sim/board/flexsim_status.h"

namespace {

bool fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

bool create_board(int board, const StageDescription& stage, bool exclusive, std::string* error) {
    if (board < 0 || board > SimBoard::MAX_BOARD) {
        return fail(error, "board number " + std::to_string(board) + " is not 0 to 255");
    }
    const std::string problem = stage.check();
    if (!problem.empty()) return fail(error, "stage description refused: " + problem);
    const std::string name = board_segment_name(board);
    int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd >= 0) {
        if (ftruncate(fd, sizeof(BoardState)) != 0) {
            const std::string why = std::strerror(errno);
            close(fd);
            shm_unlink(name.c_str());
            return fail(error, "cannot size " + name + ": " + why);
        }
        void* p = mmap(nullptr, sizeof(BoardState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (p == MAP_FAILED) {
            const std::string why = std::strerror(errno);
            shm_unlink(name.c_str());
            return fail(error, "cannot map " + name + ": " + why);
        }
        auto* b = static_cast<BoardState*>(p);
        b->layout_version = BOARD_LAYOUT_VERSION;
        b->size = sizeof(BoardState);
        b->board = board;
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        const int rc = pthread_mutex_init(&b->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        if (rc != 0) {
            munmap(p, sizeof(BoardState));
            shm_unlink(name.c_str());
            return fail(error, "cannot initialise the lock of " + name + ": " + std::strerror(rc));
        }
        apply_stage(*b, stage, monotonic_ns());
        std::atomic_ref<uint32_t>(b->ready).store(BOARD_READY_WORD, std::memory_order_release);
        munmap(p, sizeof(BoardState));
        forget_board(board);
        return true;
    }
    if (errno != EEXIST) return fail(error, "cannot create " + name + ": " + std::strerror(errno));
    if (exclusive) return fail(error, name + " already exists");
    int32_t status = FLEX_OK;
    auto mapping = open_board(board, &status);
    if (!mapping) {
        return fail(error, name + " exists but cannot be used (" + std::to_string(status) +
                               "); remove it first");
    }
    BoardLock lock(mapping->state(), false);
    if (!lock.locked()) return fail(error, "the lock of " + name + " is unusable");
    apply_stage(*mapping->state(), stage, monotonic_ns());
    return true;
}

const char* stop_reason_text(int32_t r) {
    switch (r) {
    case STOP_PROFILE_DONE: return "move done";
    case STOP_HW_FORWARD: return "forward limit switch";
    case STOP_HW_REVERSE: return "reverse limit switch";
    case STOP_SW_FORWARD: return "forward software limit";
    case STOP_SW_REVERSE: return "reverse software limit";
    case STOP_HARD_STOP: return "hard stop (stalled)";
    case STOP_HALT: return "halt stop";
    case STOP_KILL: return "kill stop";
    case STOP_DECEL: return "decelerated stop";
    case STOP_REFERENCE_FOUND: return "reference found";
    case STOP_FAULT: return "drive fault";
    default: return "-";
    }
}

const char* find_state_text(int32_t s) {
    switch (s) {
    case FIND_SEARCHING: return "searching";
    case FIND_FOUND: return "found";
    case FIND_FAILED: return "failed";
    default: return "none";
    }
}

}  // namespace

bool SimBoard::create(int board, const StageDescription& stage, std::string* error) {
    return create_board(board, stage, false, error);
}

bool SimBoard::create_new(int board, const StageDescription& stage, std::string* error) {
    return create_board(board, stage, true, error);
}

int SimBoard::create_unused(const StageDescription& stage, int first, int last) {
    if (first < 0) first = 0;
    if (last > MAX_BOARD) last = MAX_BOARD;
    if (first > last) return -1;
    const int count = last - first + 1;
    const int start = static_cast<int>(getpid() % count);
    for (int i = 0; i < count; ++i) {
        const int board = first + (start + i) % count;
        if (create_board(board, stage, true, nullptr)) return board;
    }
    return -1;
}

bool SimBoard::exists(int board) {
    int32_t status = FLEX_OK;
    return open_board(board, &status) != nullptr;
}

bool SimBoard::remove(int board) {
    forget_board(board);
    if (board < 0 || board > MAX_BOARD) return false;
    return shm_unlink(board_segment_name(board).c_str()) == 0;
}

std::string SimBoard::segment_name(int board) { return board_segment_name(board); }

SimBoard::SimBoard(int board) : board_(board) {
    int32_t status = FLEX_OK;
    mapping_ = open_board(board, &status);
    if (!mapping_) {
        error_ = status == FLEX_ERR_BOARD_LAYOUT
                     ? board_segment_name(board) + " was made by an incompatible build"
                     : "no simulated board " + std::to_string(board);
    }
}

SimBoard::~SimBoard() = default;

template <class F>
bool SimBoard::locked(F f) const {
    if (!mapping_) return false;
    BoardLock lock(mapping_->state());
    if (!lock.locked()) {
        error_ = "the board's lock is unusable";
        return false;
    }
    return f(*mapping_->state());
}

bool SimBoard::reset(const StageDescription& stage) {
    const std::string problem = stage.check();
    if (!problem.empty()) {
        error_ = "stage description refused: " + problem;
        return false;
    }
    return locked([&](BoardState& b) {
        apply_stage(b, stage, monotonic_ns());
        return true;
    });
}

bool SimBoard::set_time_factor(double factor) {
    if (!(factor > 0.0) || !std::isfinite(factor)) {
        error_ = "the time factor must be a positive number";
        return false;
    }
    return locked([&](BoardState& b) {
        b.time_factor = factor;
        return true;
    });
}

bool SimBoard::set_analog(int channel, int32_t value, double* board_time) {
    const int index = channel - StageDescription::ADC_FIRST;
    if (index < 0 || index >= StageDescription::ADC_CHANNELS) {
        error_ = "analog channels are 81 to 88 (0x51 to 0x58)";
        return false;
    }
    return locked([&](BoardState& b) {
        b.analog[index] = value;
        if (board_time) *board_time = b.sim_time;
        return true;
    });
}

bool SimBoard::set_port(int port, int state) {
    if (port < 1 || port > StageDescription::PORTS || state < 0 || state > 0xFF) {
        error_ = "ports are 1 to 4 and hold 0 to 255";
        return false;
    }
    return locked([&](BoardState& b) {
        b.ports[port - 1] = state;
        return true;
    });
}

bool SimBoard::set_couplings(const std::vector<SimCoupling>& couplings) {
    StageDescription probe = StageDescription::free_running();
    probe.couplings = couplings;
    const std::string problem = probe.check();
    if (!problem.empty()) {
        error_ = problem;
        return false;
    }
    return locked([&](BoardState& b) {
        for (int i = 0; i < StageDescription::MAX_COUPLINGS; ++i) {
            b.couplings[i] = CouplingState{};
            if (i < static_cast<int>(couplings.size())) {
                const SimCoupling& s = couplings[i];
                b.couplings[i] = CouplingState{1, s.channel, s.board, s.axis, s.position, s.sense, s.value};
            }
        }
        return true;
    });
}

namespace {
bool axis_ok(int axis, std::string& error) {
    if (axis >= 1 && axis <= StageDescription::AXES) return true;
    error = "axes are 1 to 4";
    return false;
}
}  // namespace

bool SimBoard::set_motor_off_fault(int axis, bool on) {
    if (!axis_ok(axis, error_)) return false;
    return locked([&](BoardState& b) {
        b.axes[axis].fault_motor_off = on;
        if (on) fault_stop(b.axes[axis]);
        return true;
    });
}

bool SimBoard::set_following_error_fault(int axis, bool on) {
    if (!axis_ok(axis, error_)) return false;
    return locked([&](BoardState& b) {
        b.axes[axis].fault_following_error = on;
        if (on) fault_stop(b.axes[axis]);
        return true;
    });
}

bool SimBoard::set_index_fault(int axis, bool never_found) {
    if (!axis_ok(axis, error_)) return false;
    return locked([&](BoardState& b) {
        b.axes[axis].fault_no_index = never_found;
        return true;
    });
}

bool SimBoard::fail_function(const std::string& function, int32_t status, int calls) {
    const int fn = flex_function_by_name(function);
    if (fn < 0 || fn == FN_GET_ERROR_DESCRIPTION) {
        error_ = "no board function named " + function;
        return false;
    }
    if (status == 0 || calls == 0 || calls < -1) {
        error_ = "a failure needs a non-zero status and a call count (-1 for every call)";
        return false;
    }
    return locked([&](BoardState& b) {
        for (auto& f : b.faults) {
            if (f.function == fn || f.function == -1) {
                f = FunctionFault{fn, status, calls, 0};
                return true;
            }
        }
        error_ = "too many function faults at once";
        return false;
    });
}

bool SimBoard::fail_call(int nth, int32_t status, const std::string& function) {
    const int fn = function == "any" ? FAULT_ANY_FUNCTION : flex_function_by_name(function);
    if (fn == -1 || fn == FN_GET_ERROR_DESCRIPTION) {
        error_ = "no board function named " + function;
        return false;
    }
    if (status == 0 || nth < 1) {
        error_ = "a failure needs a non-zero status and a call number from 1";
        return false;
    }
    return locked([&](BoardState& b) {
        for (auto& f : b.faults) {
            if (f.function == -1 || f.remaining == 0) {
                f = FunctionFault{fn, status, 1, nth - 1};
                return true;
            }
        }
        error_ = "too many function faults at once";
        return false;
    });
}

bool SimBoard::set_readback_error() {
    return locked([&](BoardState& b) {
        b.readback_pending = 1;
        return true;
    });
}

bool SimBoard::clear_faults() {
    return locked([&](BoardState& b) {
        for (auto& f : b.faults) f = FunctionFault{-1, 0, 0, 0};
        b.readback_pending = 0;
        for (auto& a : b.axes) {
            a.fault_motor_off = 0;
            a.fault_following_error = 0;
            a.fault_no_index = 0;
        }
        return true;
    });
}

bool SimBoard::set_trace(bool on) {
    return locked([&](BoardState& b) {
        b.trace_enabled = on;
        return true;
    });
}

bool SimBoard::clear_trace() {
    return locked([&](BoardState& b) {
        b.trace_next = 0;
        std::memset(static_cast<void*>(b.trace), 0, sizeof(b.trace));
        return true;
    });
}

std::vector<SimTraceRecord> SimBoard::trace() const {
    std::vector<SimTraceRecord> records;
    locked([&](BoardState& b) {
        const uint64_t end = b.trace_next;
        const uint64_t begin = end > BOARD_TRACE_CAPACITY ? end - BOARD_TRACE_CAPACITY : 0;
        for (uint64_t s = begin; s < end; ++s) {
            const TraceEntry& e = b.trace[s % BOARD_TRACE_CAPACITY];
            SimTraceRecord r;
            r.sequence = e.sequence;
            r.board_time = e.board_time;
            r.pid = e.pid;
            const char* name = flex_function_name(e.function);
            r.function = name ? name : "?";
            r.status = e.status;
            r.text = std::string(e.text, strnlen(e.text, sizeof e.text));
            records.push_back(std::move(r));
        }
        return true;
    });
    return records;
}

std::vector<std::string> SimBoard::trace_functions() const {
    std::vector<std::string> names;
    for (const auto& r : trace()) names.push_back(r.function.substr(5));
    return names;
}

SimBoardView SimBoard::view() const {
    SimBoardView v;
    v.board = board_;
    std::vector<CouplingState> couplings;
    locked([&](BoardState& b) {
        v.time_factor = b.time_factor;
        v.board_time = b.sim_time;
        v.calls = b.calls;
        for (int i = 1; i <= StageDescription::AXES; ++i) {
            const AxisState& a = b.axes[i];
            SimAxisView& x = v.axes[i];
            x.position = reported_position(a);
            x.stage_position = a.pos;
            x.velocity = a.vel;
            x.status = axis_status(a);
            x.op_mode = a.op_mode;
            x.loop_mode = a.loop_mode;
            x.loaded_velocity = a.velocity;
            x.acceleration = a.acceleration;
            x.deceleration = a.deceleration;
            x.target = a.target;
            x.scurve_time = a.scurve_time;
            x.forward_limit_active = hw_forward_active(a);
            x.reverse_limit_active = hw_reverse_active(a);
            x.forward_limit_enabled = a.hw_forward_enabled;
            x.reverse_limit_enabled = a.hw_reverse_enabled;
            x.sw_forward_enabled = a.sw_forward_enabled;
            x.sw_reverse_enabled = a.sw_reverse_enabled;
            x.sw_forward = a.sw_forward;
            x.sw_reverse = a.sw_reverse;
            x.home_enabled = a.home_enabled;
            x.fault_motor_off = a.fault_motor_off;
            x.fault_following_error = a.fault_following_error;
            x.fault_no_index = a.fault_no_index;
            x.stop_reason = stop_reason_text(a.stop_reason);
            x.reference = find_state_text(a.find_state);
            x.stage = a.stage;
        }
        for (int c = 0; c < StageDescription::ADC_CHANNELS; ++c) v.analog[c] = v.reading[c] = b.analog[c];
        for (int p = 0; p < StageDescription::PORTS; ++p) v.ports[p] = b.ports[p];
        for (const CouplingState& c : b.couplings) {
            if (!c.used) continue;
            couplings.push_back(c);
            v.couplings.push_back(SimCoupling{c.channel, c.board, c.axis, c.position, c.sense, c.value});
        }
        for (const FunctionFault& f : b.faults) {
            if (f.function == -1) continue;
            v.faults.push_back(SimFunctionFault{
                f.function == FAULT_ANY_FUNCTION ? "any" : flex_function_name(f.function), f.status,
                f.remaining, f.skip});
        }
        v.readback_pending = b.readback_pending;
        v.storing = b.storing;
        v.store_program = b.store_program;
        return true;
    });
    // What read_adc gives now: the first coupling that holds wins. Other
    // boards are read one at a time, never while this one is locked.
    bool decided[StageDescription::ADC_CHANNELS] = {};
    for (const CouplingState& c : couplings) {
        const int index = c.channel - StageDescription::ADC_FIRST;
        if (index < 0 || index >= StageDescription::ADC_CHANNELS || decided[index]) continue;
        if (c.axis < 1 || c.axis > StageDescription::AXES) continue;
        bool holds = false;
        if (c.board == board_) {
            holds = coupling_holds(c, v.axes[c.axis].stage_position);
        } else {
            int32_t status = FLEX_OK;
            auto other = open_board(c.board, &status);
            if (other) {
                BoardLock lock(other->state());
                holds = lock.locked() && coupling_holds(c, other->state()->axes[c.axis].pos);
            }
        }
        if (holds) {
            v.reading[index] = c.value;
            decided[index] = true;
        }
    }
    return v;
}

std::string SimBoard::describe() const {
    if (!valid()) return error_ + "\n";
    const SimBoardView v = view();
    std::ostringstream o;
    o.setf(std::ios::fixed);
    o.precision(3);
    o << "board " << v.board << " (" << segment_name(v.board) << ")  time factor " << v.time_factor
      << "  board time " << v.board_time << " s  calls " << v.calls << "\n";
    for (int i = 1; i <= StageDescription::AXES; ++i) {
        const SimAxisView& a = v.axes[i];
        o.precision(1);
        o << "axis " << i << ": pos " << a.position << " (stage " << a.stage_position << ")"
          << "  vel " << a.velocity << " steps/s  status 0x" << std::hex << a.status << std::dec
          << "  mode " << a.op_mode << "  loop " << a.loop_mode << "  target " << a.target
          << "  loaded vel " << a.loaded_velocity << "  acc " << a.acceleration << "\n";
        o << "        limits: fwd " << (a.forward_limit_active ? "ACTIVE" : "off")
          << (a.forward_limit_enabled ? " (enabled)" : " (disabled)") << ", rev "
          << (a.reverse_limit_active ? "ACTIVE" : "off")
          << (a.reverse_limit_enabled ? " (enabled)" : " (disabled)") << "; software "
          << (a.sw_forward_enabled ? "fwd on " : "fwd off ") << a.sw_forward << " / "
          << (a.sw_reverse_enabled ? "rev on " : "rev off ") << a.sw_reverse
          << "; home inputs " << (a.home_enabled ? "on" : "off") << "; reference " << a.reference
          << "; last stop: " << a.stop_reason << "\n";
        if (a.fault_motor_off || a.fault_following_error || a.fault_no_index) {
            o << "        FAULTS:" << (a.fault_motor_off ? " motor-off" : "")
              << (a.fault_following_error ? " following-error" : "")
              << (a.fault_no_index ? " no-index" : "") << "\n";
        }
    }
    o << "analog:";
    for (int c = 0; c < StageDescription::ADC_CHANNELS; ++c) {
        o << " " << (StageDescription::ADC_FIRST + c) << "=" << v.reading[c];
        if (v.reading[c] != v.analog[c]) o << "(rest " << v.analog[c] << ")";
    }
    o << "\nports:";
    for (int p = 0; p < StageDescription::PORTS; ++p) o << " " << (p + 1) << "=0x" << std::hex << v.ports[p] << std::dec;
    o << "\n";
    for (const SimCoupling& c : v.couplings) {
        o << "coupling: channel " << c.channel << " reads " << c.value << " while board " << c.board
          << " axis " << c.axis << " is " << (c.sense >= 0 ? "at/beyond" : "at/before")
          << " stage step " << c.position << "\n";
    }
    for (const SimFunctionFault& f : v.faults) {
        o << "fault: " << f.function << " fails with " << f.status << " ("
          << (f.remaining < 0 ? std::string("every call") : std::to_string(f.remaining) + " more")
          << (f.skip > 0 ? " after " + std::to_string(f.skip) + " calls" : std::string()) << ")\n";
    }
    if (v.readback_pending) o << "fault: read-back error pending (-70025 until flush_rdb)\n";
    if (v.storing) o << "storing program " << v.store_program << "\n";
    return o.str();
}
