#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sipper/AxisScale.h"
#include "sipper/SipperConstants.h"
#include "utilities/Thread.h"
#include "utilities/Timer.h"
#include "utilities/Vect3d.h"

class SipperData;
class Pci7344;
class ComponentIF;
class SipperIF;
class SampleInterfaceIF;
class NI7344IF;

// The worker thread that carries out one motion operation per start: homing,
// a sip, a wash cycle, a move to a position or parking. The command side
// writes the operation and its arguments into SipperData, then calls start();
// run() reads them, drives the linear board (axes X, Y, Z) and the rotary board
// (sip sensor, sip output), and leaves state idle or error behind.
//
//   SipperTask task(&data);            // asks "LinearMC"/"RotaryMC" for the boards
//   data.set_operation(OP_HOME);
//   task.start();                      // state busy at once
//   ... data.state() == STATE_IDLE && data.homed()
//   task.request_stop();               // the running operation ends at its next pause
//
// The operations below are public so that the component and tests can drive
// single steps; they belong on the worker thread while it runs.
class SipperTask : public Thread {
public:
    // Opens the clients "Sipper", "SampleInterface", "LinearMC", "RotaryMC" and
    // the two boards. Throws Exception (and leaves nothing behind) on failure.
    explicit SipperTask(SipperData* data);
    ~SipperTask() override;

    // Starts the thread unless one is running; the sipper turns busy as the
    // thread is started, and a refused start changes nothing.
    bool start() override;
    void run() override;

    Pci7344* linear_board() { return linear_.get(); }
    Pci7344* rotary_board() { return rotary_.get(); }

    // Task infrastructure.
    void task_log(const std::string& text);
    // Sleeps `milliseconds` in slices of at most 100 ms, checking for a stop
    // request before each slice; throws "Quitflagged Exception : ..." on one.
    void sleep_checking_quit(long milliseconds);
    // Throws "Quitflagged Exception : ..." when a stop was requested.
    void check_quit();
    // Starts a move on the linear board unless a stop was requested; a stop
    // requested while the start was under way stops the move again, so no
    // motion begun after a stop request is left running.
    void start_motion(uint8_t axis, uint16_t axis_map);
    SipperIF* sipper_client();
    SampleInterfaceIF* sample_interface_client();
    void restore_fast_motion();

    // Axis primitives.
    static int32_t steps(const AxisScale& scale, double mm);  // truncated toward zero
    static double mm(const AxisScale& scale, double steps);
    static uint8_t axis_bit(const AxisScale& scale);
    void setup_axis(const AxisScale& scale);
    void halt_and_setup_axes();
    void check_axis_status(uint8_t axis);
    void wait_for_move_complete(uint8_t axis, uint16_t axis_map, const std::string& message,
                                bool check_limits);
    // Fills x, y, z of `position` from the board; a failed read is logged and
    // leaves the components not read yet as they were.
    void get_current_positions(Vect3d& position);

    // Homing.
    void home_op();
    void home_axes();

    // Positioning moves.
    void goto_z_safe_now();
    bool goto_position_now(const Vect3d& position, bool check_sensor);
    void park_sipper();

    // Sip.
    void sip_now();
    Vect3d plate_well_position(int row, int column);
    bool wait_for_move_or_sample(uint8_t axis, uint16_t axis_map);
    bool sip_with_sensor(Timer& timer, const Vect3d& place);
    void sip_timed(Timer& timer, const Vect3d& place);
    static bool is_station_row(int row);

    // Wash.
    void wash(int position_id, int milliseconds);
    void wash_operation();

protected:
    void on_starting() override;
    void on_start_failed() override;
    void on_finished() override;

private:
    void destroy_members();
    void software_limits_off_after_failure();
    void stop_axes_after_interruption();
    NI7344IF* board_owner_client(const std::string& name);
    void check_axes(uint8_t axis);
    double sensor_volts();
    void wait_for_cycle_end(Timer& timer);

    SipperData* data_;
    // The state the operation ends with, written as the thread ends; the
    // state before a start, given back when the thread cannot be created.
    int outcome_ = STATE_IDLE;
    int state_before_start_ = STATE_IDLE;
    std::unique_ptr<Pci7344> linear_;
    std::unique_ptr<Pci7344> rotary_;
    int log_level_ = 0;
    double detection_level_ = 0.8;
    std::map<std::string, std::unique_ptr<ComponentIF>> clients_;

    // Polls of the sensed descent between two axis health checks; carried
    // over from one descent to the next.
    int poll_counter_ = 0;
    // Time from the start of the final Z move to the sensor decision.
    Timer descent_timer_;
};
