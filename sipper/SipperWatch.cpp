// The periodic watch over the hardware: sip sensor history, inhibit
// (kill switch) inputs and motor faults, and the emergency stop and reset
// they trigger.
#include "motion/Pci7344.h"
#include "sipper/Sipper.h"
#include "sipper/SipperData.h"
#include "utilities/Format.h"
#include "utilities/Syslog.h"

namespace {

// The sip sensor's 12-bit reading spans 0 to 5 volts.
constexpr double SENSOR_VOLTS_PER_COUNT = 5.0 / 2048.0;

constexpr int STOP_HALT = 1;
constexpr int STOP_KILL = 2;
constexpr int LIMIT_SWITCHES = 0;

}  // namespace

int Sipper::inhibit_bits() {
    if (check_kill_switch_ == 0) return 0;
    // Nothing to read before initialize created the board.
    if (linear_ == nullptr) return 0;
    int bits = 0;
    for (int bit = 3; bit >= 0; --bit) {
        int32_t reading = 0;
        if (inhibit_switch_mask_ & (1 << bit))
            linear_->read_adc_rtn(static_cast<uint8_t>(INHIBIT_FIRST_CHANNEL + bit), reading);
        int value = reading < inhibit_voltage_level_ ? 1 : 0;
        if (invert_inhibit_switch_ == 1) value = 1 - value;
        bits |= value << bit;
    }
    return bits & inhibit_switch_mask_;
}

bool Sipper::axis_fault(int axis, bool log) {
    if (linear_ == nullptr) return false;
    uint16_t status = 0;
    linear_->read_axis_status_rtn(static_cast<uint8_t>(axis), status);
    const bool motor_off = (status & MOTOR_OFF_BIT) != 0;
    const bool following_error = (status & FOLLOWING_ERROR_BIT) != 0;
    if (log) {
        if (motor_off) log_msg("Motor off: " + std::to_string(axis), 0);
        if (following_error) log_msg("Following error: " + std::to_string(axis), 0);
    }
    return motor_off || following_error;
}

void Sipper::reset_sipper() {
    try {
        log_msg("Resetting Sipper.", 0);
        data_->set_state(STATE_IDLE);
        if (linear_ != nullptr) {
            linear_->stop_motion(0, STOP_KILL, ALL_AXES_MAP);
            linear_->stop_motion(0, STOP_HALT, ALL_AXES_MAP);
            linear_->enable_home_inputs(0);
            linear_->enable_axis_limit(LIMIT_SWITCHES, 0, ALL_AXES_MAP);
        }
        if (axis_fault(1, true) || axis_fault(2, true) || axis_fault(3, true)) {
            int ignored = 0;
            emergency(0, ignored);
        }
        log_msg("Sipper has been successfully reset.", 0);
    } catch (...) {
        data_->set_state(STATE_ERROR);
        throw;
    }
}

void Sipper::task_loop() {
    try {
        if (sensor_logging_ && rotary_ != nullptr && sensor_log_ != nullptr) {
            int32_t reading = 0;
            rotary_->read_adc_rtn(SIP_SENSOR_CHANNEL, reading);
            sensor_log_->write_line(format_fixed(reading * SENSOR_VOLTS_PER_COUNT, 2));
        }

        const bool active = inhibit_bits() != 0;
        if (active != last_inhibit_) {
            if (active) {
                int ignored = 0;
                emergency(0, ignored);
            } else {
                reset_sipper();
            }
        }
        last_inhibit_ = active;

        // The first faulty axis ends the search; only a new fault stops the
        // stage, a lasting one is not repeated every pass.
        const bool fault = axis_fault(1, false) || axis_fault(2, false) || axis_fault(3, false);
        if (fault && !last_motor_fault_) {
            // Logs the first faulty axis only.
            (void)(axis_fault(1, true) || axis_fault(2, true) || axis_fault(3, true));
            int ignored = 0;
            emergency(0, ignored);
        }
        last_motor_fault_ = fault;
    } catch (const StoppedException& e) {
        log_msg("Sipper::task_loop(): last task stopped." + e.message(), 0);
    } catch (const CrashedException& e) {
        log_msg("Sipper::task_loop(): " + e.message(), 0);
    } catch (const Exception& e) {
        log_msg("Sipper::task_loop(): ERROR " + e.message(), 0);
        int ignored = 0;
        emergency(0, ignored);
    } catch (...) {
        log_msg("Sipper::task_loop(): Unknown Exception", 0);
        int ignored = 0;
        emergency(0, ignored);
    }
}
