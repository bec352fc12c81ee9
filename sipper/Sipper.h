#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "component/Component.h"
#include "config/ConfigurationFile.h"
#include "utilities/Exception.h"
#include "utilities/Vect3d.h"

class SipperData;
class SipperTask;
class Pci7344;
class Syslog;

// The sipper component: serves the sipper interface, keeps the configuration
// and the plate configurations, hands motion requests to the worker thread
// (SipperTask) and watches the inhibit inputs and the motors from task_loop.
//
//   Sipper s("Sipper", "/var/log/sipper/sipper.log", "/etc/sipper/sipper.cfg");
//   s.main();   // reset -> initialize (boards, task), run -> task_loop
//
// Every operation runs on the main-loop thread; the worker thread reaches the
// component only through the component's own interface. Commands that move
// the stage write the request into SipperData and start the worker; they
// never wait for it. A refused command logs one line and changes nothing.
class Sipper : public Component {
public:
    // Raised by nothing in this process today; task_loop knows how to report
    // them without stopping the stage.
    class StoppedException : public Exception {
    public:
        using Exception::Exception;
    };
    class CrashedException : public Exception {
    public:
        using Exception::Exception;
    };

    // Inhibit inputs: bit n is read from this ADC channel + n of the linear board.
    static constexpr int INHIBIT_FIRST_CHANNEL = 0x51;
    static constexpr int SIP_SENSOR_CHANNEL = 0x53;  // rotary board
    static constexpr int MOTOR_OFF_BIT = 0x04;
    static constexpr int FOLLOWING_ERROR_BIT = 0x08;
    static constexpr int ALL_AXES_MAP = 14;

    // Loads the configuration and the plate files beside it, then opens the
    // interface. Raises "Sipper Constructor -- Failed to load config file "
    // + path when the configuration does not load; an error of a plate file
    // that does not parse passes out unchanged.
    Sipper(const std::string& name, const std::string& log_path, const std::string& cfg_path);
    ~Sipper() override;

    void load_config(const std::string& path, int& status) override;
    void save_config(const std::string& path, int& status) override;
    bool initialize() override;
    void task_loop() override;

    using Component::get_config_val;
    // Strict vector read from the component configuration: true only when
    // the key holds a string that parses as three reals; `value` is left
    // unchanged otherwise (a parse failure is logged).
    bool get_config_val(const std::string& key, Vect3d& value);
    // The same over another store (the plate configuration store).
    bool get_config_val(const ConfigurationFile& store, const std::string& key, Vect3d& value);

    // Plate configurations: every "*.platecfg" beside the configuration file;
    // the last one by name becomes active. Raises, naming the file, when a
    // plate file does not parse or is not a regular file; false when a
    // position held a value that is not finite (logged, left undefined).
    bool load_plate_configs();
    // Writes the active plate's type and taught positions to its own file
    // (created when missing), keeping the file's other keys. Raises when the
    // existing file does not parse or cannot be written.
    void save_active_plate();

    // Commands of the sipper interface.
    void get_status(int& status);
    void system_configured(int& configured);
    void home();
    void set_active_plate(const std::string& name);
    void set_plate_type(const std::string& name, int type);
    void get_plate_type(const std::string& name, int& type);
    void set_missed_sip_tol(int tolerance);
    void get_missed_sip_tol(int& tolerance);
    void set_position(const std::string& name, int id, int& result);
    void goto_position(int id);
    void goto_position_safe(int id);
    void emergency(int argument, int& result);
    void reset_error_state();
    void get_current_positions(double& x, double& y, double& z);
    void sip(const char* text, int tag, int row, int column, double depth, int wash_time1,
             int wash_time2);
    void stop_all_motion();
    void wash(int wash_time1, int wash_time2);
    // Texts are cut to size - 1 characters and always end with a NUL.
    void get_plate_info(char* name, std::size_t size, int& rows, int& columns);
    void get_all_plate_configs(char* text, std::size_t size);
    void reset_run_stats();
    void at_plate_swap_position(int& at_position);
    void twister_arm_clear_of_stage(int clear);
    void get_num_plate_rows(int& rows);
    void get_num_plate_cols(int& columns);
    void is_homed(int& homed);
    void get_inhibit_state(int& bits);
    void sample_interface_states_changed();
    void log_sip_sensor(int on);

    // Task loop parts.
    // Clears the error, kills then halts all axes, re-arms the limit inputs
    // and stops again if an axis still faults. Raises on failure (state 1).
    void reset_sipper();
    // Whether the axis reports motor off or following error; logs which
    // when `log` is true.
    bool axis_fault(int axis, bool log);

    // Read access for the interface server's neighbours and for tests.
    SipperData& data() { return *data_; }
    const std::vector<std::string>& plate_names() const { return plate_names_; }
    int check_kill_switch() const { return check_kill_switch_; }
    int inhibit_voltage_level() const { return inhibit_voltage_level_; }
    int inhibit_switch_mask() const { return inhibit_switch_mask_; }
    int invert_inhibit_switch() const { return invert_inhibit_switch_; }
    bool sensor_logging() const { return sensor_logging_; }
    SipperTask* task() { return task_.get(); }
    Pci7344* linear_board() { return linear_.get(); }
    Pci7344* rotary_board() { return rotary_.get(); }

private:
    // Busy while the worker runs, else the recorded state.
    int current_state() const;
    // The reason the ready check gives for a state that is not idle; empty
    // when the sipper is idle (and for unknown states, which fail too).
    bool ready(std::string& reason);
    // Current stage position, or UNDEFINED_POSITION when not homed or when
    // an axis could not be read.
    Vect3d current_position();
    bool read_current_positions(double& x, double& y, double& z);
    bool start_task();
    Vect3d vector_or_default(const std::string& key, const Vect3d& fallback);
    void load_sipper_keys(const std::string& path, int& status);
    void set_position_now(const std::string& name, int id, int& result);
    int inhibit_bits();
    void stop_linear_axes(int stop_type);

    std::unique_ptr<Pci7344> linear_;
    std::unique_ptr<Pci7344> rotary_;
    int check_kill_switch_ = 1;
    std::unique_ptr<SipperData> data_;
    std::unique_ptr<SipperTask> task_;
    std::unique_ptr<Syslog> sensor_log_;
    ConfigurationFile plate_store_;
    std::vector<std::string> plate_names_;
    int inhibit_voltage_level_ = 1800;
    int inhibit_switch_mask_ = 8;
    int invert_inhibit_switch_ = 0;
    bool sensor_logging_ = false;

    // The task loop's memory of its previous pass.
    bool last_inhibit_ = false;
    bool last_motor_fault_ = false;
};
