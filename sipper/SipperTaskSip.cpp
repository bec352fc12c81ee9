#include "interfaces/SampleInterfaceIF.h"
#include "motion/Pci7344.h"
#include "sipper/SipperData.h"
#include "sipper/SipperTask.h"
#include "utilities/Exception.h"
#include "utilities/Format.h"

namespace {

constexpr uint8_t SIP_SENSOR_CHANNEL = 83;
constexpr double VOLTS_PER_COUNT = 0.00244140625;  // 10 V over 4096 counts
constexpr uint8_t SIP_OUTPUT_PORT = 3;
constexpr uint8_t SIP_OUTPUT_MASK = 4;
constexpr uint8_t HOST_VECTOR = 255;

constexpr int MATRIX_STATION_ROW = 1000;

// The sample interface runs its cycle in another process; these waits only
// poll its state.
constexpr double IDLE_WAIT_SECONDS = 10.0;
constexpr double CYCLE_MARGIN_SECONDS = 2.0;

}  // namespace

bool SipperTask::is_station_row(int row) {
    for (int base : {1000, 2000, 3000, 4000})
        if (row >= base && row <= base + 4) return true;
    return false;
}

Vect3d SipperTask::plate_well_position(int row, int column) {
    return data_->active_plate_config().well_position(row, column);
}

double SipperTask::sensor_volts() {
    int32_t reading = 0;
    rotary_->read_adc_rtn(SIP_SENSOR_CHANNEL, reading);
    return reading * VOLTS_PER_COUNT;
}

void SipperTask::sip_now() {
    SampleInterfaceIF* sample_interface = sample_interface_client();
    const PlateConfig plate = data_->active_plate_config();
    for (int id = FIRST_POSITION; id <= LAST_POSITION; ++id)
        if (!data_->position_defined(id)) throw Exception("plate positions have not been properly configured");

    const int row = data_->sip_row();
    const int column = data_->sip_column();
    Vect3d place;
    if (row == MATRIX_STATION_ROW) {
        if (column < 1 || column > 4)
            throw Exception("Sipper::sip_now Error, invalid matrix station specified: matrix" +
                            std::to_string(column));
        place = data_->position(POSITION_MATRIX1 + column - 1);
    } else if (row == 2000 || row == 3000 || row == 4000) {
        if (column < 1 || column > 3)
            throw Exception("Sipper::sip_now Error, invalid washstation specified: washstation" +
                            std::to_string(column));
        place = data_->position(POSITION_WASHSTATION1 + column - 1);
    } else {
        // A well outside the plate's grid would extrapolate the probe past the
        // taught corners, toward the unguarded forward ends of the axes.
        if (row < 0 || row >= plate.rows || column < 0 || column >= plate.columns)
            throw Exception("Sipper::sip_now Error, invalid well specified: row " + std::to_string(row) +
                            ", column " + std::to_string(column));
        place = plate.well_position(row, column);
    }
    const double depth = data_->sip_depth();
    place.z -= depth < 0 ? -depth : depth;

    Timer timer;
    timer.restart();
    timer.start();
    for (;;) {
        int32_t state = 0;
        const int result = sample_interface->cycle_state(state);
        if (result == 0 && state != 0) sleep_checking_quit(200);
        if (timer.elapsed() > IDLE_WAIT_SECONDS)
            throw Exception("Timed out waiting for sipperinterface cycle to complete");
        if (state == 0) break;
    }

    restore_fast_motion();
    if (data_->sip_sensor_present())
        sip_with_sensor(timer, place);
    else
        sip_timed(timer, place);
}

void SipperTask::sip_timed(Timer& timer, const Vect3d& place) {
    SampleInterfaceIF* sample_interface = sample_interface_client();
    goto_position_now(place, false);
    if (sample_interface->start_sipping(data_->sip_text(), data_->sip_tag(), data_->sip_row() + 1,
                                        data_->sip_column() + 1, 0) != 0)
        throw Exception("SampleInterface not responding.");
    int32_t state1_duration = 0;
    if (sample_interface->get_cycle_state_duration(1, state1_duration) != 0)
        task_log("Failed to read st1_duration");

    // The probe stays in the sample until the cycle has left state 1.
    timer.restart();
    const double deadline = state1_duration / 1000.0 + CYCLE_MARGIN_SECONDS;
    for (;;) {
        int32_t state = 0;
        const int result = sample_interface->cycle_state(state);
        // A failed call pauses too, or the loop would spin until the deadline.
        if (result != 0 || state < 2) sleep_checking_quit(50);
        if (timer.elapsed() > deadline)
            throw Exception("Timed out waiting for sipperinterface cycle to reach state2");
        if (state >= 2) break;
    }

    goto_z_safe_now();
    wash(POSITION_WASHSTATION1, data_->wash_time1());
    wash(POSITION_WASHSTATION2, data_->wash_time2());
    goto_z_safe_now();
    wait_for_cycle_end(timer);
}

void SipperTask::wait_for_cycle_end(Timer& timer) {
    SampleInterfaceIF* sample_interface = sample_interface_client();
    int32_t states = 0;
    sample_interface->get_num_cycle_states(states);
    double total = 0;
    for (int32_t s = 2; s <= states; ++s) {
        int32_t duration = 0;
        sample_interface->get_cycle_state_duration(s, duration);
        total += duration;
    }
    const double deadline = total / 1000.0 + CYCLE_MARGIN_SECONDS;
    timer.restart();
    for (;;) {
        int32_t state = 0;
        const int result = sample_interface->cycle_state(state);
        // Only an answered idle state ends the sip: a sample interface that
        // does not answer has not shown that it took the sample, and taking
        // its silence for "done" would report a lost sample as a success.
        if (result != 0 || state != 0) sleep_checking_quit(50);
        if (timer.elapsed() > deadline)
            throw Exception("Timed out waiting for sipperinterface cycle to complete (last)");
        if (result == 0 && state == 0) break;
    }
}

bool SipperTask::sip_with_sensor(Timer& timer, const Vect3d& place) {
    SampleInterfaceIF* sample_interface = sample_interface_client();
    bool seen = goto_position_now(place, true);
    int32_t state1_duration = 0;
    sample_interface->get_cycle_state_duration(1, state1_duration);

    if (!seen) {
        // Keep watching while the sample interface would hold state 1.
        timer.restart();
        double level = 0;
        double t = timer.elapsed();
        while (t <= state1_duration / 1000.0) {
            // This poll does not pause, so it looks for a stop itself.
            check_quit();
            const double hit = sensor_volts() >= data_->sip_sensor_threshold() ? 1.0 : 0.0;
            const double k = data_->smoothing_factor();
            level = (1 - k) * level + k * hit;
            if (level > detection_level_) {
                task_log("SIP SENSOR SEES SAMPLE, t = " + format_decimals(t, 3));
                seen = true;
                break;
            }
            t = timer.elapsed();
        }
        if (!seen) task_log("NEVER SAW SIP SENSOR OUTPUT, t = " + format_decimals(t, 3));
    }

    // From here on the sample interface's state 1 duration is 0 and, when the
    // sample was seen, the sip output is driven; a failure must undo both, or
    // the sample interface keeps a zero state 1 and the output stays on.
    bool duration_zeroed = false;
    bool output_on = false;
    try {
        sample_interface->get_cycle_state_duration(1, state1_duration);
        data_->set_sample_interface_changed(false);
        sample_interface->set_cycle_state_duration(1, 0);
        duration_zeroed = true;

        if (sample_interface->start_sipping(data_->sip_text(), data_->sip_tag(), data_->sip_row() + 1,
                                            data_->sip_column() + 1, seen ? 1 : 0) != 0)
            throw Exception("SampleInterface not responding.");

        if (seen) {
            rotary_->set_port(SIP_OUTPUT_PORT, SIP_OUTPUT_MASK, 0, HOST_VECTOR);
            output_on = true;
            if (!is_station_row(data_->sip_row())) data_->set_missed_sip_count(0);
        } else {
            const int missed = data_->missed_sip_count() + 1;
            data_->set_missed_sip_count(missed);
            if (data_->missed_sip_tolerance() < missed)
                throw Exception("too many missed sips, check sipper for clogs");
        }

        goto_z_safe_now();
        wash(POSITION_WASHSTATION1, data_->wash_time1());
        wash(POSITION_WASHSTATION2, data_->wash_time2());
        goto_z_safe_now();
        wait_for_cycle_end(timer);

        if (data_->sample_interface_changed()) sample_interface->get_cycle_state_duration(1, state1_duration);
        sample_interface->set_cycle_state_duration(1, state1_duration);
        duration_zeroed = false;
        if (seen) {
            rotary_->set_port(SIP_OUTPUT_PORT, 0, SIP_OUTPUT_MASK, HOST_VECTOR);
            output_on = false;
        }
    } catch (...) {
        if (duration_zeroed) {
            // New states of the sample interface replace the value read earlier.
            if (data_->sample_interface_changed()) sample_interface->get_cycle_state_duration(1, state1_duration);
            sample_interface->set_cycle_state_duration(1, state1_duration);
        }
        if (output_on) {
            try {
                rotary_->set_port(SIP_OUTPUT_PORT, 0, SIP_OUTPUT_MASK, HOST_VECTOR);
            } catch (...) {
                // The original failure is the one to report.
            }
        }
        throw;
    }
    return seen;
}

bool SipperTask::wait_for_move_or_sample(uint8_t axis, uint16_t axis_map) {
    if (linear_ == nullptr) return false;
    double level = 0;
    for (;;) {
        const double k = data_->smoothing_factor();
        const double hit = sensor_volts() >= data_->sip_sensor_threshold() ? 1.0 : 0.0;
        level = (1 - k) * level + k * hit;
        if (level > detection_level_) return true;

        uint16_t complete = 0;
        linear_->check_move_complete_status(axis, axis_map, complete);
        if (poll_counter_++ >= 10) {
            poll_counter_ = 0;
            check_axes(axis);
        }
        if (complete != 0) return false;
        sleep_checking_quit(5);
    }
}
