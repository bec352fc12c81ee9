#include "sipper/SipperTask.h"

#include "interfaces/NI7344IF.h"
#include "interfaces/SampleInterfaceIF.h"
#include "interfaces/SipperIF.h"
#include "motion/Pci7344.h"
#include "sipper/SipperData.h"
#include "utilities/Exception.h"

namespace {

// The task always reaches these peers under these names, whatever the
// component's own interface is called.
const char* const SIPPER_NAME = "Sipper";
const char* const SAMPLE_INTERFACE_NAME = "SampleInterface";
const char* const LINEAR_MC_NAME = "LinearMC";
const char* const ROTARY_MC_NAME = "RotaryMC";

constexpr uint8_t HOST_VECTOR = 255;
constexpr uint16_t ALL_BOARD_AXES = 14;

}  // namespace

SipperTask::SipperTask(SipperData* data) : Thread("SipperTask", 0), data_(data) {
    std::string failure;
    try {
        clients_[SIPPER_NAME] = std::make_unique<SipperIF>(SIPPER_NAME);
        clients_[SAMPLE_INTERFACE_NAME] = std::make_unique<SampleInterfaceIF>(SAMPLE_INTERFACE_NAME);
        clients_[LINEAR_MC_NAME] = std::make_unique<NI7344IF>(LINEAR_MC_NAME);
        clients_[ROTARY_MC_NAME] = std::make_unique<NI7344IF>(ROTARY_MC_NAME);
        // Opened in the map's name order; a peer that is not running shows up
        // as failed calls later, not here.
        for (auto& entry : clients_) entry.second->open();

        int32_t board = 0;
        if (board_owner_client(LINEAR_MC_NAME)->get_ID(board) != 0)
            throw Exception("SipperTask: Failed to get linear mc board id");
        linear_ = std::make_unique<Pci7344>(board);
        board = 0;
        if (board_owner_client(ROTARY_MC_NAME)->get_ID(board) != 0)
            throw Exception("SipperTask: Failed to get rotary mc board id");
        rotary_ = std::make_unique<Pci7344>(board);
        return;
    } catch (const Exception& e) {
        failure = e.message();
    } catch (...) {
        failure = "SipperTask: unknown exception caught";
    }
    destroy_members();
    throw Exception(failure);
}

SipperTask::~SipperTask() {
    // The body uses the clients and boards; they must outlive it.
    while (is_running()) {
        request_stop();
        sleep_ms(10);
    }
    destroy_members();
}

void SipperTask::destroy_members() {
    clients_.clear();
    linear_.reset();
    rotary_.reset();
}

bool SipperTask::start() { return Thread::start(); }

// Busy before the thread exists, so a status query right after the command
// never sees the previous operation's idle; but only for a start that
// happens: a start refused while the previous body is still finishing must
// not leave busy behind with nothing running.
void SipperTask::on_starting() {
    state_before_start_ = data_->state();
    outcome_ = STATE_IDLE;
    data_->set_state(STATE_BUSY);
}

void SipperTask::on_start_failed() { data_->set_state(state_before_start_); }

// The outcome becomes visible in the same step as the end of the thread, so
// nobody sees the operation's end while a start would still be refused.
void SipperTask::on_finished() { data_->set_state(outcome_); }

void SipperTask::run() {
    try {
        linear_->enable_limits(1, 0, 0);
        linear_->enable_axis_limit(1, 0, 0);
        linear_->enable_axis_limit(1, 0, 0);
        linear_->enable_limits(1, 0, 0);
        data_->set_velocity(data_->motion_param(3));
        data_->set_acceleration(Vect3d(1200, 1200, 1200));

        switch (data_->operation()) {
        case OP_HOME: home_op(); break;
        case OP_SIP: sip_now(); break;
        case OP_WASH: wash_operation(); break;
        case OP_GOTO: goto_position_now(data_->goto_target(), false); break;
        case OP_PARK: park_sipper(); break;
        default: break;
        }
        outcome_ = STATE_IDLE;
    } catch (const Exception& e) {
        task_log("SipperTask Error : " + e.message());
        outcome_ = STATE_ERROR;
    } catch (...) {
        task_log("SipperTask Error : Unknown exception caught");
        outcome_ = STATE_ERROR;
    }
}

void SipperTask::task_log(const std::string& text) {
    sipper_client()->log_msg("SipperTask " + text, log_level_);
}

void SipperTask::sleep_checking_quit(long milliseconds) {
    for (long remaining = milliseconds; remaining >= 0; remaining -= 100) {
        check_quit();
        sleep_ms(remaining < 100 ? remaining : 100);
    }
}

void SipperTask::check_quit() {
    if (stop_requested()) throw Exception("Quitflagged Exception : operation interrupted");
}

void SipperTask::start_motion(uint8_t axis, uint16_t axis_map) {
    check_quit();
    linear_->start(axis, axis_map);
    // The stop's own board stops may have come before this start.
    if (stop_requested()) {
        stop_axes_after_interruption();
        check_quit();
    }
}

void SipperTask::stop_axes_after_interruption() {
    // Decelerate stops like those of stop_all_motion: they cover a move
    // started after the component's stops, and a stop request that came
    // with none (destruction of the task).
    try {
        linear_->stop_motion(0, 0, ALL_BOARD_AXES);
    } catch (...) {
    }
}

SipperIF* SipperTask::sipper_client() {
    return static_cast<SipperIF*>(clients_.at(SIPPER_NAME).get());
}

SampleInterfaceIF* SipperTask::sample_interface_client() {
    return static_cast<SampleInterfaceIF*>(clients_.at(SAMPLE_INTERFACE_NAME).get());
}

NI7344IF* SipperTask::board_owner_client(const std::string& name) {
    return static_cast<NI7344IF*>(clients_.at(name).get());
}

void SipperTask::restore_fast_motion() {
    linear_->enable_axis_limit(1, 0, 0);
    linear_->enable_axis_limit(1, 0, 0);
    linear_->enable_limits(1, 0, 0);
    data_->set_velocity(data_->motion_param(3));
    data_->set_acceleration(Vect3d(1200, 1200, 1200));
}

// ---- Axis primitives -------------------------------------------------------

int32_t SipperTask::steps(const AxisScale& scale, double mm) {
    return scale.step_count(mm);
}

double SipperTask::mm(const AxisScale& scale, double steps) {
    return scale.steps_to_mm(steps);
}

uint8_t SipperTask::axis_bit(const AxisScale& scale) {
    return scale.axis_bit();
}

void SipperTask::setup_axis(const AxisScale& scale) {
    const Vect3d velocity = data_->velocity();
    const Vect3d acceleration = data_->acceleration();
    int component;
    switch (scale.axis) {
    case 1: component = 0; break;
    case 2: component = 1; break;
    case 3: component = 2; break;
    default: throw Exception("Invalid axis passed.");
    }
    const uint8_t axis = scale.axis;
    linear_->set_op_mode(axis, 0);
    linear_->load_velocity(axis, steps(scale, velocity[component]), HOST_VECTOR);
    linear_->load_acceleration(axis, 0, steps(scale, acceleration[component]), HOST_VECTOR);
    linear_->load_scurve_time(axis, 250, HOST_VECTOR);
    linear_->enable_home_inputs(0);
    linear_->enable_axis_limit(0, 0, 0);
    linear_->enable_axis_limit(1, 0, 0);
}

void SipperTask::halt_and_setup_axes() {
    linear_->stop_motion(0, 1, ALL_BOARD_AXES);
    for (int axis = 1; axis <= 3; ++axis) setup_axis(data_->axis_scale(axis));
}

void SipperTask::check_axis_status(uint8_t axis) {
    uint16_t status = 0;
    linear_->read_axis_status_rtn(axis, status);
    const std::string prefix = "check_axis_status axis" + std::to_string(axis);
    if (status & 0x0004)
        throw Exception(prefix + " failed :  motor killed, " + std::to_string(status));
    if (status & 0x0008)
        throw Exception(prefix + " failed :  following error, " + std::to_string(status));
}

void SipperTask::check_axes(uint8_t axis) {
    if (axis != 0) {
        check_axis_status(axis);
    } else {
        check_axis_status(1);
        check_axis_status(2);
        check_axis_status(3);
    }
}

void SipperTask::wait_for_move_complete(uint8_t axis, uint16_t axis_map, const std::string& message,
                                        bool check_limits) {
    for (;;) {
        uint16_t complete = 0;
        linear_->check_move_complete_status(axis, axis_map, complete);
        try {
            check_axes(axis);
        } catch (const Exception& e) {
            if (axis == 0 && check_limits) {
                uint16_t forward = 0;
                uint16_t reverse = 0;
                linear_->read_limit_status_rtn(0, forward, reverse);
                const char* names[3] = {"X", "Y", "Z"};
                for (int logical = 1; logical <= 3; ++logical) {
                    const uint8_t bit = axis_bit(data_->axis_scale(logical));
                    if ((axis_map & bit) && !(reverse & 0xFF & bit))
                        task_log(std::string("Failed to find ") + names[logical - 1] + " reverse limit");
                }
            }
            throw Exception(e.message() + ", " + message);
        }
        if (complete != 0) return;
        sleep_checking_quit(100);
    }
}

void SipperTask::get_current_positions(Vect3d& position) {
    position.w = 1.0;
    try {
        for (int axis = 1; axis <= 3; ++axis) {
            const AxisScale scale = data_->axis_scale(axis);
            position[axis - 1] = mm(scale, linear_->read_position(static_cast<uint8_t>(axis)));
        }
    } catch (const Exception& e) {
        task_log("get_current_positions(): ERROR " + e.message());
    } catch (...) {
        task_log("get_current_positions(): ERROR caught unknown exception");
    }
}
