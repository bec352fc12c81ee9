#pragma once
#include "interfaces/ComponentMethods.h"

// The sipper's own methods (ids 12 to 39) and its block of result slots after
// the component block. Used by SipperIF and by the sipper's server.
namespace sipper_methods {

enum Id : std::uint16_t {
    GET_STATUS = 12,
    SYSTEM_CONFIGURED = 13,
    HOME = 14,
    SET_ACTIVE_PLATE = 15,
    SET_PLATE_TYPE = 16,
    GET_PLATE_TYPE = 17,
    SET_MISSED_SIP_TOL = 18,
    GET_MISSED_SIP_TOL = 19,
    SET_POSITION = 20,
    GOTO_POSITION = 21,
    GOTO_POSITION_SAFE = 22,
    EMERGENCY = 23,
    RESET_ERROR_STATE = 24,
    GET_CURRENT_POSITIONS = 25,
    SIP = 26,
    STOP_ALL_MOTION = 27,
    WASH = 28,
    GET_PLATE_INFO = 29,
    GET_ALL_PLATE_CONFIGS = 30,
    RESET_RUN_STATS = 31,
    AT_PLATE_SWAP_POSITION = 32,
    TWISTER_ARM_CLEAR_OF_STAGE = 33,
    GET_NUM_PLATE_ROWS = 34,
    GET_NUM_PLATE_COLS = 35,
    IS_HOMED = 36,
    GET_INHIBIT_STATE = 37,
    SAMPLE_INTERFACE_STATES_CHANGED = 38,
    LOG_SIP_SENSOR = 39,
};

inline constexpr std::uint32_t BLOCK_OFFSET = component_methods::PROPERTIES_SIZE;
inline constexpr std::uint32_t BLOCK_SIZE = 8268;

inline constexpr Field STATUS_SLOT{FieldType::i32, 12316};
inline constexpr Field SYSTEM_CONFIGURED_SLOT{FieldType::i32, 12320};
inline constexpr Field PLATE_TYPE_SLOT{FieldType::i32, 12324};
inline constexpr Field MISSED_SIP_TOL_SLOT{FieldType::i32, 12328};
inline constexpr Field SET_POSITION_SLOT{FieldType::i32, 12332};
inline constexpr Field EMERGENCY_SLOT{FieldType::i32, 12336};
// The reals are not aligned to 8 here; slots are copied byte for byte.
inline constexpr Field POSITION_X_SLOT{FieldType::f64, 12340};
inline constexpr Field POSITION_Y_SLOT{FieldType::f64, 12348};
inline constexpr Field POSITION_Z_SLOT{FieldType::f64, 12356};
inline constexpr Field PLATE_INFO_TEXT_SLOT{FieldType::string, 12364};
inline constexpr Field PLATE_INFO_FIRST_SLOT{FieldType::i32, 16460};
inline constexpr Field PLATE_INFO_SECOND_SLOT{FieldType::i32, 16464};
inline constexpr Field ALL_PLATE_CONFIGS_SLOT{FieldType::string, 16468};
inline constexpr Field AT_PLATE_SWAP_SLOT{FieldType::i32, 20564};
inline constexpr Field PLATE_ROWS_SLOT{FieldType::i32, 20568};
inline constexpr Field PLATE_COLS_SLOT{FieldType::i32, 20572};
inline constexpr Field IS_HOMED_SLOT{FieldType::i32, 20576};
inline constexpr Field INHIBIT_STATE_SLOT{FieldType::i32, 20580};

inline constexpr Field SLOTS[] = {
    STATUS_SLOT,        SYSTEM_CONFIGURED_SLOT, PLATE_TYPE_SLOT,        MISSED_SIP_TOL_SLOT,
    SET_POSITION_SLOT,  EMERGENCY_SLOT,         POSITION_X_SLOT,        POSITION_Y_SLOT,
    POSITION_Z_SLOT,    PLATE_INFO_TEXT_SLOT,   PLATE_INFO_FIRST_SLOT,  PLATE_INFO_SECOND_SLOT,
    ALL_PLATE_CONFIGS_SLOT, AT_PLATE_SWAP_SLOT, PLATE_ROWS_SLOT,        PLATE_COLS_SLOT,
    IS_HOMED_SLOT,      INHIBIT_STATE_SLOT,
};

using enum FieldType;

inline constexpr MethodSpec METHODS[] = {
    query_method("get_status", GET_STATUS, {}, {STATUS_SLOT}),
    query_method("system_configured", SYSTEM_CONFIGURED, {}, {SYSTEM_CONFIGURED_SLOT}),
    one_way_method("home", HOME, {}),
    one_way_method("set_active_plate", SET_ACTIVE_PLATE, {string}),
    one_way_method("set_plate_type", SET_PLATE_TYPE, {string, i32}),
    query_method("get_plate_type", GET_PLATE_TYPE, {string}, {PLATE_TYPE_SLOT}),
    one_way_method("set_missed_sip_tol", SET_MISSED_SIP_TOL, {i32}),
    query_method("get_missed_sip_tol", GET_MISSED_SIP_TOL, {}, {MISSED_SIP_TOL_SLOT}),
    query_method("set_position", SET_POSITION, {string, i32}, {SET_POSITION_SLOT}),
    one_way_method("goto_position", GOTO_POSITION, {i32}),
    one_way_method("goto_position_safe", GOTO_POSITION_SAFE, {i32}),
    query_method("emergency", EMERGENCY, {i32}, {EMERGENCY_SLOT}),
    one_way_method("reset_error_state", RESET_ERROR_STATE, {}),
    query_method("get_current_positions", GET_CURRENT_POSITIONS, {},
                 {POSITION_X_SLOT, POSITION_Y_SLOT, POSITION_Z_SLOT}),
    one_way_method("sip", SIP, {string, i32, i32, i32, f64, i32, i32}),
    one_way_method("stop_all_motion", STOP_ALL_MOTION, {}),
    one_way_method("wash", WASH, {i32, i32}),
    query_method("get_plate_info", GET_PLATE_INFO, {},
                 {PLATE_INFO_TEXT_SLOT, PLATE_INFO_FIRST_SLOT, PLATE_INFO_SECOND_SLOT}),
    query_method("get_all_plate_configs", GET_ALL_PLATE_CONFIGS, {}, {ALL_PLATE_CONFIGS_SLOT}),
    one_way_method("reset_run_stats", RESET_RUN_STATS, {}),
    query_method("at_plate_swap_position", AT_PLATE_SWAP_POSITION, {}, {AT_PLATE_SWAP_SLOT}),
    one_way_method("twister_arm_clear_of_stage", TWISTER_ARM_CLEAR_OF_STAGE, {i32}),
    query_method("get_num_plate_rows", GET_NUM_PLATE_ROWS, {}, {PLATE_ROWS_SLOT}),
    query_method("get_num_plate_cols", GET_NUM_PLATE_COLS, {}, {PLATE_COLS_SLOT}),
    query_method("is_homed", IS_HOMED, {}, {IS_HOMED_SLOT}),
    query_method("get_inhibit_state", GET_INHIBIT_STATE, {}, {INHIBIT_STATE_SLOT}),
    one_way_method("sample_interface_states_changed", SAMPLE_INTERFACE_STATES_CHANGED, {}),
    one_way_method("log_sip_sensor", LOG_SIP_SENSOR, {i32}),
};

inline constexpr InterfaceTable TABLE{"sipper", BLOCK_OFFSET, BLOCK_SIZE, METHODS, SLOTS};

inline constexpr std::uint32_t PROPERTIES_SIZE = TABLE.block_end();

static_assert(BLOCK_OFFSET == 12316 && PROPERTIES_SIZE == 20584);
static_assert(method_layout::slots_fill_block(TABLE));
static_assert(method_layout::results_in_slots(TABLE));
static_assert(method_layout::ids_ascending(TABLE));
static_assert(std::size(METHODS) == 28);
static_assert(TABLE.method(SIP).length == 4128 && TABLE.method(SIP).args[4].offset == 4112);
static_assert(TABLE.method(SIP).args[5].offset == 4120 && TABLE.method(SIP).args[6].offset == 4124);
static_assert(TABLE.method(SET_POSITION).length == 4108 && TABLE.method(SET_POSITION).call_id_offset == 4104);
static_assert(TABLE.method(EMERGENCY).length == 12 && TABLE.method(EMERGENCY).call_id_offset == 8);
static_assert(TABLE.method(WASH).length == 12);
static_assert(TABLE.method(GET_PLATE_TYPE).length == 4104);
static_assert(TABLE.method(SET_PLATE_TYPE).length == 4104);

// The name of a value `get_status` answers, for people reading it.
constexpr const char* status_name(int status) {
    switch (status) {
    case 0: return "idle";
    case 1: return "error";
    case 2: return "busy";
    }
    return "unknown";
}

}  // namespace sipper_methods
