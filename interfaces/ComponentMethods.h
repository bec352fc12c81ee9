#pragma once
#include "interfaces/MethodSpec.h"

// The twelve methods every component serves (ids 0 to 11) and the component
// block of result slots at offset 12. Used by ComponentIF and by the server
// of these methods.
//
//   const MethodSpec& m = component_methods::TABLE.method(component_methods::GET_STATE);
namespace component_methods {

enum Id : std::uint16_t {
    RUN = 0,
    STOP = 1,
    RESET = 2,
    KILL = 3,
    GET_NAME = 4,
    GET_STATE = 5,
    SAVE_CONFIG = 6,
    DELETE_CONFIG = 7,
    LOAD_CONFIG = 8,
    LOG_MSG = 9,
    GET_COMPONENT_VERSION = 10,
    GET_CFG_DIR = 11,
};

inline constexpr std::uint32_t BLOCK_OFFSET = PROPERTIES_HEADER_SIZE;
inline constexpr std::uint32_t BLOCK_SIZE = 12304;

inline constexpr Field NAME_SLOT{FieldType::string, 12};
inline constexpr Field STATE_SLOT{FieldType::i32, 4108};
inline constexpr Field SAVE_RESULT_SLOT{FieldType::i32, 4112};
inline constexpr Field DELETE_RESULT_SLOT{FieldType::i32, 4116};
inline constexpr Field LOAD_RESULT_SLOT{FieldType::i32, 4120};
inline constexpr Field VERSION_SLOT{FieldType::string, 4124};
inline constexpr Field CFG_DIR_SLOT{FieldType::string, 8220};

inline constexpr Field SLOTS[] = {NAME_SLOT, STATE_SLOT, SAVE_RESULT_SLOT, DELETE_RESULT_SLOT,
                                  LOAD_RESULT_SLOT, VERSION_SLOT, CFG_DIR_SLOT};

inline constexpr MethodSpec METHODS[] = {
    one_way_method("run", RUN, {}),
    one_way_method("stop", STOP, {}),
    one_way_method("reset", RESET, {}),
    one_way_method("kill", KILL, {}),
    query_method("get_name", GET_NAME, {}, {NAME_SLOT}),
    query_method("get_state", GET_STATE, {}, {STATE_SLOT}),
    query_method("save_config", SAVE_CONFIG, {FieldType::string}, {SAVE_RESULT_SLOT}),
    query_method("delete_config", DELETE_CONFIG, {FieldType::string}, {DELETE_RESULT_SLOT}),
    query_method("load_config", LOAD_CONFIG, {FieldType::string}, {LOAD_RESULT_SLOT}),
    one_way_method("log_msg", LOG_MSG, {FieldType::string, FieldType::i32}),
    query_method("get_component_version", GET_COMPONENT_VERSION, {}, {VERSION_SLOT}),
    query_method("get_cfg_dir", GET_CFG_DIR, {}, {CFG_DIR_SLOT}),
};

inline constexpr InterfaceTable TABLE{"component", BLOCK_OFFSET, BLOCK_SIZE, METHODS, SLOTS};

// Properties size of an interface with the component block only.
inline constexpr std::uint32_t PROPERTIES_SIZE = TABLE.block_end();

static_assert(PROPERTIES_SIZE == 12316);
static_assert(method_layout::slots_fill_block(TABLE));
static_assert(method_layout::results_in_slots(TABLE));
static_assert(method_layout::ids_ascending(TABLE));
static_assert(TABLE.method(GET_STATE).length == 8 && TABLE.method(GET_STATE).call_id_offset == 4);
static_assert(TABLE.method(SAVE_CONFIG).length == 4104 && TABLE.method(SAVE_CONFIG).call_id_offset == 4100);
static_assert(TABLE.method(LOG_MSG).length == 4104 && TABLE.method(LOG_MSG).args[1].offset == 4100);
static_assert(TABLE.method(KILL).length == 4);

// The name of a value `get_state` answers, for people reading it.
constexpr const char* state_name(int state) {
    switch (state) {
    case 0: return "CREATED";
    case 1: return "READY";
    case 2: return "RUNNING";
    case 3: return "INIT_FAILED";
    }
    return "unknown";
}

}  // namespace component_methods
