#include "sipper/SipperData.h"

#include "utilities/Exception.h"

namespace {

// Holds the record's lock for one scope. An unusable lock is an error rather
// than an unguarded access from two threads.
class Hold {
public:
    explicit Hold(Mutex& mutex) : mutex_(mutex) {
        if (!mutex_.lock()) throw Exception("SipperData: lock failed");
    }
    ~Hold() { mutex_.unlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    Mutex& mutex_;
};

template <class T>
T read(Mutex& mutex, const T& field) {
    Hold hold(mutex);
    return field;
}

template <class T>
void write(Mutex& mutex, T& field, const T& value) {
    Hold hold(mutex);
    field = value;
}

}  // namespace

SipperData::SipperData() : lock_(false) {
    if (!lock_.valid()) throw Exception("SipperData: " + lock_.error());
}

int SipperData::state() const { return read(lock_, state_); }
void SipperData::set_state(int value) { write(lock_, state_, value); }
bool SipperData::homed() const { return read(lock_, homed_); }
void SipperData::set_homed(bool value) { write(lock_, homed_, value); }
Vect3d SipperData::velocity() const { return read(lock_, velocity_); }
void SipperData::set_velocity(const Vect3d& value) { write(lock_, velocity_, value); }
Vect3d SipperData::acceleration() const { return read(lock_, acceleration_); }
void SipperData::set_acceleration(const Vect3d& value) { write(lock_, acceleration_, value); }
std::string SipperData::sip_text() const { return read(lock_, sip_text_); }
void SipperData::set_sip_text(const std::string& value) { write(lock_, sip_text_, value); }
int SipperData::sip_row() const { return read(lock_, sip_row_); }
void SipperData::set_sip_row(int value) { write(lock_, sip_row_, value); }
int SipperData::sip_column() const { return read(lock_, sip_column_); }
void SipperData::set_sip_column(int value) { write(lock_, sip_column_, value); }
int SipperData::sip_tag() const { return read(lock_, sip_tag_); }
void SipperData::set_sip_tag(int value) { write(lock_, sip_tag_, value); }
double SipperData::sip_depth() const { return read(lock_, sip_depth_); }
void SipperData::set_sip_depth(double value) { write(lock_, sip_depth_, value); }
int SipperData::wash_time1() const { return read(lock_, wash_time1_); }
void SipperData::set_wash_time1(int value) { write(lock_, wash_time1_, value); }
int SipperData::wash_time2() const { return read(lock_, wash_time2_); }
void SipperData::set_wash_time2(int value) { write(lock_, wash_time2_, value); }
int SipperData::missed_sip_tolerance() const { return read(lock_, missed_sip_tolerance_); }
void SipperData::set_missed_sip_tolerance(int value) { write(lock_, missed_sip_tolerance_, value); }
int SipperData::missed_sip_count() const { return read(lock_, missed_sip_count_); }
void SipperData::set_missed_sip_count(int value) { write(lock_, missed_sip_count_, value); }
double SipperData::sip_sensor_threshold() const { return read(lock_, sip_sensor_threshold_); }
void SipperData::set_sip_sensor_threshold(double value) { write(lock_, sip_sensor_threshold_, value); }
double SipperData::smoothing_factor() const { return read(lock_, smoothing_factor_); }
void SipperData::set_smoothing_factor(double value) { write(lock_, smoothing_factor_, value); }
bool SipperData::sip_sensor_present() const { return read(lock_, sip_sensor_present_); }
void SipperData::set_sip_sensor_present(bool value) { write(lock_, sip_sensor_present_, value); }
bool SipperData::twister_arm_clear() const { return read(lock_, twister_arm_clear_); }
void SipperData::set_twister_arm_clear(bool value) { write(lock_, twister_arm_clear_, value); }
int SipperData::operation() const { return read(lock_, operation_); }
void SipperData::set_operation(int value) { write(lock_, operation_, value); }
Vect3d SipperData::goto_target() const { return read(lock_, goto_target_); }
void SipperData::set_goto_target(const Vect3d& value) { write(lock_, goto_target_, value); }
bool SipperData::sample_interface_changed() const { return read(lock_, sample_interface_changed_); }
void SipperData::set_sample_interface_changed(bool value) { write(lock_, sample_interface_changed_, value); }

Vect3d SipperData::motion_param(int index) {
    Hold hold(lock_);
    return motion_params_.try_emplace(index, 0.0, 0.0, 0.0).first->second;
}

void SipperData::set_motion_param(int index, const Vect3d& value) {
    Hold hold(lock_);
    motion_params_[index] = value;
}

AxisScale SipperData::axis_scale(int axis) const {
    Hold hold(lock_);
    auto it = axis_scales_.find(axis);
    return it == axis_scales_.end() ? AxisScale{} : it->second;
}

void SipperData::set_axis_scale(int axis, const AxisScale& scale) {
    Hold hold(lock_);
    axis_scales_[axis] = scale;
}

Vect3d SipperData::position(int id) {
    Hold hold(lock_);
    return positions_.position(id);
}

void SipperData::store_position(int id, const Vect3d& vector) {
    Hold hold(lock_);
    positions_.store(id, vector);
    refresh_plate_references();
}

bool SipperData::position_defined(int id) const {
    Hold hold(lock_);
    return positions_.defined(id);
}

void SipperData::set_position_defined(int id, bool flag) {
    Hold hold(lock_);
    positions_.set_defined(id, flag);
}

bool SipperData::position_valid(int id) const {
    Hold hold(lock_);
    return positions_.valid(id);
}

bool SipperData::all_positions_defined() const {
    Hold hold(lock_);
    return positions_.all_defined();
}

bool SipperData::configured() const {
    Hold hold(lock_);
    return homed() && all_positions_defined();
}

PlateConfig& SipperData::plate(const std::string& name) {
    // A name never added still gets a configuration: that of a new 96-well plate.
    return plates_[name];
}

void SipperData::add_plate(const std::string& name) {
    Hold hold(lock_);
    active_plate_ = name;
    positions_.set_active_plate_name(name);
    positions_.clear_defined();
    plates_[name] = PlateConfig{};
}

void SipperData::set_active_plate_name(const std::string& name) {
    Hold hold(lock_);
    active_plate_ = name;
    positions_.set_active_plate_name(name);
}

std::string SipperData::active_plate_name() const { return read(lock_, active_plate_); }

PlateConfig SipperData::active_plate_config() {
    Hold hold(lock_);
    return plate(active_plate_);
}

void SipperData::set_active_plate_type(int type) {
    Hold hold(lock_);
    plate(active_plate_).set_type(type);
    refresh_plate_references();
}

int SipperData::plate_type(const std::string& name) {
    Hold hold(lock_);
    return plate(name).type;
}

void SipperData::refresh_plate_references() {
    Hold hold(lock_);
    PlateConfig& config = plate(active_plate_);
    config.position0 = positions_.position(POSITION_PLATE_REF0);
    config.position1 = positions_.position(POSITION_PLATE_REF1);
    config.position2 = positions_.position(POSITION_PLATE_REF2);
}
