#include "motion/Pci7344.h"
#include "sipper/SipperData.h"
#include "sipper/SipperTask.h"
#include "utilities/Exception.h"
#include "utilities/Format.h"

namespace {

constexpr uint8_t HOST_VECTOR = 255;
constexpr int MOTION_MEDIUM_VELOCITY = 2;

}  // namespace

void SipperTask::goto_z_safe_now() {
    if (!data_->homed()) throw Exception("Sipper::goto_z_safe_now(): Sipper not homed!");
    if (!data_->position_defined(POSITION_SAFE_HEIGHT))
        throw Exception("Sipper::goto_z_safe_now(): Safe z not defined!");
    const AxisScale sz = data_->axis_scale(3);
    const Vect3d safe = data_->position(POSITION_SAFE_HEIGHT);
    linear_->set_op_mode(3, 0);
    linear_->load_target_pos(sz.axis, steps(sz, safe.z), HOST_VECTOR);
    start_motion(sz.axis, 0);
    wait_for_move_complete(sz.axis, 0, "goto_z_safe_now failed", false);
}

bool SipperTask::goto_position_now(const Vect3d& position, bool check_sensor) {
    if (!data_->homed()) throw Exception("Sipper::goto_position_now(): Sipper not homed!");
    if (!data_->position_defined(POSITION_SAFE_HEIGHT))
        throw Exception("Sipper::goto_position_now(): Safe z not defined!");
    halt_and_setup_axes();

    const AxisScale sx = data_->axis_scale(1);
    const AxisScale sy = data_->axis_scale(2);
    const AxisScale sz = data_->axis_scale(3);
    const Vect3d safe = data_->position(POSITION_SAFE_HEIGHT);
    const uint8_t x = sx.axis, y = sy.axis, z = sz.axis;

    // Z phase: up to the safe height (or straight to a target above it) before
    // anything moves sideways.
    linear_->set_op_mode(z, 0);
    const int32_t target = steps(sz, position.z);
    const int32_t safe_steps = steps(sz, safe.z);
    bool z_at_final_height = false;
    if (safe_steps > target) {
        linear_->load_target_pos(z, target, HOST_VECTOR);
        z_at_final_height = true;
    } else {
        int32_t unused = 0;
        linear_->read_pos_rtn(3, unused);
        linear_->load_target_pos(z, safe_steps, HOST_VECTOR);
    }
    start_motion(z, 0);
    wait_for_move_complete(z, 0, "goto_position_now z axis failed", false);

    const uint16_t xy_map = axis_bit(sx) | axis_bit(sy);
    linear_->set_op_mode(y, 0);
    linear_->set_op_mode(x, 0);
    linear_->load_target_pos(x, steps(sx, position.x), HOST_VECTOR);
    linear_->load_target_pos(y, steps(sy, position.y), HOST_VECTOR);
    start_motion(0, xy_map);
    wait_for_move_complete(0, xy_map, "goto_position_now x/y axis failed", false);

    if (z_at_final_height) return false;

    // Final descent, only once X and Y have arrived.
    linear_->set_op_mode(z, 0);
    linear_->load_target_pos(z, target, HOST_VECTOR);
    descent_timer_.restart();
    descent_timer_.start();
    start_motion(z, 0);
    if (!check_sensor) {
        wait_for_move_complete(z, 0, "goto_position_now z axis failed", false);
        return false;
    }
    task_log("CHECKING SIP SENSOR");
    const bool seen = wait_for_move_or_sample(z, 0);
    const double t = descent_timer_.elapsed();
    task_log(std::string(seen ? "SIP SENSOR 1 , " : "SIP SENSOR 0 , ") + format_decimals(t, 3));
    // A seen sample leaves the descent running: the probe is in the liquid.
    return seen;
}

void SipperTask::park_sipper() {
    if (!data_->position_defined(POSITION_SAFE_HEIGHT) || !data_->position_defined(POSITION_PLATE_SWAP))
        throw Exception("park_sipper() Error : Plate swap pos or safe z not defined");
    Vect3d lift;
    get_current_positions(lift);
    lift.z = data_->position(POSITION_SAFE_HEIGHT).z;
    goto_position_now(lift, false);

    data_->set_velocity(data_->motion_param(MOTION_MEDIUM_VELOCITY));
    data_->set_acceleration(Vect3d(100, 100, 25));
    const Vect3d swap = data_->position(POSITION_PLATE_SWAP);
    goto_position_now(swap, false);
    goto_position_now(swap, false);
}

void SipperTask::wash(int position_id, int milliseconds) {
    if (milliseconds <= 0) return;
    restore_fast_motion();
    if (!data_->position_valid(position_id)) throw Exception("wash() ERROR : invalid position id");
    if (!data_->position_defined(position_id)) throw Exception("wash() ERROR, position is undefined");
    goto_position_now(data_->position(position_id), false);
    sleep_checking_quit(milliseconds);
}

void SipperTask::wash_operation() {
    const int time1 = data_->wash_time1();
    const int time2 = data_->wash_time2();
    if (time1 == 0 && time2 == 0) {
        task_log("wash_operation() :  wash times are both zero");
    } else {
        const Vect3d station1 = data_->position(POSITION_WASHSTATION1);
        const Vect3d station2 = data_->position(POSITION_WASHSTATION2);
        Vect3d visited;
        if (time1 != 0) {
            goto_position_now(station1, false);
            sleep_checking_quit(time1);
            visited = station1;
        } else {
            goto_position_now(station2, false);
            sleep_checking_quit(time2);
            visited = station2;
        }
        if (visited.x == station1.x && visited.y == station1.y && visited.z == station1.z && time2 != 0) {
            goto_position_now(station2, false);
            sleep_checking_quit(time2);
        }
    }
    goto_z_safe_now();
}
