// The configuration side of the Sipper: its keys in the component
// configuration file and the plate configuration files beside it.
#include <cmath>
#include <limits>

#include "config/ConfigReader.h"
#include "sipper/AxisScale.h"
#include "sipper/Sipper.h"
#include "sipper/SipperData.h"
#include "utilities/Files.h"

namespace {

const char* const PLATE_EXTENSION = ".platecfg";

// Motion parameter indices, one per configuration key.
enum MotionParam {
    VELOCITY_PARAM = 0,
    SLOW_VELOCITY_PARAM = 1,
    MEDIUM_VELOCITY_PARAM = 2,
    FAST_VELOCITY_PARAM = 3,
    HOME1_RPM_PARAM = 4,
    HOME2_RPM_PARAM = 5,
    HOME3_RPM_PARAM = 6,
    ACCELERATION_PARAM = 7,
    STEPS_PER_REV_PARAM = 8,
    MM_PER_REV_PARAM = 9,
};

struct OptionalVector {
    const char* key;
    int index;
    Vect3d fallback;
};

// The vectors a configuration may leave out, in the order they are read.
const OptionalVector OPTIONAL_VECTORS[] = {
    {"VELOCITY", VELOCITY_PARAM, Vect3d(15, 15, 10)},
    {"SLOW_VELOCITY", SLOW_VELOCITY_PARAM, Vect3d(2.5, 2.5, 1)},
    {"MEDIUM_VELOCITY", MEDIUM_VELOCITY_PARAM, Vect3d(15, 15, 10)},
    {"FAST_VELOCITY", FAST_VELOCITY_PARAM, Vect3d(200, 90, 120)},
    {"HOME1_RPM", HOME1_RPM_PARAM, Vect3d(-265, -270, -350)},
    {"HOME2_RPM", HOME2_RPM_PARAM, Vect3d(-75, -74, -60)},
    {"HOME3_RPM", HOME3_RPM_PARAM, Vect3d(50, 50, 55)},
    {"ACCELERATION", ACCELERATION_PARAM, Vect3d(15, 15, 10)},
};

// Keys of the global positions 1..8 (9 is derived from 8).
const char* const POSITION_KEYS[] = {
    "WASHSTATION1_POSITION", "WASHSTATION2_POSITION", "WASHSTATION3_POSITION",
    "MATRIX1_POSITION",      "MATRIX2_POSITION",      "MATRIX3_POSITION",
    "MATRIX4_POSITION",      "PLATE_SWAP_POSITION",
};

// The plate-swap approach lies this far towards -X of the swap position.
constexpr double PLATE_SWAP_APPROACH_OFFSET = 15.0;

// Steps per revolution truncated toward zero. Values beyond the 32-bit range
// (or not numbers at all) would make the conversion undefined; they are held
// at the ends of the range and NaN becomes 0.
int32_t truncated_steps(double steps) {
    if (std::isnan(steps)) return 0;
    double t = std::trunc(steps);
    if (t >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (t <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(t);
}

// The steps per revolution a scale holds (its int32 range).
constexpr double MIN_STEPS_PER_REV = -2147483648.0;
constexpr double MAX_STEPS_PER_REV = 2147483647.0;

// True when key holds a vector that reads as three reals of which one is
// not finite (nan, inf, or beyond the range of a double such as 1e999):
// such a value would make every conversion to steps undefined. The line
// naming the key is logged; `where` names a plate file.
bool refuse_non_finite(Component& component, const ConfigurationFile& store, const std::string& key,
                       const std::string& where = "") {
    std::string text;
    if (!store.get_value(key, text)) return false;
    Vect3d v;
    try {
        v.set(text);
    } catch (const Exception&) {
        return false;  // unparsable: the reader of the key decides
    }
    if (std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z)) return false;
    component.log_msg("Sipper::load_config() ERROR, " + key + where + " is not finite: " + text, 0);
    return true;
}

// A negative scale reverses its axis and is fine. Zero is not: conversions
// would divide by it. Steps per revolution are also held to the int32 range
// once truncated, so that "0.5" counts as zero and no count wraps.
bool valid_scale(const Vect3d& v, bool steps) {
    for (int i = 0; i < 3; ++i) {
        const double value = steps ? std::trunc(v[i]) : v[i];
        const bool in_range =
            !steps || (value >= MIN_STEPS_PER_REV && value <= MAX_STEPS_PER_REV);
        if (value == 0.0 || !in_range) return false;
    }
    return true;
}

bool usable_as_file_name(const std::string& name) {
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name != "." && name != "..";
}

// The positions a plate file holds, by key.
const struct {
    const char* key;
    int id;
} PLATE_POSITIONS[] = {
    {"SIPPER_SAFE_Z", POSITION_SAFE_HEIGHT},
    {"POSITION0", POSITION_PLATE_REF0},
    {"POSITION1", POSITION_PLATE_REF1},
    {"POSITION2", POSITION_PLATE_REF2},
};

}  // namespace

bool Sipper::get_config_val(const std::string& key, Vect3d& value) {
    return get_config_val(config(), key, value);
}

bool Sipper::get_config_val(const ConfigurationFile& store, const std::string& key,
                            Vect3d& value) {
    try {
        std::string text;
        if (!store.get_value(key, text)) return false;
        Vect3d parsed;
        parsed.set(text);
        parsed.w = 1.0;
        value = parsed;
        return true;
    } catch (const Exception& e) {
        log_msg("get_config_val Error, " + e.message(), 0);
    } catch (...) {
        log_msg("get_config_val Unknown exception caught", 0);
    }
    return false;
}

Vect3d Sipper::vector_or_default(const std::string& key, const Vect3d& fallback) {
    std::string text;
    if (!config().get_value(key, text)) return fallback;
    try {
        Vect3d parsed;
        parsed.set(text);
        parsed.w = 1.0;
        return parsed;
    } catch (...) {
        // An unreadable optional vector silently keeps its default.
        return fallback;
    }
}

void Sipper::load_config(const std::string& path, int& status) {
    // A plate file that does not parse raises out of loading. At construction
    // that ends the process with the file's error; served as a command it
    // would end the main loop and leave the stage unwatched, so it is turned
    // into a failed load here instead.
    try {
        load_sipper_keys(path, status);
    } catch (const Exception& e) {
        log_msg("Sipper::load_config() failed: " + e.message(), 0);
        status = -1;
    } catch (...) {
        log_msg("Sipper::load_config() failed: caught an unknown exception.", 0);
        status = -1;
    }
}

void Sipper::load_sipper_keys(const std::string& path, int& status) {
    Component::load_config(path, status);
    if (status == -1) return;

    std::string missing;
    ConfigurationFile& store = config();

    long kill_switch = 0;
    store.get_value_or_add("CHECK_KILL_SW", kill_switch, 1L);
    check_kill_switch_ = static_cast<int>(kill_switch);

    // A value that is not finite, or an axis scale of 0, fails the load with
    // a line naming the key; it is never stored.
    for (const OptionalVector& v : OPTIONAL_VECTORS) {
        if (refuse_non_finite(*this, store, v.key)) {
            status = -1;
            data_->set_motion_param(v.index, v.fallback);
        } else {
            data_->set_motion_param(v.index, vector_or_default(v.key, v.fallback));
        }
    }

    const struct {
        const char* key;
        int index;
        bool steps;
    } scales[] = {{"AXIS_STEPS_PER_REV", STEPS_PER_REV_PARAM, true},
                  {"AXIS_MM_PER_REV", MM_PER_REV_PARAM, false}};
    for (const auto& scale : scales) {
        Vect3d required;
        if (refuse_non_finite(*this, store, scale.key)) {
            status = -1;
        } else if (!get_config_val(scale.key, required)) {
            missing += std::string(scale.key) + ", ";
            status = -1;
        } else if (!valid_scale(required, scale.steps)) {
            std::string text;
            store.get_value(scale.key, text);
            log_msg(std::string("Sipper::load_config() ERROR, ") + scale.key +
                        (scale.steps
                             ? " must be from -2147483648 to 2147483647 and not 0 in each axis: "
                             : " must not be 0 in each axis: ") +
                        text,
                    0);
            status = -1;
        } else {
            data_->set_motion_param(scale.index, required);
        }
    }

    // Adding a plate clears every defined flag, so the plates come before the
    // global positions.
    if (!load_plate_configs()) status = -1;

    for (int id = POSITION_WASHSTATION1; id <= POSITION_MATRIX4; ++id) {
        Vect3d position;
        if (refuse_non_finite(*this, store, POSITION_KEYS[id - 1])) {
            status = -1;
            data_->set_position_defined(id, false);
        } else if (get_config_val(POSITION_KEYS[id - 1], position)) {
            data_->store_position(id, position);
        } else {
            data_->set_position_defined(id, false);
        }
    }
    Vect3d swap;
    if (refuse_non_finite(*this, store, POSITION_KEYS[POSITION_PLATE_SWAP - 1])) {
        status = -1;
        data_->set_position_defined(POSITION_PLATE_SWAP, false);
        data_->set_position_defined(POSITION_PLATE_SWAP_APPROACH, false);
    } else if (get_config_val(POSITION_KEYS[POSITION_PLATE_SWAP - 1], swap)) {
        data_->store_position(POSITION_PLATE_SWAP, swap);
        Vect3d approach = swap;
        approach.x -= PLATE_SWAP_APPROACH_OFFSET;
        data_->store_position(POSITION_PLATE_SWAP_APPROACH, approach);
    } else {
        data_->set_position_defined(POSITION_PLATE_SWAP, false);
        data_->set_position_defined(POSITION_PLATE_SWAP_APPROACH, false);
    }

    double threshold = 0.0;
    store.get_value_or_add("SIP_SENSOR_THRESHOLD", threshold, 5.0);
    data_->set_sip_sensor_threshold(threshold);
    long present = 0;
    store.get_value_or_add("SIP_SENSOR_PRESENT", present, 0L);
    data_->set_sip_sensor_present(present != 0);
    long tolerance = 0;
    store.get_value_or_add("MISSED_SIP_TOL", tolerance, 5L);
    data_->set_missed_sip_tolerance(static_cast<int>(tolerance));
    long level = 0;
    store.get_value_or_add("INHIBIT_SWITCH_VOLTAGE_LEVEL", level,
                           static_cast<long>(inhibit_voltage_level_));
    inhibit_voltage_level_ = static_cast<int>(level);
    long mask = 0;
    store.get_value_or_add("INHIBIT_SWITCH_MASK", mask, static_cast<long>(inhibit_switch_mask_));
    inhibit_switch_mask_ = static_cast<int>(mask);
    long invert = 0;
    store.get_value_or_add("INVERT_INHIBIT_SWITCH", invert, 0L);
    invert_inhibit_switch_ = static_cast<int>(invert);
    double smoothing = 0.0;
    store.get_value_or_add("SIP_DETECTION_SMOOTHING_FACTOR", smoothing,
                           data_->smoothing_factor());
    data_->set_smoothing_factor(smoothing);

    if (!missing.empty()) {
        missing.erase(missing.size() - 2);
        log_msg("Missing the following config vals: " + missing, 0);
        status = -1;
    }

    // The scales follow whatever the two required vectors hold, also after a
    // failed load.
    const Vect3d steps = data_->motion_param(STEPS_PER_REV_PARAM);
    const Vect3d mm = data_->motion_param(MM_PER_REV_PARAM);
    for (int axis = 1; axis <= 3; ++axis) {
        AxisScale scale;
        scale.valid = true;
        scale.axis = static_cast<uint8_t>(axis);
        scale.steps_per_rev = truncated_steps(steps[axis - 1]);
        scale.mm_per_rev = mm[axis - 1];
        data_->set_axis_scale(axis, scale);
    }
}

void Sipper::save_config(const std::string& path, int& status) {
    ConfigurationFile& store = config();
    store.put_value("VELOCITY", data_->motion_param(VELOCITY_PARAM).to_string());
    store.put_value("ACCELERATION", data_->motion_param(ACCELERATION_PARAM).to_string());
    // A position that is not defined keeps whatever its key holds.
    for (int id = POSITION_WASHSTATION1; id <= POSITION_PLATE_SWAP; ++id) {
        if (data_->position_defined(id))
            store.put_value(POSITION_KEYS[id - 1], data_->position(id).to_string());
    }
    store.put_value("AXIS_STEPS_PER_REV", data_->motion_param(STEPS_PER_REV_PARAM).to_string());
    store.put_value("AXIS_MM_PER_REV", data_->motion_param(MM_PER_REV_PARAM).to_string());
    Component::save_config(path, status);
}

bool Sipper::load_plate_configs() {
    const std::string dir = config().get_dir();
    const std::vector<std::string> files = list_files(dir + "*" + PLATE_EXTENSION);
    // Every name is complete before the first file is read: a file that
    // fails must not leave the names after it with their extension.
    plate_names_.clear();
    for (const std::string& file : files) plate_names_.push_back(file.substr(0, file.find(PLATE_EXTENSION)));

    bool all_finite = true;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string path = dir + files[i];
        // A fresh store per plate: a file that vanished since the listing
        // must not hand the previous plate's values to this one.
        plate_store_ = ConfigurationFile();
        try {
            plate_store_.load_config(path);
        } catch (const Exception& e) {
            // The reader's message gives only line and column: say which file.
            const std::string& message = e.message();
            if (message.find(path) != std::string::npos) throw;
            throw Exception(path + ":" + (!message.empty() && message[0] == ' ' ? "" : " ") + message);
        }
        data_->add_plate(plate_names_[i]);

        long type = 0;
        if (plate_store_.get_value("PLATE_TYPE", type))
            data_->set_active_plate_type(type == 96 ? 96 : 384);

        for (const auto& p : PLATE_POSITIONS) {
            Vect3d position;
            if (refuse_non_finite(*this, plate_store_, p.key, " of " + path)) {
                all_finite = false;
                data_->set_position_defined(p.id, false);
            } else if (get_config_val(plate_store_, p.key, position)) {
                data_->store_position(p.id, position);
            } else {
                data_->set_position_defined(p.id, false);
            }
        }
    }
    return all_finite;
}

void Sipper::save_active_plate() {
    const std::string name = data_->active_plate_name();
    // The plate name comes from a peer; it names a file beside the
    // configuration and nothing else.
    if (!usable_as_file_name(name))
        throw Exception("save_active_plate() ERROR, plate name is not a file name: " + name);
    const std::string path = config().get_dir() + name + PLATE_EXTENSION;

    // Reread the file so that keys written by others survive. Nothing of
    // the previously loaded plate may reach this file: not for a plate
    // without a file yet, nor for a file that exists but cannot be read,
    // whose keys would be lost.
    plate_store_ = ConfigurationFile();
    int code = plate_store_.load_config(path);
    if (code == ConfigurationFile::CONFIG_OK && open_config_file(path) == nullptr)
        throw Exception("save_active_plate() ERROR, cannot read " + path);

    plate_store_.put_value("PLATE_TYPE", static_cast<long>(data_->active_plate_config().type));
    for (const auto& p : PLATE_POSITIONS) {
        if (data_->position_defined(p.id))
            plate_store_.put_value(p.key, data_->position(p.id).to_string());
    }

    if (code == ConfigurationFile::CONFIG_NOT_FOUND)
        code = plate_store_.save_as(path, false);
    else
        code = plate_store_.save();
    if (code != ConfigurationFile::CONFIG_OK)
        throw Exception("save_active_plate() ERROR, cannot write " + path);
}
