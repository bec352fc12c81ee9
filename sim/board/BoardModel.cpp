#include "sim/board/BoardModel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "motion/flexmotion.h"

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// One stretch of constant acceleration.
struct Phase {
    bool finished = false;  // the move is over before this phase
    double acc = 0.0;
    double duration = INF;
    double end_vel = 0.0;
    bool snap_pos = false;  // land exactly on end_pos when the phase completes
    double end_pos = 0.0;
    bool ends_move = false;
};

double sign(double v) { return v < 0 ? -1.0 : 1.0; }

Phase plan_velocity(const AxisState& a, double goal) {
    Phase ph;
    const double v = a.vel;
    if (v == goal) {
        if (a.kind == MOTION_DECEL) ph.finished = true;
        ph.end_vel = goal;
        return ph;
    }
    if (v != 0.0 && goal != 0.0 && (v < 0) != (goal < 0)) {
        // Reversing: come to rest first.
        ph.acc = -sign(v) * a.deceleration;
        ph.duration = std::fabs(v) / a.deceleration;
        ph.end_vel = 0.0;
    } else if (std::fabs(goal) > std::fabs(v)) {
        ph.acc = sign(goal) * a.acceleration;
        ph.duration = (std::fabs(goal) - std::fabs(v)) / a.acceleration;
        ph.end_vel = goal;
    } else {
        ph.acc = -sign(v) * a.deceleration;
        ph.duration = (std::fabs(v) - std::fabs(goal)) / a.deceleration;
        ph.end_vel = goal;
    }
    ph.ends_move = a.kind == MOTION_DECEL && goal == 0.0;
    return ph;
}

Phase plan_position(const AxisState& a) {
    Phase ph;
    const double rem = a.goal_pos - a.pos;
    const double r = std::fabs(rem);
    if (r < 1e-9 && std::fabs(a.vel) < 1e-9) {
        ph.finished = true;
        return ph;
    }
    const double dir = rem != 0.0 ? sign(rem) : -sign(a.vel);
    const double s = a.vel * dir;  // speed toward the goal; negative = away
    const double A = a.acceleration;
    const double D = a.deceleration;
    const double V = std::fabs(a.velocity);
    if (s < 0) {
        ph.acc = dir * D;
        ph.duration = -s / D;
        ph.end_vel = 0.0;
        return ph;
    }
    const double brake = s * s / (2.0 * D);
    if (brake >= r * (1.0 - 1e-9) - 1e-6) {
        if (s < 1e-9 || r < 1e-9) {
            // Already there (or close enough to call it so).
            ph.duration = 0.0;
            ph.snap_pos = true;
            ph.end_pos = a.goal_pos;
            ph.end_vel = 0.0;
            ph.ends_move = true;
            return ph;
        }
        const double a_eff = s * s / (2.0 * r);
        ph.acc = -dir * a_eff;
        ph.duration = s / a_eff;
        ph.end_vel = 0.0;
        ph.snap_pos = true;
        ph.end_pos = a.goal_pos;
        ph.ends_move = true;
        return ph;
    }
    if (s > V + 1e-9) {
        ph.acc = -dir * D;
        ph.duration = (s - V) / D;
        ph.end_vel = dir * V;
        return ph;
    }
    if (s < V - 1e-9) {
        const double peak = std::sqrt((r + s * s / (2.0 * A)) / (1.0 / (2.0 * A) + 1.0 / (2.0 * D)));
        const double top = std::min(V, peak);
        if (top > s + 1e-9) {
            ph.acc = dir * A;
            ph.duration = (top - s) / A;
            ph.end_vel = dir * top;
            return ph;
        }
    }
    // Cruise until the braking point.
    ph.acc = 0.0;
    ph.end_vel = a.vel;
    ph.duration = s > 0.0 ? std::max(0.0, (r - brake) / s) : INF;
    return ph;
}

void come_to_rest(AxisState& a, double pos, int32_t reason) {
    a.pos = pos;
    a.vel = 0.0;
    a.kind = MOTION_NONE;
    a.stop_reason = reason;
    if (a.find_state == FIND_SEARCHING) {
        a.find_state = reason == STOP_REFERENCE_FOUND ? FIND_FOUND : FIND_FAILED;
    }
}

// The first event met between p0 and p1 (position monotonic in between)
// stops the axis there. Returns whether one did.
bool stop_at_event(AxisState& a, double p0, double p1) {
    if (p1 == p0) return false;
    const double dirp = p1 > p0 ? 1.0 : -1.0;
    const double span = (p1 - p0) * dirp;
    double best_d = INF;
    double best_pos = 0.0;
    int32_t best_reason = STOP_NONE;
    auto consider = [&](double pos, int32_t reason) {
        const double d = (pos - p0) * dirp;
        if (d >= 0.0 && d <= span && d < best_d) {
            best_d = d;
            best_pos = pos;
            best_reason = reason;
        }
    };
    const SimAxisStage& st = a.stage;

    // A search that reaches what it looks for wins over a limit at the same place.
    if (a.find_state == FIND_SEARCHING) {
        switch (a.find_type) {
        case FLEX_FIND_INDEX:
            if (!a.fault_no_index && st.counts_per_rev > 0) {
                const double cpr = st.counts_per_rev;
                const double k = (p0 - st.index_phase) / cpr;
                double idx = st.index_phase + (dirp > 0 ? std::floor(k) + 1.0 : std::ceil(k) - 1.0) * cpr;
                consider(idx, STOP_REFERENCE_FOUND);
            }
            break;
        case FLEX_FIND_HOME:
            if (st.has_limits && ((p0 < st.home_switch && p1 >= st.home_switch) ||
                                  (p0 >= st.home_switch && p1 < st.home_switch))) {
                consider(st.home_switch, STOP_REFERENCE_FOUND);
            }
            break;
        case FLEX_FIND_FORWARD_LIMIT:
            if (st.has_limits && dirp > 0) consider(std::max(p0, double(st.forward_limit)), STOP_REFERENCE_FOUND);
            break;
        case FLEX_FIND_REVERSE_LIMIT:
            if (st.has_limits && dirp < 0) consider(std::min(p0, 0.0), STOP_REFERENCE_FOUND);
            break;
        default:
            break;
        }
    }
    if (st.has_limits) {
        if (dirp > 0 && a.hw_forward_enabled) consider(std::max(p0, double(st.forward_limit)), STOP_HW_FORWARD);
        if (dirp < 0 && a.hw_reverse_enabled) consider(std::min(p0, 0.0), STOP_HW_REVERSE);
    }
    if (dirp > 0 && a.sw_forward_enabled) {
        consider(std::max(p0, double(a.sw_forward) + a.offset), STOP_SW_FORWARD);
    }
    if (dirp < 0 && a.sw_reverse_enabled) {
        consider(std::min(p0, double(a.sw_reverse) + a.offset), STOP_SW_REVERSE);
    }
    if (st.has_limits) {
        if (dirp > 0 && p1 > st.travel_max) consider(std::max(p0, double(st.travel_max)), STOP_HARD_STOP);
        if (dirp < 0 && p1 < st.travel_min) consider(std::min(p0, double(st.travel_min)), STOP_HARD_STOP);
    }
    if (best_reason == STOP_NONE) return false;

    come_to_rest(a, best_pos, best_reason);
    if (best_reason == STOP_HARD_STOP) a.following_error = 1;  // the motor stalled
    if (best_reason == STOP_REFERENCE_FOUND) {
        if (a.find_type == FLEX_FIND_INDEX) a.index_found = 1;
        if (a.find_type == FLEX_FIND_HOME) a.home_found = 1;
    }
    return true;
}

}  // namespace

void apply_stage(BoardState& b, const StageDescription& stage, int64_t now_ns) {
    b.time_factor = stage.time_factor > 0 ? stage.time_factor : 1.0;
    b.last_ns = now_ns;
    b.sim_time = 0.0;
    for (int i = 0; i <= StageDescription::AXES; ++i) {
        AxisState& a = b.axes[i];
        std::memset(static_cast<void*>(&a), 0, sizeof(a));
        a.stage = stage.axes[i];
        const double cpr = a.stage.counts_per_rev > 0 ? a.stage.counts_per_rev : 400;
        a.pos = a.stage.start_position;
        a.offset = a.stage.start_position;  // the board counts from 0 at power-up
        // Power-up profile: one revolution per second, reached in 0.1 s.
        a.velocity = cpr;
        a.acceleration = 10.0 * cpr;
        a.deceleration = 10.0 * cpr;
        a.scurve_time = 1;
        a.hw_forward_enabled = 1;
        a.hw_reverse_enabled = 1;
        a.kind = MOTION_NONE;
        a.stop_reason = STOP_NONE;
        a.find_state = FIND_NONE;
    }
    for (int c = 0; c < StageDescription::ADC_CHANNELS; ++c) b.analog[c] = stage.analog[c];
    for (int p = 0; p < StageDescription::PORTS; ++p) b.ports[p] = stage.ports[p];
    for (int i = 0; i < StageDescription::MAX_COUPLINGS; ++i) {
        CouplingState& c = b.couplings[i];
        c = CouplingState{};
        if (i < static_cast<int>(stage.couplings.size())) {
            const SimCoupling& s = stage.couplings[i];
            c = CouplingState{1, s.channel, s.board, s.axis, s.position, s.sense, s.value};
        }
    }
    for (auto& f : b.faults) f = FunctionFault{-1, 0, 0, 0};
    b.readback_pending = 0;
    b.storing = 0;
    b.store_program = 0;
    b.calls = 0;
    b.trace_enabled = 1;
    b.trace_next = 0;
    std::memset(static_cast<void*>(b.trace), 0, sizeof(b.trace));
}

void advance_board(BoardState& b, int64_t now_ns) {
    if (now_ns <= b.last_ns) return;
    const double dt = static_cast<double>(now_ns - b.last_ns) * 1e-9 * b.time_factor;
    b.last_ns = now_ns;
    b.sim_time += dt;
    for (int i = 1; i <= StageDescription::AXES; ++i) advance_axis(b.axes[i], dt);
}

void advance_axis(AxisState& a, double dt) {
    // Each pass ends a phase or uses up dt; a profile has only a few phases,
    // the bound only guards against rounding ping-pong.
    for (int guard = 0; guard < 64 && dt > 0.0 && a.kind != MOTION_NONE; ++guard) {
        Phase ph;
        if (a.kind == MOTION_POSITION) {
            ph = plan_position(a);
        } else {
            ph = plan_velocity(a, a.kind == MOTION_DECEL ? 0.0 : a.goal_vel);
        }
        if (ph.finished) {
            if (a.kind == MOTION_POSITION) a.pos = a.goal_pos;
            come_to_rest(a, a.pos, a.kind == MOTION_DECEL ? STOP_DECEL : STOP_PROFILE_DONE);
            break;
        }
        const bool whole = ph.duration <= dt;
        const double t = whole ? ph.duration : dt;
        double p1 = a.pos + a.vel * t + 0.5 * ph.acc * t * t;
        double v1 = a.vel + ph.acc * t;
        if (whole) {
            v1 = ph.end_vel;
            if (ph.snap_pos) p1 = ph.end_pos;
        }
        if (stop_at_event(a, a.pos, p1)) return;
        a.pos = p1;
        a.vel = v1;
        dt -= t;
        if (whole && ph.ends_move) {
            come_to_rest(a, a.pos, a.kind == MOTION_DECEL ? STOP_DECEL : STOP_PROFILE_DONE);
        }
    }
}

void start_axis(AxisState& a) {
    if (a.find_state == FIND_SEARCHING) a.find_state = FIND_FAILED;
    if (a.fault_motor_off || a.fault_following_error) {
        // A drive fault keeps the motor from turning until it is cleared.
        a.kind = MOTION_NONE;
        a.vel = 0.0;
        a.stop_reason = STOP_FAULT;
        return;
    }
    a.motor_off = 0;
    a.following_error = 0;
    a.stop_reason = STOP_NONE;
    switch (a.op_mode) {
    case FLEX_MODE_ABSOLUTE:
        a.kind = MOTION_POSITION;
        a.goal_pos = static_cast<double>(a.target) + a.offset;
        break;
    case FLEX_MODE_RELATIVE:
        a.kind = MOTION_POSITION;
        a.goal_pos = std::round(a.pos) + a.target;
        break;
    default:
        a.kind = MOTION_VELOCITY;
        a.goal_vel = a.velocity;
        break;
    }
}

void stop_axis(AxisState& a, int stop_type) {
    if (stop_type == FLEX_STOP_DECEL) {
        if (a.kind != MOTION_NONE) a.kind = MOTION_DECEL;
        if (a.find_state == FIND_SEARCHING) a.find_state = FIND_FAILED;
        return;
    }
    come_to_rest(a, a.pos, stop_type == FLEX_STOP_KILL ? STOP_KILL : STOP_HALT);
    if (a.find_state == FIND_SEARCHING) a.find_state = FIND_FAILED;
    // A halt stop energises a killed axis again, as on the real board (the
    // sipper's reset relies on it: kill, then halt).
    a.motor_off = stop_type == FLEX_STOP_KILL ? 1 : 0;
}

void start_find(AxisState& a, int find_type) {
    a.index_found = 0;
    a.home_found = 0;
    a.find_type = find_type;
    if (a.fault_motor_off || a.fault_following_error) {
        a.find_state = FIND_FAILED;
        a.stop_reason = STOP_FAULT;
        return;
    }
    a.motor_off = 0;
    a.following_error = 0;
    a.stop_reason = STOP_NONE;
    a.find_state = FIND_SEARCHING;
    a.kind = MOTION_VELOCITY;
    const double speed = std::fabs(a.velocity);
    if (find_type == FLEX_FIND_FORWARD_LIMIT) {
        a.goal_vel = speed;
    } else if (find_type == FLEX_FIND_REVERSE_LIMIT) {
        a.goal_vel = -speed;
    } else {
        a.goal_vel = a.velocity;  // the loaded velocity's sign gives the direction
    }
}

void fault_stop(AxisState& a) {
    come_to_rest(a, a.pos, STOP_FAULT);
}

int32_t reported_position(const AxisState& a) {
    const int64_t r = static_cast<int64_t>(std::llround(a.pos)) - a.offset;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(r)));
}

bool move_complete(const AxisState& a) { return a.kind == MOTION_NONE; }

bool hw_forward_active(const AxisState& a) {
    return a.stage.has_limits && a.pos >= a.stage.forward_limit;
}

bool hw_reverse_active(const AxisState& a) { return a.stage.has_limits && a.pos <= 0.0; }

bool sw_forward_active(const AxisState& a) {
    return a.sw_forward_enabled && reported_position(a) >= a.sw_forward;
}

bool sw_reverse_active(const AxisState& a) {
    return a.sw_reverse_enabled && reported_position(a) <= a.sw_reverse;
}

bool home_active(const AxisState& a) { return a.stage.has_limits && a.pos >= a.stage.home_switch; }

uint16_t axis_status(const AxisState& a) {
    uint16_t s = 0;
    if (a.kind != MOTION_NONE) s |= FLEX_AXIS_RUNNING;
    else s |= FLEX_AXIS_PROFILE_COMPLETE | FLEX_AXIS_MOVE_COMPLETE;
    if (a.motor_off || a.fault_motor_off) s |= FLEX_AXIS_OFF;
    if (a.following_error || a.fault_following_error) s |= FLEX_AXIS_FOLLOWING_ERROR;
    if ((hw_forward_active(a) && a.hw_forward_enabled) || (hw_reverse_active(a) && a.hw_reverse_enabled)) {
        s |= FLEX_AXIS_LIMIT_SWITCH;
    }
    if (home_active(a)) s |= FLEX_AXIS_HOME_SWITCH;
    if (sw_forward_active(a) || sw_reverse_active(a)) s |= FLEX_AXIS_SOFTWARE_LIMIT;
    if (a.home_found) s |= FLEX_AXIS_HOME_FOUND;
    if (a.index_found) s |= FLEX_AXIS_INDEX_FOUND;
    if (a.vel < 0) s |= FLEX_AXIS_REVERSE;
    return s;
}

bool coupling_holds(const CouplingState& c, double stage_position) {
    return c.sense >= 0 ? stage_position >= c.position : stage_position <= c.position;
}
