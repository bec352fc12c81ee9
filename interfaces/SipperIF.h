#pragma once
#include <string>

#include "interfaces/ComponentIF.h"
#include "interfaces/SipperMethods.h"

// Client of the sipper's interface (ids 12 to 39 on top of the component
// methods). The sipper task uses it for get_inhibit_state and the inherited
// log_msg; peers command the sipper with the rest.
class SipperIF : public ComponentIF {
public:
    explicit SipperIF(const std::string& name);

    int get_status(int& status);
    int system_configured(int& configured);
    int home();
    int set_active_plate(const std::string& plate);
    int set_plate_type(const std::string& plate, int type);
    int get_plate_type(const std::string& plate, int& type);
    int set_missed_sip_tol(int tolerance);
    int get_missed_sip_tol(int& tolerance);
    int set_position(const std::string& position, int id, int& result);
    int goto_position(int position);
    int goto_position_safe(int position);
    int emergency(int stop, int& result);
    int reset_error_state();
    int get_current_positions(double& x, double& y, double& z);
    int sip(const std::string& well, int a, int b, int c, double d, int e, int f);
    int stop_all_motion();
    int wash(int a, int b);
    int get_plate_info(std::string& text, int& first, int& second);
    int get_all_plate_configs(std::string& text);
    int reset_run_stats();
    int at_plate_swap_position(int& at_swap);
    int twister_arm_clear_of_stage(int clear);
    int get_num_plate_rows(int& rows);
    int get_num_plate_cols(int& cols);
    int is_homed(int& homed);
    int get_inhibit_state(int& state);
    int sample_interface_states_changed();
    int log_sip_sensor(int on);
};
