#pragma once
#include "interfaces/ComponentMethods.h"

// The log server's methods (ids 12 to 18) and its one result slot. This
// system only sends "add_log_msg"; the other methods are known by name and id.
namespace log_server_methods {

enum Id : std::uint16_t {
    ADD_LOG_MSG = 12,
    CLEAR_BATCH_DIR = 13,
    ADD_BATCH_DIR = 14,
    START_BATCH_LOG = 15,
    END_BATCH_LOG = 16,
    ATTACH_NEW_LOG_LISTENER = 17,
    DETACH_LOG_LISTENER = 18,
};

inline constexpr std::uint32_t BLOCK_OFFSET = component_methods::PROPERTIES_SIZE;
inline constexpr std::uint32_t BLOCK_SIZE = STRING_FIELD_SIZE;

inline constexpr Field TEXT_SLOT{FieldType::string, BLOCK_OFFSET};
inline constexpr Field SLOTS[] = {TEXT_SLOT};

inline constexpr MethodSpec METHODS[] = {
    one_way_method("add_log_msg", ADD_LOG_MSG, {FieldType::string}),
    named_method("clear_batch_dir", CLEAR_BATCH_DIR),
    named_method("add_batch_dir", ADD_BATCH_DIR),
    named_method("start_batch_log", START_BATCH_LOG),
    named_method("end_batch_log", END_BATCH_LOG),
    named_method("attach_new_log_listener", ATTACH_NEW_LOG_LISTENER),
    named_method("detach_log_listener", DETACH_LOG_LISTENER),
};

inline constexpr InterfaceTable TABLE{"LogServer", BLOCK_OFFSET, BLOCK_SIZE, METHODS, SLOTS};

inline constexpr std::uint32_t PROPERTIES_SIZE = TABLE.block_end();

static_assert(PROPERTIES_SIZE == 16412);
static_assert(method_layout::slots_fill_block(TABLE));
static_assert(method_layout::ids_ascending(TABLE));
static_assert(TABLE.method(ADD_LOG_MSG).length == 4100);

}  // namespace log_server_methods
