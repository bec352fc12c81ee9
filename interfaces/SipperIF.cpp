#include "interfaces/SipperIF.h"

using namespace sipper_methods;

namespace {
using V = InterfaceClient::Value;
V i(int value) { return V(std::int32_t(value)); }
}  // namespace

SipperIF::SipperIF(const std::string& name) : ComponentIF(name)
{
    add_table(sipper_methods::TABLE);
}

int SipperIF::get_status(int& status) { return query_int(TABLE, GET_STATUS, {}, status); }
int SipperIF::system_configured(int& configured) { return query_int(TABLE, SYSTEM_CONFIGURED, {}, configured); }
int SipperIF::home() { return call_method(TABLE, HOME); }
int SipperIF::set_active_plate(const std::string& plate) { return call_method(TABLE, SET_ACTIVE_PLATE, {plate}); }

int SipperIF::set_plate_type(const std::string& plate, int type)
{
    return call_method(TABLE, SET_PLATE_TYPE, {plate, i(type)});
}

int SipperIF::get_plate_type(const std::string& plate, int& type)
{
    return query_int(TABLE, GET_PLATE_TYPE, {plate}, type);
}

int SipperIF::set_missed_sip_tol(int tolerance) { return call_method(TABLE, SET_MISSED_SIP_TOL, {i(tolerance)}); }
int SipperIF::get_missed_sip_tol(int& tolerance) { return query_int(TABLE, GET_MISSED_SIP_TOL, {}, tolerance); }

int SipperIF::set_position(const std::string& position, int id, int& result)
{
    return query_int(TABLE, SET_POSITION, {position, i(id)}, result);
}

int SipperIF::goto_position(int position) { return call_method(TABLE, GOTO_POSITION, {i(position)}); }
int SipperIF::goto_position_safe(int position) { return call_method(TABLE, GOTO_POSITION_SAFE, {i(position)}); }
int SipperIF::emergency(int stop, int& result) { return query_int(TABLE, EMERGENCY, {i(stop)}, result); }
int SipperIF::reset_error_state() { return call_method(TABLE, RESET_ERROR_STATE); }

int SipperIF::get_current_positions(double& x, double& y, double& z)
{
    x = y = z = 0.0;
    std::vector<Value> results;
    const int rc = query(TABLE.method(GET_CURRENT_POSITIONS), {}, results);
    if (rc == call_ok) {
        x = std::get<double>(results.at(0));
        y = std::get<double>(results.at(1));
        z = std::get<double>(results.at(2));
    }
    return rc;
}

int SipperIF::sip(const std::string& well, int a, int b, int c, double d, int e, int f)
{
    return call_method(TABLE, SIP, {well, i(a), i(b), i(c), V(d), i(e), i(f)});
}

int SipperIF::stop_all_motion() { return call_method(TABLE, STOP_ALL_MOTION); }
int SipperIF::wash(int a, int b) { return call_method(TABLE, WASH, {i(a), i(b)}); }

int SipperIF::get_plate_info(std::string& text, int& first, int& second)
{
    text.clear();
    first = second = 0;
    std::vector<Value> results;
    const int rc = query(TABLE.method(GET_PLATE_INFO), {}, results);
    if (rc == call_ok) {
        text = std::get<std::string>(results.at(0));
        first = std::get<std::int32_t>(results.at(1));
        second = std::get<std::int32_t>(results.at(2));
    }
    return rc;
}

int SipperIF::get_all_plate_configs(std::string& text) { return query_text(TABLE, GET_ALL_PLATE_CONFIGS, {}, text); }
int SipperIF::reset_run_stats() { return call_method(TABLE, RESET_RUN_STATS); }
int SipperIF::at_plate_swap_position(int& at_swap) { return query_int(TABLE, AT_PLATE_SWAP_POSITION, {}, at_swap); }

int SipperIF::twister_arm_clear_of_stage(int clear)
{
    return call_method(TABLE, TWISTER_ARM_CLEAR_OF_STAGE, {i(clear)});
}

int SipperIF::get_num_plate_rows(int& rows) { return query_int(TABLE, GET_NUM_PLATE_ROWS, {}, rows); }
int SipperIF::get_num_plate_cols(int& cols) { return query_int(TABLE, GET_NUM_PLATE_COLS, {}, cols); }
int SipperIF::is_homed(int& homed) { return query_int(TABLE, IS_HOMED, {}, homed); }
int SipperIF::get_inhibit_state(int& state) { return query_int(TABLE, GET_INHIBIT_STATE, {}, state); }

int SipperIF::sample_interface_states_changed()
{
    return call_method(TABLE, SAMPLE_INTERFACE_STATES_CHANGED);
}

int SipperIF::log_sip_sensor(int on) { return call_method(TABLE, LOG_SIP_SENSOR, {i(on)}); }
