#pragma once
#include <map>
#include <string>

#include "sipper/AxisScale.h"
#include "sipper/PlateConfig.h"
#include "sipper/PositionTable.h"
#include "sipper/SipperConstants.h"
#include "utilities/Mutex.h"
#include "utilities/Vect3d.h"

// The record the command side (main thread) and the worker thread share.
// Every operation holds the record's recursive lock for its own duration
// only; nobody holds it across calls, so a sequence of calls is not atomic.
// Values go in and out by copy.
//
//   SipperData data;
//   data.set_operation(OP_GOTO);
//   data.set_goto_target(data.position(POSITION_WASHSTATION1));
//   if (data.configured()) ...
class SipperData {
public:
    // Throws Exception when the lock cannot be created.
    SipperData();
    SipperData(const SipperData&) = delete;
    SipperData& operator=(const SipperData&) = delete;

    int state() const;
    void set_state(int value);
    bool homed() const;
    void set_homed(bool value);
    Vect3d velocity() const;
    void set_velocity(const Vect3d& value);
    Vect3d acceleration() const;
    void set_acceleration(const Vect3d& value);
    std::string sip_text() const;
    void set_sip_text(const std::string& value);
    int sip_row() const;
    void set_sip_row(int value);
    int sip_column() const;
    void set_sip_column(int value);
    int sip_tag() const;
    void set_sip_tag(int value);
    double sip_depth() const;
    void set_sip_depth(double value);
    int wash_time1() const;
    void set_wash_time1(int value);
    int wash_time2() const;
    void set_wash_time2(int value);
    int missed_sip_tolerance() const;
    void set_missed_sip_tolerance(int value);
    int missed_sip_count() const;
    void set_missed_sip_count(int value);
    double sip_sensor_threshold() const;
    void set_sip_sensor_threshold(double value);
    double smoothing_factor() const;
    void set_smoothing_factor(double value);
    bool sip_sensor_present() const;
    void set_sip_sensor_present(bool value);
    bool twister_arm_clear() const;
    void set_twister_arm_clear(bool value);
    int operation() const;
    void set_operation(int value);
    Vect3d goto_target() const;
    void set_goto_target(const Vect3d& value);
    bool sample_interface_changed() const;
    void set_sample_interface_changed(bool value);

    // Motion parameter by index 0..9; reading an index never set creates
    // a (0, 0, 0) entry.
    Vect3d motion_param(int index);
    void set_motion_param(int index, const Vect3d& value);
    // Scale of axis 1..3; an axis never set reads as an invalid scale.
    AxisScale axis_scale(int axis) const;
    void set_axis_scale(int axis, const AxisScale& scale);

    // Positions (ids 1..9 global, 10 and up of the active plate).
    Vect3d position(int id);                      // creates an undefined entry
    void store_position(int id, const Vect3d& vector);  // defined, references refreshed
    bool position_defined(int id) const;
    void set_position_defined(int id, bool flag);
    bool position_valid(int id) const;            // creates nothing
    bool all_positions_defined() const;           // ids 1..13
    bool configured() const;                      // homed and all positions defined

    // Plates.
    // Makes `name` active, marks ids 1..13 not defined and gives it a new
    // 96-well configuration.
    void add_plate(const std::string& name);
    void set_active_plate_name(const std::string& name);
    std::string active_plate_name() const;
    PlateConfig active_plate_config();
    void set_active_plate_type(int type);
    int plate_type(const std::string& name);
    // Copies positions 10, 11, 12 into the active plate's references.
    void refresh_plate_references();

private:
    PlateConfig& plate(const std::string& name);

    mutable Mutex lock_;
    std::map<std::string, PlateConfig> plates_;
    PositionTable positions_;
    bool homed_ = false;
    int state_ = STATE_IDLE;
    std::map<int, AxisScale> axis_scales_;
    std::map<int, Vect3d> motion_params_;
    Vect3d velocity_{15, 15, 10};
    Vect3d acceleration_{15, 15, 10};
    std::string sip_text_;
    // The request fields are written by the command that starts the worker
    // thread; the values here only keep a fresh record deterministic.
    int sip_row_ = 0;
    int sip_column_ = 0;
    int sip_tag_ = 0;
    double sip_depth_ = 0.0;
    int wash_time1_ = 0;
    int wash_time2_ = 0;
    int missed_sip_tolerance_ = 5;
    int missed_sip_count_ = 0;
    double sip_sensor_threshold_ = 5.0;
    double smoothing_factor_ = 0.3;
    bool sip_sensor_present_ = false;
    bool twister_arm_clear_ = false;
    // No operation until a command names one.
    int operation_ = -1;
    Vect3d goto_target_{0, 0, 0};
    bool sample_interface_changed_ = false;
    std::string active_plate_;
};
