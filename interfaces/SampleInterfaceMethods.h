#pragma once
#include "interfaces/ComponentMethods.h"

// The sample interface's methods (ids 12 to 51) and its block of result
// slots. Only the methods this system calls have a fixed message layout; the
// others are known by name and id alone, and which of the remaining slots
// answers them is the sample interface's own business.
namespace sample_interface_methods {

enum Id : std::uint16_t {
    START_SIPPING = 12,
    GET_TIMING_FILE = 13,
    GET_SAMPLE_TIMING = 14,
    STOP_SIPPING = 15,
    CYCLE_STATE = 16,
    SET_CYCLE_STATE_NAME = 17,
    GET_CYCLE_STATE_NAME = 18,
    SET_CYCLE_STATE_DURATION = 19,
    GET_CYCLE_STATE_DURATION = 20,
    GET_NUM_CYCLE_STATES = 21,
    COMMAND_VALVE = 22,
    COMMAND_ALL_VALVES = 23,
    GET_VALVE_POS = 24,
    GET_VALVES_STATUS_CODE = 25,
    GET_STATUS_BITMASK = 26,
    GET_VALVE_STEPS_LOAD = 27,
    SET_VALVE_STEPS_LOAD = 28,
    GET_VALVE_STEPS_INJECT = 29,
    SET_VALVE_STEPS_INJECT = 30,
    GET_VALVE_STEPS_TOL = 31,
    SET_VALVE_STEPS_TOL = 32,
    GET_ERROR_CODE = 33,
    CLEAR_ERROR_CODE = 34,
    EXERCISE_VALVE = 35,
    SET_VALVE_TO_HOME = 36,
    HOME_VALVE_USING_INDEX = 37,
    GET_VALVE_HOMED = 38,
    SET_VALVE_HOMED = 39,
    INIT_VALVE = 40,
    NEW_TIMING_FILE = 41,
    NEW_TOF_MAP_FILE = 42,
    RECORD_TIMING_START = 43,
    RECORD_TIMING_END = 44,
    ZERO_VALVE_POS = 45,
    TASK_THREAD_BUSY = 46,
    RESET_SAMPLE_COUNT = 47,
    GET_VACUUM = 48,
    VACUUM_SENSOR_PRESENT = 49,
    VACUUM_THRESHOLD = 50,
    VACUUM_CHECK_DELAY = 51,
};

inline constexpr std::uint32_t BLOCK_OFFSET = component_methods::PROPERTIES_SIZE;
inline constexpr std::uint32_t BLOCK_SIZE = 12392;

constexpr Field slot(FieldType type, std::uint32_t block_offset)
{
    return Field{type, BLOCK_OFFSET + block_offset};
}

// The slots this system reads.
inline constexpr Field CYCLE_STATE_SLOT = slot(FieldType::i32, 8212);
inline constexpr Field CYCLE_STATE_DURATION_SLOT = slot(FieldType::i32, 12312);
inline constexpr Field NUM_CYCLE_STATES_SLOT = slot(FieldType::i32, 12316);

inline constexpr Field SLOTS[] = {
    slot(FieldType::string, 0),  slot(FieldType::string, 4096), slot(FieldType::i32, 8192),
    slot(FieldType::i32, 8196),  slot(FieldType::f64, 8200),    slot(FieldType::i32, 8208),
    CYCLE_STATE_SLOT,            slot(FieldType::string, 8216), CYCLE_STATE_DURATION_SLOT,
    NUM_CYCLE_STATES_SLOT,       slot(FieldType::i32, 12320),   slot(FieldType::i32, 12324),
    slot(FieldType::i32, 12328), slot(FieldType::i32, 12332),   slot(FieldType::i32, 12336),
    slot(FieldType::i32, 12340), slot(FieldType::i32, 12344),   slot(FieldType::i32, 12348),
    slot(FieldType::i32, 12352), slot(FieldType::i32, 12356),   slot(FieldType::i32, 12360),
    slot(FieldType::f64, 12364), slot(FieldType::i32, 12372),   slot(FieldType::f64, 12376),
    slot(FieldType::f64, 12384),
};

using enum FieldType;

inline constexpr MethodSpec METHODS[] = {
    one_way_method("start_sipping", START_SIPPING, {string, i32, i32, i32, i32}),
    named_method("get_timing_file", GET_TIMING_FILE),
    named_method("get_sample_timing", GET_SAMPLE_TIMING),
    named_method("stop_sipping", STOP_SIPPING),
    query_method("cycle_state", CYCLE_STATE, {}, {CYCLE_STATE_SLOT}),
    named_method("set_cycle_state_name", SET_CYCLE_STATE_NAME),
    named_method("get_cycle_state_name", GET_CYCLE_STATE_NAME),
    one_way_method("set_cycle_state_duration", SET_CYCLE_STATE_DURATION, {i32, i32}),
    query_method("get_cycle_state_duration", GET_CYCLE_STATE_DURATION, {i32}, {CYCLE_STATE_DURATION_SLOT}),
    query_method("get_num_cycle_states", GET_NUM_CYCLE_STATES, {}, {NUM_CYCLE_STATES_SLOT}),
    named_method("command_valve", COMMAND_VALVE),
    named_method("command_all_valves", COMMAND_ALL_VALVES),
    named_method("get_valve_pos", GET_VALVE_POS),
    named_method("get_valves_status_code", GET_VALVES_STATUS_CODE),
    named_method("get_status_bitmask", GET_STATUS_BITMASK),
    named_method("get_valve_steps_load", GET_VALVE_STEPS_LOAD),
    named_method("set_valve_steps_load", SET_VALVE_STEPS_LOAD),
    named_method("get_valve_steps_inject", GET_VALVE_STEPS_INJECT),
    named_method("set_valve_steps_inject", SET_VALVE_STEPS_INJECT),
    named_method("get_valve_steps_tol", GET_VALVE_STEPS_TOL),
    named_method("set_valve_steps_tol", SET_VALVE_STEPS_TOL),
    named_method("get_error_code", GET_ERROR_CODE),
    named_method("clear_error_code", CLEAR_ERROR_CODE),
    named_method("exercise_valve", EXERCISE_VALVE),
    named_method("set_valve_to_home", SET_VALVE_TO_HOME),
    named_method("home_valve_using_index", HOME_VALVE_USING_INDEX),
    named_method("get_valve_homed", GET_VALVE_HOMED),
    named_method("set_valve_homed", SET_VALVE_HOMED),
    named_method("init_valve", INIT_VALVE),
    named_method("new_timing_file", NEW_TIMING_FILE),
    named_method("new_tof_map_file", NEW_TOF_MAP_FILE),
    named_method("record_timing_start", RECORD_TIMING_START),
    named_method("record_timing_end", RECORD_TIMING_END),
    named_method("zero_valve_pos", ZERO_VALVE_POS),
    named_method("task_thread_busy", TASK_THREAD_BUSY),
    named_method("reset_sample_count", RESET_SAMPLE_COUNT),
    named_method("get_vacuum", GET_VACUUM),
    named_method("vacuum_sensor_present", VACUUM_SENSOR_PRESENT),
    named_method("vacuum_threshold", VACUUM_THRESHOLD),
    named_method("vacuum_check_delay", VACUUM_CHECK_DELAY),
};

inline constexpr InterfaceTable TABLE{"SampleInterface", BLOCK_OFFSET, BLOCK_SIZE, METHODS, SLOTS};

inline constexpr std::uint32_t PROPERTIES_SIZE = TABLE.block_end();

static_assert(PROPERTIES_SIZE == 24708);
static_assert(method_layout::slots_fill_block(TABLE));
static_assert(method_layout::results_in_slots(TABLE));
static_assert(method_layout::ids_ascending(TABLE));
static_assert(std::size(METHODS) == 40);
static_assert(CYCLE_STATE_SLOT.offset == 20528 && CYCLE_STATE_DURATION_SLOT.offset == 24628 &&
              NUM_CYCLE_STATES_SLOT.offset == 24632);
static_assert(TABLE.method(START_SIPPING).length == 4116 && TABLE.method(START_SIPPING).args[4].offset == 4112);
static_assert(TABLE.method(GET_CYCLE_STATE_DURATION).length == 12 &&
              TABLE.method(GET_CYCLE_STATE_DURATION).call_id_offset == 8);
static_assert(TABLE.method(SET_CYCLE_STATE_DURATION).length == 12);

}  // namespace sample_interface_methods
