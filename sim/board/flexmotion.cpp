// The board functions over the simulated board. Each call maps the board's
// segment, takes its lock (which brings the board to "now"), applies any
// injected failure, checks its arguments as the real board would, acts, and
// writes one trace entry.
#include "sim/board/flexsim_status.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/board/BoardModel.h"
#include "sim/board/BoardState.h"

namespace {

constexpr uint16_t VALID_AXIS_BITS = 0x1E;  // axes 1-4

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[160];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

void record(BoardState& b, int function, int32_t status, const std::string& args,
            const std::string& out) {
    if (!b.trace_enabled) return;
    TraceEntry& e = b.trace[b.trace_next % BOARD_TRACE_CAPACITY];
    e.sequence = b.trace_next++;
    e.board_time = b.sim_time;
    e.pid = static_cast<int32_t>(getpid());
    e.function = function;
    e.status = status;
    std::string text = std::string(flex_function_name(function)) + "(" + args + ")";
    if (!out.empty()) text += " -> " + out;
    if (status != 0) text += " = " + std::to_string(status);
    std::snprintf(e.text, sizeof e.text, "%s", text.c_str());
}

// An injected failure for this function, consumed when it counts down.
int32_t take_fault(BoardState& b, int function) {
    for (auto& f : b.faults) {
        if (f.remaining == 0 || (f.function != function && f.function != FAULT_ANY_FUNCTION)) continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        if (f.remaining > 0 && --f.remaining == 0) {
            const int32_t status = f.status;
            f.function = -1;
            return status;
        }
        return f.status;
    }
    return 0;
}

bool valid_axis(int axis) { return axis >= 1 && axis <= StageDescription::AXES; }
bool valid_map(uint16_t map) { return (map & ~VALID_AXIS_BITS) == 0; }

// The axes an "axis or vector space" argument names; status on refusal.
int32_t select_axes(uint8_t axis, uint16_t map, std::vector<int>& axes) {
    axes.clear();
    if (axis == 0) {
        if (!valid_map(map)) return FLEX_ERR_BAD_MAP;
        for (int i = 1; i <= StageDescription::AXES; ++i) {
            if (map & (1u << i)) axes.push_back(i);
        }
        return FLEX_OK;
    }
    if (!valid_axis(axis)) return FLEX_ERR_BAD_AXIS;
    axes.push_back(axis);
    return FLEX_OK;
}

// Runs `body` on the locked, advanced board and traces the call.
template <class Body>
int32_t board_call(uint8_t board, int function, const std::string& args, Body body) {
    int32_t status = FLEX_OK;
    auto mapping = open_board(board, &status);
    if (!mapping) return status;
    BoardState& b = *mapping->state();
    BoardLock lock(&b);
    if (!lock.locked()) return FLEX_ERR_BOARD_LOCK;
    ++b.calls;
    std::string out;
    status = take_fault(b, function);
    if (status == FLEX_OK) status = body(b, out);
    record(b, function, status, args, out);
    return status;
}

// Loads one value into one axis through the host vector.
template <class Body>
int32_t axis_load(uint8_t board, int function, uint8_t axis, uint8_t vector, const std::string& args,
                  Body body) {
    return board_call(board, function, args, [&](BoardState& b, std::string& out) -> int32_t {
        if (!valid_axis(axis)) return FLEX_ERR_BAD_AXIS;
        if (vector != FLEX_HOST_VECTOR) return FLEX_ERR_BAD_VECTOR;
        return body(b.axes[axis], out);
    });
}

int32_t enable_limits(uint8_t board, int function, uint8_t type, uint16_t fwd, uint16_t rev) {
    return board_call(board, function, format("%u, %u, %u", type, fwd, rev),
                      [&](BoardState& b, std::string&) -> int32_t {
                          if (type > FLEX_LIMIT_SOFTWARE) return FLEX_ERR_BAD_VALUE;
                          if (!valid_map(fwd) || !valid_map(rev)) return FLEX_ERR_BAD_MAP;
                          for (int i = 1; i <= StageDescription::AXES; ++i) {
                              AxisState& a = b.axes[i];
                              const int32_t f = (fwd >> i) & 1, r = (rev >> i) & 1;
                              if (type == FLEX_LIMIT_HARDWARE) {
                                  a.hw_forward_enabled = f;
                                  a.hw_reverse_enabled = r;
                              } else {
                                  a.sw_forward_enabled = f;
                                  a.sw_reverse_enabled = r;
                              }
                          }
                          return FLEX_OK;
                      });
}

struct Description {
    int32_t status;
    const char* text;
};

const Description DESCRIPTIONS[] = {
    {FLEX_OK, "No error: the function completed successfully."},
    {FLEX_ERR_NO_BOARD,
     "Board not found: no simulated motion board has this board number (create it with "
     "boardsim)."},
    {FLEX_ERR_BAD_AXIS, "Invalid axis: the axis or vector space number is not 1 to 4 (or 0 with a map)."},
    {FLEX_ERR_BAD_MAP, "Invalid axis map: the map has bits set outside axes 1 to 4."},
    {FLEX_ERR_BAD_CHANNEL, "Invalid ADC channel: analog inputs are channels 0x51 to 0x58."},
    {FLEX_ERR_BAD_PORT, "Invalid I/O port: digital ports are 1 to 4."},
    {FLEX_ERR_BAD_VALUE,
     "Parameter out of range: a mode, type, limit or acceleration value was refused."},
    {FLEX_ERR_BAD_VECTOR, "Invalid input or return vector: only the host vector 0xFF is supported."},
    {FLEX_ERR_NULL_POINTER, "Null pointer: an output argument was not supplied."},
    {FLEX_ERR_STORE_SEQUENCE,
     "Program store sequence error: begin store and end store must pair up for one program."},
    {FLEX_ERR_BOARD_LAYOUT,
     "Board memory unusable: the simulated board was made by an incompatible build (remove and "
     "re-create it)."},
    {FLEX_ERR_BOARD_LOCK, "Board communication failure: the board's internal lock is unusable."},
    {FLEX_ERR_BAD_DESCRIPTION, "Invalid description request: unknown description type or no size."},
    {FLEX_ERR_READBACK,
     "Read-back buffer error: the return data buffer holds stale data; flush it before reading "
     "again."},
};

}  // namespace

extern "C" {

int32_t flex_set_stepper_loop_mode(uint8_t board, uint8_t axis, uint16_t loop_mode) {
    return board_call(board, FN_SET_STEPPER_LOOP_MODE, format("%u, %u", axis, loop_mode),
                      [&](BoardState& b, std::string&) -> int32_t {
                          if (!valid_axis(axis)) return FLEX_ERR_BAD_AXIS;
                          if (loop_mode > FLEX_LOOP_CLOSED) return FLEX_ERR_BAD_VALUE;
                          AxisState& a = b.axes[axis];
                          a.loop_mode = loop_mode;
                          // Setting up the loop powers the drive again.
                          a.motor_off = 0;
                          a.following_error = 0;
                          return FLEX_OK;
                      });
}

int32_t flex_load_acceleration(uint8_t board, uint8_t axis, uint16_t acceleration_type,
                               uint32_t acceleration, uint8_t input_vector) {
    return axis_load(board, FN_LOAD_ACCELERATION, axis, input_vector,
                     format("%u, %u, %u, %u", axis, acceleration_type, acceleration, input_vector),
                     [&](AxisState& a, std::string&) -> int32_t {
                         if (acceleration_type > FLEX_DECEL_ONLY || acceleration == 0) {
                             return FLEX_ERR_BAD_VALUE;
                         }
                         if (acceleration_type != FLEX_DECEL_ONLY) a.acceleration = acceleration;
                         if (acceleration_type != FLEX_ACCEL_ONLY) a.deceleration = acceleration;
                         return FLEX_OK;
                     });
}

int32_t flex_load_rpm(uint8_t board, uint8_t axis, double rpm, uint8_t input_vector) {
    return axis_load(board, FN_LOAD_RPM, axis, input_vector,
                     format("%u, %g, %u", axis, rpm, input_vector),
                     [&](AxisState& a, std::string&) -> int32_t {
                         if (!std::isfinite(rpm)) return FLEX_ERR_BAD_VALUE;
                         a.velocity = rpm * a.stage.counts_per_rev / 60.0;
                         return FLEX_OK;
                     });
}

int32_t flex_load_rpsps(uint8_t board, uint8_t axis, uint16_t acceleration_type, double rpsps,
                        uint8_t input_vector) {
    return axis_load(board, FN_LOAD_RPSPS, axis, input_vector,
                     format("%u, %u, %g, %u", axis, acceleration_type, rpsps, input_vector),
                     [&](AxisState& a, std::string&) -> int32_t {
                         if (acceleration_type > FLEX_DECEL_ONLY || !std::isfinite(rpsps) ||
                             rpsps <= 0.0) {
                             return FLEX_ERR_BAD_VALUE;
                         }
                         const double steps = rpsps * a.stage.counts_per_rev;
                         if (acceleration_type != FLEX_DECEL_ONLY) a.acceleration = steps;
                         if (acceleration_type != FLEX_ACCEL_ONLY) a.deceleration = steps;
                         return FLEX_OK;
                     });
}

int32_t flex_load_target_pos(uint8_t board, uint8_t axis, int32_t target_position,
                             uint8_t input_vector) {
    return axis_load(board, FN_LOAD_TARGET_POS, axis, input_vector,
                     format("%u, %d, %u", axis, target_position, input_vector),
                     [&](AxisState& a, std::string&) -> int32_t {
                         a.target = target_position;
                         return FLEX_OK;
                     });
}

int32_t flex_load_velocity(uint8_t board, uint8_t axis, int32_t velocity, uint8_t input_vector) {
    return axis_load(board, FN_LOAD_VELOCITY, axis, input_vector,
                     format("%u, %d, %u", axis, velocity, input_vector),
                     [&](AxisState& a, std::string&) -> int32_t {
                         a.velocity = velocity;
                         return FLEX_OK;
                     });
}

int32_t flex_read_axis_status_rtn(uint8_t board, uint8_t axis, uint16_t* axis_status_out) {
    return board_call(board, FN_READ_AXIS_STATUS_RTN, format("%u", axis),
                      [&](BoardState& b, std::string& out) -> int32_t {
                          if (!valid_axis(axis)) return FLEX_ERR_BAD_AXIS;
                          if (!axis_status_out) return FLEX_ERR_NULL_POINTER;
                          *axis_status_out = axis_status(b.axes[axis]);
                          out = format("0x%04x", *axis_status_out);
                          return FLEX_OK;
                      });
}

int32_t flex_reset_pos(uint8_t board, uint8_t axis, int32_t position1, int32_t position2,
                       uint8_t input_vector) {
    return axis_load(board, FN_RESET_POS, axis, input_vector,
                     format("%u, %d, %d, %u", axis, position1, position2, input_vector),
                     [&](AxisState& a, std::string&) -> int32_t {
                         // position2 would set a secondary encoder; the stage has none.
                         a.offset = static_cast<int32_t>(std::llround(a.pos) - position1);
                         return FLEX_OK;
                     });
}

int32_t flex_set_op_mode(uint8_t board, uint8_t axis, uint16_t operation_mode) {
    return board_call(board, FN_SET_OP_MODE, format("%u, %u", axis, operation_mode),
                      [&](BoardState& b, std::string&) -> int32_t {
                          if (!valid_axis(axis)) return FLEX_ERR_BAD_AXIS;
                          if (operation_mode > FLEX_MODE_VELOCITY) return FLEX_ERR_BAD_VALUE;
                          b.axes[axis].op_mode = operation_mode;
                          return FLEX_OK;
                      });
}

int32_t flex_check_move_complete_status(uint8_t board, uint8_t axis_or_vector_space,
                                        uint16_t axis_or_vs_map, uint16_t* move_complete_out) {
    return board_call(board, FN_CHECK_MOVE_COMPLETE_STATUS,
                      format("%u, %u", axis_or_vector_space, axis_or_vs_map),
                      [&](BoardState& b, std::string& out) -> int32_t {
                          std::vector<int> axes;
                          const int32_t st = select_axes(axis_or_vector_space, axis_or_vs_map, axes);
                          if (st != FLEX_OK) return st;
                          if (!move_complete_out) return FLEX_ERR_NULL_POINTER;
                          bool all = true;
                          for (int i : axes) all = all && move_complete(b.axes[i]);
                          *move_complete_out = all ? 1 : 0;
                          out = std::to_string(*move_complete_out);
                          return FLEX_OK;
                      });
}

int32_t flex_load_scurve_time(uint8_t board, uint8_t axis, uint16_t scurve_time,
                              uint8_t input_vector) {
    return axis_load(board, FN_LOAD_SCURVE_TIME, axis, input_vector,
                     format("%u, %u, %u", axis, scurve_time, input_vector),
                     [&](AxisState& a, std::string&) -> int32_t {
                         // Kept and shown; the profiles stay trapezoidal.
                         a.scurve_time = scurve_time;
                         return FLEX_OK;
                     });
}

int32_t flex_start(uint8_t board, uint8_t axis_or_vector_space, uint16_t axis_or_vs_map) {
    return board_call(board, FN_START, format("%u, %u", axis_or_vector_space, axis_or_vs_map),
                      [&](BoardState& b, std::string&) -> int32_t {
                          std::vector<int> axes;
                          const int32_t st = select_axes(axis_or_vector_space, axis_or_vs_map, axes);
                          if (st != FLEX_OK) return st;
                          for (int i : axes) start_axis(b.axes[i]);
                          return FLEX_OK;
                      });
}

int32_t flex_stop_motion(uint8_t board, uint8_t axis_or_vector_space, uint16_t stop_type,
                         uint16_t axis_or_vs_map) {
    return board_call(board, FN_STOP_MOTION,
                      format("%u, %u, %u", axis_or_vector_space, stop_type, axis_or_vs_map),
                      [&](BoardState& b, std::string&) -> int32_t {
                          std::vector<int> axes;
                          const int32_t st = select_axes(axis_or_vector_space, axis_or_vs_map, axes);
                          if (st != FLEX_OK) return st;
                          if (stop_type > FLEX_STOP_KILL) return FLEX_ERR_BAD_VALUE;
                          for (int i : axes) stop_axis(b.axes[i], stop_type);
                          return FLEX_OK;
                      });
}

int32_t flex_enable_home_inputs(uint8_t board, uint16_t home_map) {
    return board_call(board, FN_ENABLE_HOME_INPUTS, format("%u", home_map),
                      [&](BoardState& b, std::string&) -> int32_t {
                          if (!valid_map(home_map)) return FLEX_ERR_BAD_MAP;
                          for (int i = 1; i <= StageDescription::AXES; ++i) {
                              b.axes[i].home_enabled = (home_map >> i) & 1;
                          }
                          return FLEX_OK;
                      });
}

int32_t flex_enable_limits(uint8_t board, uint8_t limit_type, uint16_t forward_limit_map,
                           uint16_t reverse_limit_map) {
    return enable_limits(board, FN_ENABLE_LIMITS, limit_type, forward_limit_map, reverse_limit_map);
}

int32_t flex_enable_axis_limit(uint8_t board, uint8_t limit_type, uint16_t forward_limit_map,
                               uint16_t reverse_limit_map) {
    return enable_limits(board, FN_ENABLE_AXIS_LIMIT, limit_type, forward_limit_map,
                         reverse_limit_map);
}

int32_t flex_load_sw_lim_pos(uint8_t board, uint8_t axis, int32_t forward_limit,
                             int32_t reverse_limit, uint8_t input_vector) {
    return axis_load(board, FN_LOAD_SW_LIM_POS, axis, input_vector,
                     format("%u, %d, %d, %u", axis, forward_limit, reverse_limit, input_vector),
                     [&](AxisState& a, std::string&) -> int32_t {
                         if (forward_limit < reverse_limit) return FLEX_ERR_BAD_VALUE;
                         a.sw_forward = forward_limit;
                         a.sw_reverse = reverse_limit;
                         return FLEX_OK;
                     });
}

int32_t flex_read_limit_status_rtn(uint8_t board, uint8_t limit_type,
                                   uint16_t* forward_limit_status, uint16_t* reverse_limit_status) {
    return board_call(board, FN_READ_LIMIT_STATUS_RTN, format("%u", limit_type),
                      [&](BoardState& b, std::string& out) -> int32_t {
                          if (limit_type > FLEX_LIMIT_SOFTWARE) return FLEX_ERR_BAD_VALUE;
                          if (!forward_limit_status || !reverse_limit_status) {
                              return FLEX_ERR_NULL_POINTER;
                          }
                          uint16_t fwd = 0, rev = 0;
                          for (int i = 1; i <= StageDescription::AXES; ++i) {
                              const AxisState& a = b.axes[i];
                              const bool f = limit_type == FLEX_LIMIT_HARDWARE ? hw_forward_active(a)
                                                                               : sw_forward_active(a);
                              const bool r = limit_type == FLEX_LIMIT_HARDWARE ? hw_reverse_active(a)
                                                                               : sw_reverse_active(a);
                              if (f) fwd |= 1u << i;
                              if (r) rev |= 1u << i;
                          }
                          *forward_limit_status = fwd;
                          *reverse_limit_status = rev;
                          out = format("%u, %u", fwd, rev);
                          return FLEX_OK;
                      });
}

int32_t flex_find_reference(uint8_t board, uint8_t axis_or_vector_space, uint16_t axis_or_vs_map,
                            uint8_t find_type) {
    return board_call(board, FN_FIND_REFERENCE,
                      format("%u, %u, %u", axis_or_vector_space, axis_or_vs_map, find_type),
                      [&](BoardState& b, std::string&) -> int32_t {
                          std::vector<int> axes;
                          const int32_t st = select_axes(axis_or_vector_space, axis_or_vs_map, axes);
                          if (st != FLEX_OK) return st;
                          if (find_type != FLEX_FIND_HOME && find_type != FLEX_FIND_INDEX &&
                              find_type != FLEX_FIND_FORWARD_LIMIT &&
                              find_type != FLEX_FIND_REVERSE_LIMIT) {
                              return FLEX_ERR_BAD_VALUE;
                          }
                          for (int i : axes) start_find(b.axes[i], find_type);
                          return FLEX_OK;
                      });
}

int32_t flex_wait_reference(uint8_t board, uint8_t axis_or_vector_space, uint16_t axis_or_vs_map,
                            uint32_t timeout, uint32_t polling_interval, uint16_t* found) {
    int32_t status = FLEX_OK;
    auto mapping = open_board(board, &status);
    if (!mapping) return status;
    BoardState& b = *mapping->state();
    const std::string args = format("%u, %u, %u, %u", axis_or_vector_space, axis_or_vs_map,
                                    timeout, polling_interval);
    std::vector<int> axes;
    double started = 0.0;
    {
        BoardLock lock(&b);
        if (!lock.locked()) return FLEX_ERR_BOARD_LOCK;
        ++b.calls;
        status = take_fault(b, FN_WAIT_REFERENCE);
        if (status == FLEX_OK) status = select_axes(axis_or_vector_space, axis_or_vs_map, axes);
        if (status == FLEX_OK && !found) status = FLEX_ERR_NULL_POINTER;
        if (status != FLEX_OK) {
            record(b, FN_WAIT_REFERENCE, status, args, "");
            return status;
        }
        started = b.sim_time;
    }
    // The timeout and the polling interval are board time, like every
    // other duration on the board; the real sleep shrinks with the factor.
    uint16_t result = 0;
    for (;;) {
        bool done = true, all_found = !axes.empty();
        double waited_ms = 0.0, factor = 1.0;
        {
            BoardLock lock(&b);
            if (!lock.locked()) return FLEX_ERR_BOARD_LOCK;
            for (int i : axes) {
                const int32_t fs = b.axes[i].find_state;
                if (fs == FIND_SEARCHING) done = false;
                if (fs != FIND_FOUND) all_found = false;
            }
            waited_ms = (b.sim_time - started) * 1000.0;
            factor = b.time_factor;
            if (done || waited_ms >= timeout) {
                result = done && all_found ? 1 : 0;
                *found = result;
                record(b, FN_WAIT_REFERENCE, FLEX_OK, args, std::to_string(result));
                return FLEX_OK;
            }
        }
        const double board_ms = std::min<double>(std::max<uint32_t>(polling_interval, 1),
                                                 timeout - waited_ms);
        const double real_us = std::clamp(board_ms * 1000.0 / factor, 100.0, 100000.0);
        usleep(static_cast<useconds_t>(real_us));
    }
}

int32_t flex_read_adc16_rtn(uint8_t board, uint8_t adc_channel, int32_t* adc_value) {
    int32_t status = FLEX_OK;
    auto mapping = open_board(board, &status);
    if (!mapping) return status;
    BoardState& b = *mapping->state();
    const std::string args = format("%u", adc_channel);
    int32_t value = 0;
    // Couplings to other boards are looked at without holding this board's
    // lock, so two boards coupled to each other cannot deadlock.
    struct Pending {
        CouplingState c;
        int own;  // -1: other board, 0/1: already decided on this board
    };
    std::vector<Pending> pending;
    {
        BoardLock lock(&b);
        if (!lock.locked()) return FLEX_ERR_BOARD_LOCK;
        ++b.calls;
        status = take_fault(b, FN_READ_ADC16_RTN);
        const int index = adc_channel - StageDescription::ADC_FIRST;
        if (status == FLEX_OK && (index < 0 || index >= StageDescription::ADC_CHANNELS)) {
            status = FLEX_ERR_BAD_CHANNEL;
        }
        if (status == FLEX_OK && !adc_value) status = FLEX_ERR_NULL_POINTER;
        if (status != FLEX_OK) {
            record(b, FN_READ_ADC16_RTN, status, args, "");
            return status;
        }
        value = b.analog[index];
        for (const CouplingState& c : b.couplings) {
            if (!c.used || c.channel != adc_channel) continue;
            if (c.board == board) {
                const bool holds = valid_axis(c.axis) && coupling_holds(c, b.axes[c.axis].pos);
                pending.push_back({c, holds ? 1 : 0});
            } else {
                pending.push_back({c, -1});
            }
        }
    }
    for (const Pending& p : pending) {
        bool holds = p.own == 1;
        if (p.own < 0 && valid_axis(p.c.axis)) {
            int32_t other_status = FLEX_OK;
            auto other = open_board(p.c.board, &other_status);
            if (other) {
                BoardLock lock(other->state());
                holds = lock.locked() && coupling_holds(p.c, other->state()->axes[p.c.axis].pos);
            }
        }
        if (holds) {
            value = p.c.value;
            break;
        }
    }
    *adc_value = value;
    BoardLock lock(&b, false);
    if (lock.locked()) record(b, FN_READ_ADC16_RTN, FLEX_OK, args, std::to_string(value));
    return FLEX_OK;
}

int32_t flex_set_port(uint8_t board, uint8_t port, uint8_t must_on, uint8_t must_off,
                      uint8_t return_vector) {
    return board_call(board, FN_SET_PORT,
                      format("%u, %u, %u, %u", port, must_on, must_off, return_vector),
                      [&](BoardState& b, std::string& out) -> int32_t {
                          if (port < 1 || port > StageDescription::PORTS) return FLEX_ERR_BAD_PORT;
                          if (return_vector != FLEX_HOST_VECTOR) return FLEX_ERR_BAD_VECTOR;
                          if (must_on & must_off) return FLEX_ERR_BAD_VALUE;
                          int32_t& state = b.ports[port - 1];
                          state = (state | must_on) & ~must_off & 0xFF;
                          out = format("0x%02x", state);
                          return FLEX_OK;
                      });
}

int32_t flex_begin_store(uint8_t board, uint8_t program) {
    return board_call(board, FN_BEGIN_STORE, format("%u", program),
                      [&](BoardState& b, std::string&) -> int32_t {
                          if (program == 0) return FLEX_ERR_BAD_VALUE;
                          if (b.storing) return FLEX_ERR_STORE_SEQUENCE;
                          b.storing = 1;
                          b.store_program = program;
                          return FLEX_OK;
                      });
}

int32_t flex_end_store(uint8_t board, uint8_t program) {
    return board_call(board, FN_END_STORE, format("%u", program),
                      [&](BoardState& b, std::string&) -> int32_t {
                          if (!b.storing || b.store_program != program) {
                              return FLEX_ERR_STORE_SEQUENCE;
                          }
                          b.storing = 0;
                          b.store_program = 0;
                          return FLEX_OK;
                      });
}

int32_t flex_flush_rdb(uint8_t board) {
    return board_call(board, FN_FLUSH_RDB, "", [&](BoardState& b, std::string&) -> int32_t {
        b.readback_pending = 0;
        return FLEX_OK;
    });
}

int32_t flex_read_pos_rtn(uint8_t board, uint8_t axis, int32_t* position) {
    return board_call(board, FN_READ_POS_RTN, format("%u", axis),
                      [&](BoardState& b, std::string& out) -> int32_t {
                          if (!valid_axis(axis)) return FLEX_ERR_BAD_AXIS;
                          if (!position) return FLEX_ERR_NULL_POINTER;
                          if (b.readback_pending) return FLEX_ERR_READBACK;
                          *position = reported_position(b.axes[axis]);
                          out = std::to_string(*position);
                          return FLEX_OK;
                      });
}

int32_t flex_get_error_description(uint16_t description_type, int32_t error_code,
                                   uint16_t /*command_id*/, uint16_t /*resource_id*/,
                                   char* char_array, uint32_t* size_of_array) {
    if (!size_of_array || description_type != 0) return FLEX_ERR_BAD_DESCRIPTION;
    std::string text;
    for (const Description& d : DESCRIPTIONS) {
        if (d.status == error_code) text = d.text;
    }
    if (text.empty()) {
        text = "Motion board error " + std::to_string(error_code) +
               ": a failure reported by the board (no further description).";
    }
    const uint32_t capacity = *size_of_array;
    *size_of_array = static_cast<uint32_t>(text.size() + 1);
    if (!char_array) return FLEX_OK;
    if (capacity == 0) return FLEX_ERR_BAD_DESCRIPTION;
    const size_t n = std::min<size_t>(text.size(), capacity - 1);
    std::memcpy(char_array, text.data(), n);
    char_array[n] = '\0';
    return FLEX_OK;
}

}  // extern "C"
