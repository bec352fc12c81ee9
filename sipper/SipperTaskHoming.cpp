#include "interfaces/SipperIF.h"
#include "motion/Pci7344.h"
#include "sipper/SipperData.h"
#include "sipper/SipperTask.h"
#include "utilities/Exception.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr uint8_t HOST_VECTOR = 255;
constexpr uint16_t ALL_BOARD_AXES = 14;
constexpr int MOTION_HOME1_RPM = 4;
constexpr int MOTION_HOME2_RPM = 5;
constexpr int MOTION_HOME3_RPM = 6;
constexpr double FIRST_Z_SEARCH_RPSPS = 20.0;
constexpr double SEARCH_RPSPS = 80.0;
// The index search may take this long (board time).
constexpr uint32_t INDEX_WAIT_MS = 10000;
// The board's wait for the reference holds the board lock, so it is waited
// for in slices this long (board time): the longest the task loop, which
// reads the kill switch through the same lock, can find it taken.
constexpr uint32_t INDEX_SLICE_MS = 2;

}  // namespace

void SipperTask::home_op() {
    int attempts = 0;
    for (;;) {
        try {
            home_axes();
        } catch (...) {
            // A stop ends homing for good: a further attempt would start new
            // moves after it (and ask the component, which may no longer
            // serve its interface, for the inhibit state).
            if (stop_requested()) {
                stop_axes_after_interruption();
                check_quit();
            }
            // With the inhibit (kill switch) tripped every further attempt would
            // fail the same way; give up at once.
            int32_t inhibit = 0;
            sipper_client()->get_inhibit_state(inhibit);
            if (inhibit != 0) return;
        }
        if (attempts > 3) return;
        ++attempts;
        if (data_->homed()) return;
    }
}

void SipperTask::home_axes() {
    try {
        const AxisScale sx = data_->axis_scale(1);
        const AxisScale sy = data_->axis_scale(2);
        const AxisScale sz = data_->axis_scale(3);
        const Vect3d fast = data_->motion_param(MOTION_HOME1_RPM);
        const Vect3d slow = data_->motion_param(MOTION_HOME2_RPM);
        const Vect3d index = data_->motion_param(MOTION_HOME3_RPM);
        const uint8_t x = sx.axis, y = sy.axis, z = sz.axis;
        const uint16_t all_axes = axis_bit(sx) | axis_bit(sy) | axis_bit(sz);

        data_->set_homed(false);
        task_log("Begin homing operation");
        linear_->stop_motion(0, 1, ALL_BOARD_AXES);
        linear_->set_stepper_loop_mode(x, 1);
        linear_->set_stepper_loop_mode(y, 1);
        linear_->set_stepper_loop_mode(z, 1);

        linear_->enable_home_inputs(0);
        linear_->enable_axis_limit(1, 0, 0);
        linear_->enable_axis_limit(0, 0, all_axes);

        // Z first, so the probe is up before anything moves sideways.
        uint16_t forward = 0;
        uint16_t reverse = 0;
        linear_->read_limit_status_rtn(0, forward, reverse);
        if (!(reverse & 0xFF & axis_bit(sz))) {
            linear_->load_rpm(z, fast.z, HOST_VECTOR);
            linear_->load_rpsps(z, 0, FIRST_Z_SEARCH_RPSPS, HOST_VECTOR);
            linear_->set_op_mode(z, 2);
            start_motion(z, 0);
            wait_for_move_complete(z, 0, "failed to find Z reverse limit", false);
        }

        linear_->read_limit_status_rtn(0, forward, reverse);
        uint16_t xy_map = 0;
        if (!(reverse & 0xFF & axis_bit(sx))) xy_map |= axis_bit(sx);
        if (!(reverse & 0xFF & axis_bit(sy))) xy_map |= axis_bit(sy);
        linear_->load_rpm(x, fast.x, HOST_VECTOR);
        linear_->load_rpm(y, fast.y, HOST_VECTOR);
        linear_->load_rpsps(x, 0, SEARCH_RPSPS, HOST_VECTOR);
        linear_->load_rpsps(y, 0, SEARCH_RPSPS, HOST_VECTOR);
        linear_->set_op_mode(x, 2);
        linear_->set_op_mode(y, 2);
        start_motion(0, xy_map);
        wait_for_move_complete(0, xy_map, "Failed to find X and/or Y reverse limit", true);

        // Back off one revolution, then come back slowly for a repeatable edge.
        const uint16_t map = all_axes;
        linear_->set_op_mode(x, 1);
        linear_->set_op_mode(y, 1);
        linear_->set_op_mode(z, 1);
        linear_->load_target_pos(x, sx.steps_per_rev, HOST_VECTOR);
        linear_->load_target_pos(y, sy.steps_per_rev, HOST_VECTOR);
        linear_->load_target_pos(z, sz.steps_per_rev, HOST_VECTOR);
        start_motion(0, map);
        wait_for_move_complete(0, map, "1 Rev foward during home failed", false);

        linear_->load_rpm(x, slow.x, HOST_VECTOR);
        linear_->load_rpm(y, slow.y, HOST_VECTOR);
        linear_->load_rpm(z, slow.z, HOST_VECTOR);
        linear_->load_rpsps(x, 0, SEARCH_RPSPS, HOST_VECTOR);
        linear_->load_rpsps(y, 0, SEARCH_RPSPS, HOST_VECTOR);
        linear_->load_rpsps(z, 0, SEARCH_RPSPS, HOST_VECTOR);
        linear_->set_op_mode(x, 2);
        linear_->set_op_mode(y, 2);
        linear_->set_op_mode(z, 2);
        start_motion(0, map);
        wait_for_move_complete(0, map, "Failed to find X, Y, and/or Z reverse limit", true);
        sleep_checking_quit(500);

        linear_->reset_pos(x, 0, 0, HOST_VECTOR);
        linear_->reset_pos(y, 0, 0, HOST_VECTOR);
        linear_->reset_pos(z, 0, 0, HOST_VECTOR);

        // Index search inside a window of 1.25 revolutions past the limit.
        linear_->enable_axis_limit(1, ALL_BOARD_AXES, 0);
        linear_->enable_axis_limit(0, ALL_BOARD_AXES, ALL_BOARD_AXES);
        linear_->enable_home_inputs(ALL_BOARD_AXES);
        sleep_checking_quit(250);
        const AxisScale* scales[3] = {&sx, &sy, &sz};
        for (int i = 0; i < 3; ++i) {
            const AxisScale& s = *scales[i];
            // Scales near the ends of the steps' range (reversed ones too)
            // must not overflow the window: it stops at the range's end.
            const double window = std::clamp(s.steps_per_rev * 1.25, double(INT32_MIN), double(INT32_MAX));
            linear_->load_sw_lim_pos(s.axis, static_cast<int32_t>(window), 0, HOST_VECTOR);
            linear_->load_rpm(s.axis, index[i], HOST_VECTOR);
        }
        check_quit();
        linear_->find_reference(0, ALL_BOARD_AXES, 1);
        if (stop_requested()) stop_axes_after_interruption();
        sleep_checking_quit(250);
        // Between slices the lock goes to the main thread when it waits for
        // it, so that its next pass reaches the board (kill switch) and a
        // command (stop) is not held up; a stop request ends the search.
        uint16_t found = 0;
        for (uint32_t waited = 0; found == 0 && waited < INDEX_WAIT_MS; waited += INDEX_SLICE_MS) {
            check_quit();
            linear_->wait_reference(0, ALL_BOARD_AXES, INDEX_SLICE_MS, INDEX_SLICE_MS, found);
            if (found == 0) linear_->give_way();
        }
        check_quit();
        if (found != 1) throw Exception("Failed to find one of the indexes");

        task_log(" Found the indexes");
        linear_->reset_pos(x, 0, 0, HOST_VECTOR);
        linear_->reset_pos(y, 0, 0, HOST_VECTOR);
        linear_->reset_pos(z, 0, 0, HOST_VECTOR);

        linear_->enable_axis_limit(1, 0, 0);
        linear_->enable_axis_limit(0, 0, axis_bit(sy) | axis_bit(sz));
        linear_->stop_motion(0, 1, all_axes);
        linear_->enable_home_inputs(0);
        linear_->enable_axis_limit(0, 0, ALL_BOARD_AXES);

        // A stop that came during the last steps still means "not homed".
        check_quit();
        data_->set_homed(true);
        task_log("Homing complete");
    } catch (const Pci7344_Exception& e) {
        software_limits_off_after_failure();
        linear_->recover_readback_error(e.code());
        task_log("home_op failed: " + e.message());
        task_log("home_axes failed: " + e.message());
        throw;
    } catch (const Exception& e) {
        software_limits_off_after_failure();
        task_log("home_op failed-- " + e.message());
        task_log("home_axes failed: " + e.message());
        throw;
    } catch (...) {
        software_limits_off_after_failure();
        task_log("home_op failed: unknown exception caught");
        task_log("home_axes failed: unknown exception caught");
        throw;
    }
}

void SipperTask::software_limits_off_after_failure() {
    // A board that refuses this too must not hide the failure being reported.
    try {
        linear_->enable_limits(1, 0, 0);
    } catch (...) {
    }
}
