// The commands of the sipper interface. Each runs on the main-loop thread,
// checks its preconditions in order, logs one line when it refuses and hands
// motion to the worker thread without waiting for it.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "motion/Pci7344.h"
#include "sipper/Sipper.h"
#include "sipper/SipperData.h"
#include "sipper/SipperTask.h"

namespace {

// Copies text and its NUL, cut to what the buffer holds.
void copy_text(const std::string& text, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// How far the stage may stand from the plate swap position and still be at it.
constexpr double PLATE_SWAP_TOLERANCE_MM = 0.25;

}  // namespace

// A worker still running counts as busy whatever the recorded state says:
// reset_error_state may have written idle under it, and a command that went
// on would overwrite the request the worker is still reading.
int Sipper::current_state() const {
    if (task_ != nullptr && task_->is_running()) return STATE_BUSY;
    return data_->state();
}

bool Sipper::ready(std::string& reason) {
    switch (current_state()) {
    case STATE_IDLE:
        reason.clear();
        return true;
    case STATE_ERROR:
        reason = "Sipper is in error state";
        return false;
    case STATE_BUSY:
        reason = "Sipper is in busy state";
        return false;
    default:
        reason.clear();
        return false;
    }
}

// Before initialize, or after an initialize that failed to create it, there
// is no worker thread; the request then stays written and nothing runs.
bool Sipper::start_task() {
    if (task_ == nullptr) {
        log_msg("Sipper: no worker task exists (initialize did not create one), command not carried out", 0);
        return false;
    }
    return task_->start();
}

void Sipper::get_status(int& status) { status = current_state(); }

void Sipper::system_configured(int& configured) { configured = data_->configured() ? 1 : 0; }

void Sipper::home() {
    const int state = current_state();
    if (state == STATE_BUSY) {
        log_msg("homing Error, sipper busy", 0);
        return;
    }
    if (state == STATE_ERROR) data_->set_state(STATE_IDLE);
    data_->set_operation(OP_HOME);
    start_task();
}

void Sipper::goto_position(int id) {
    std::string reason;
    if (!data_->homed()) {
        log_msg("goto_position() ERROR : sipper not homed", 0);
    } else if (!data_->position_valid(id)) {
        log_msg("goto_position() ERROR, position invalid", 0);
    } else if (!data_->position_defined(id)) {
        log_msg("goto_position() ERROR, position is undefined", 0);
    } else if (!ready(reason)) {
        log_msg("goto_position() Error, " + reason, 0);
    } else {
        data_->set_operation(OP_GOTO);
        data_->set_goto_target(data_->position(id));
        if (!start_task() && task_ != nullptr)
            log_msg("goto_position() Error : Thread::start failed, thread already active", 0);
    }
}

void Sipper::goto_position_safe(int id) {
    std::string reason;
    if (!data_->homed()) {
        log_msg("goto_position_safe() ERROR : sipper not homed", 0);
    } else if (!data_->position_valid(id)) {
        log_msg("goto_position_safe() ERROR, position invalid", 0);
    } else if (!data_->position_defined(POSITION_SAFE_HEIGHT)) {
        log_msg("goto_position_safe() ERROR, safe z position undefined", 0);
    } else if (!data_->position_defined(id)) {
        log_msg("goto_position_safe() ERROR, position is undefined", 0);
    } else if (!ready(reason)) {
        log_msg("goto_position_safe() Error, " + reason, 0);
    } else {
        Vect3d target = data_->position(id);
        target.z = data_->position(POSITION_SAFE_HEIGHT).z;
        data_->set_operation(OP_GOTO);
        data_->set_goto_target(target);
        start_task();
    }
}

void Sipper::set_active_plate(const std::string& name) {
    data_->set_active_plate_name(name);
    log_msg("set active plate config to " + name, 0);
    // Every id gets an entry in the new plate's scope, so each is valid there.
    for (int id = FIRST_POSITION; id <= LAST_POSITION; ++id) data_->position(id);
}

// The type goes to the active plate; the name is not consulted.
void Sipper::set_plate_type(const std::string& /*name*/, int type) {
    data_->set_active_plate_type(type);
}

void Sipper::get_plate_type(const std::string& name, int& type) { type = data_->plate_type(name); }

void Sipper::set_missed_sip_tol(int tolerance) { data_->set_missed_sip_tolerance(tolerance); }

void Sipper::get_missed_sip_tol(int& tolerance) { tolerance = data_->missed_sip_tolerance(); }

void Sipper::set_position(const std::string& name, int id, int& result) {
    result = 0;
    // A plate file that no longer parses must not end the component: the
    // error stays with this command.
    try {
        set_position_now(name, id, result);
    } catch (const Exception& e) {
        log_msg("set_position() ERROR : " + e.message(), 0);
        result = 0;
    }
}

void Sipper::set_position_now(const std::string& name, int id, int& result) {
    log_msg("set_position() " + name + " id = " + std::to_string(id), 0);
    result = 0;
    if (!data_->homed()) {
        log_msg("set_position() ERROR : sipper not homed", 0);
        return;
    }
    if (current_state() != STATE_IDLE) {
        std::string reason;
        ready(reason);
        log_msg("set_position Error, " + reason, 0);
        return;
    }
    double x = 0, y = 0, z = 0;
    // A failed read was logged by the read itself; nothing is stored.
    if (!read_current_positions(x, y, z)) return;
    data_->store_position(id, Vect3d(x, y, z));
    if (id > LAST_GLOBAL_POSITION) {
        save_active_plate();
    } else {
        int status = 0;
        save_config("", status);
        // The save logged its failure; the position is not kept on disk.
        if (status != 0) return;
    }
    result = 1;
}

void Sipper::emergency(int argument, int& result) {
    try {
        data_->set_state(STATE_ERROR);
        if (linear_ != nullptr) linear_->stop_motion(0, 2, ALL_AXES_MAP);
        log_msg("Sipper::emergency() motors killed", 0);
    } catch (const Exception& e) {
        log_msg("Sipper::emergency() failed: " + e.message(), 0);
    } catch (...) {
        log_msg("Sipper::emergency() failed: This is bad!", 0);
    }
    result = argument;
}

void Sipper::reset_error_state() { data_->set_state(STATE_IDLE); }

bool Sipper::read_current_positions(double& x, double& y, double& z) {
    // Values not read stay undefined rather than looking like a place.
    x = y = z = DBL_MAX;
    if (linear_ == nullptr) return false;
    try {
        double* out[3] = {&x, &y, &z};
        for (int axis = 1; axis <= 3; ++axis) {
            const AxisScale scale = data_->axis_scale(axis);
            *out[axis - 1] = scale.steps_to_mm(linear_->read_position(scale.axis));
        }
        return true;
    } catch (const Exception& e) {
        log_msg("Sipper::get_current_positions(): ERROR " + e.message(), 0);
    } catch (...) {
        log_msg("Sipper::get_current_positions(): ERROR caught unknown exception", 0);
    }
    return false;
}

void Sipper::get_current_positions(double& x, double& y, double& z) {
    read_current_positions(x, y, z);
}

Vect3d Sipper::current_position() {
    if (!data_->homed()) {
        log_msg("Sipper::get_current_positions(): Sipper not homed! setting output to undefined", 0);
        return UNDEFINED_POSITION;
    }
    double x = 0, y = 0, z = 0;
    read_current_positions(x, y, z);
    return Vect3d(x, y, z);
}

void Sipper::sip(const char* text, int tag, int row, int column, double depth, int wash_time1,
                 int wash_time2) {
    std::string reason;
    if (!data_->homed()) {
        log_msg("sip Error, sipper not homed", 0);
        return;
    }
    if (!data_->configured()) {
        log_msg("sip Error, Sipper not configured", 0);
        return;
    }
    if (!ready(reason)) {
        log_msg("sip Error, " + reason, 0);
        return;
    }
    data_->set_sip_text(text != nullptr ? text : "");
    data_->set_sip_row(row);
    data_->set_sip_column(column);
    data_->set_sip_tag(tag);
    data_->set_sip_depth(depth);
    data_->set_wash_time1(wash_time1);
    data_->set_wash_time2(wash_time2);
    data_->set_operation(OP_SIP);
    start_task();
}

void Sipper::stop_all_motion() {
    if (task_ != nullptr) task_->request_stop();
    if (linear_ == nullptr) return;
    // Each axis is stopped on its own: one failing axis must not keep the
    // others moving.
    for (int axis = 1; axis <= 3; ++axis) {
        try {
            linear_->stop_motion(data_->axis_scale(axis).axis, 0, 0);
        } catch (const Exception& e) {
            log_msg("stop_all_motion() ERROR : " + e.message(), 0);
        }
    }
}

void Sipper::wash(int wash_time1, int wash_time2) {
    std::string reason;
    if (!data_->homed()) {
        log_msg("wash Error, sipper not homed", 0);
        return;
    }
    if (!data_->configured()) {
        log_msg("wash Error, sipper not configured", 0);
        return;
    }
    if (!ready(reason)) {
        log_msg("wash Error, " + reason, 0);
        return;
    }
    data_->set_wash_time1(wash_time1);
    data_->set_wash_time2(wash_time2);
    data_->set_operation(OP_WASH);
    start_task();
}

void Sipper::get_plate_info(char* name, std::size_t size, int& rows, int& columns) {
    const PlateConfig plate = data_->active_plate_config();
    copy_text(data_->active_plate_name(), name, size);
    rows = plate.rows;
    columns = plate.columns;
}

void Sipper::get_all_plate_configs(char* text, std::size_t size) {
    std::string joined;
    for (const std::string& plate : plate_names_) {
        if (!joined.empty()) joined += ",";
        joined += plate;
    }
    copy_text(joined, text, size);
}

void Sipper::reset_run_stats() { data_->set_missed_sip_count(0); }

void Sipper::at_plate_swap_position(int& at_position) {
    at_position = 0;
    const Vect3d here = current_position();
    // Read through position(), which gives the id an entry: a later
    // goto_position(8) then calls it undefined rather than invalid.
    const Vect3d swap = data_->position(POSITION_PLATE_SWAP);
    if (!data_->position_defined(POSITION_PLATE_SWAP)) return;
    if (std::fabs(here.x - swap.x) <= PLATE_SWAP_TOLERANCE_MM &&
        std::fabs(here.y - swap.y) <= PLATE_SWAP_TOLERANCE_MM)
        at_position = 1;
}

void Sipper::twister_arm_clear_of_stage(int clear) { data_->set_twister_arm_clear(clear != 0); }

void Sipper::get_num_plate_rows(int& rows) { rows = data_->active_plate_config().rows; }

void Sipper::get_num_plate_cols(int& columns) { columns = data_->active_plate_config().columns; }

void Sipper::is_homed(int& homed) { homed = data_->homed() ? 1 : 0; }

void Sipper::get_inhibit_state(int& bits) {
    bits = 0;
    try {
        bits = inhibit_bits();
    } catch (const Exception& e) {
        // Served as a command a board failure must not end the component;
        // the task loop meets the same failure and stops the stage.
        log_msg("get_inhibit_state() ERROR : " + e.message(), 0);
        bits = 0;
    }
}

void Sipper::sample_interface_states_changed() { data_->set_sample_interface_changed(true); }

void Sipper::log_sip_sensor(int on) { sensor_logging_ = (on == 1); }
