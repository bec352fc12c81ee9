#pragma once
#include "interfaces/ComponentMethods.h"

// The supervisor's methods (ids 12 to 14). This system calls none of them, so
// only their names and ids are fixed; the supervisor adds no result slots.
namespace supervisor_methods {

enum Id : std::uint16_t {
    RESET_ALL_COMPONENTS = 12,
    LOAD_EVERY_CONFIGURATION = 13,
    SAVE_EVERY_CONFIGURATION = 14,
};

inline constexpr std::uint32_t BLOCK_OFFSET = component_methods::PROPERTIES_SIZE;
inline constexpr std::uint32_t BLOCK_SIZE = 0;

inline constexpr MethodSpec METHODS[] = {
    named_method("reset_all_components", RESET_ALL_COMPONENTS),
    named_method("load_every_configuration", LOAD_EVERY_CONFIGURATION),
    named_method("save_every_configuration", SAVE_EVERY_CONFIGURATION),
};

inline constexpr InterfaceTable TABLE{"Supervisor", BLOCK_OFFSET, BLOCK_SIZE, METHODS, {}};

inline constexpr std::uint32_t PROPERTIES_SIZE = TABLE.block_end();

static_assert(PROPERTIES_SIZE == 12316);
static_assert(method_layout::slots_fill_block(TABLE));
static_assert(method_layout::ids_ascending(TABLE));

}  // namespace supervisor_methods
