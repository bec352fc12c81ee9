#pragma once
#include "interfaces/ComponentMethods.h"

// The methods of a motion board's owner component (ids 12 to 19) and its five
// result slots. This system only asks "get_ID", answered in the first slot.
namespace ni7344_methods {

enum Id : std::uint16_t {
    GET_ID = 12,
    GET_NEW_DIR_VAR = 13,
    GET_NEW_INDIR_VAR = 14,
    GET_NEW_LABEL = 15,
    GET_NEW_PROG = 16,
    FREE_DIR_VAR = 17,
    FREE_LABEL = 18,
    FREE_PROG = 19,
};

inline constexpr std::uint32_t BLOCK_OFFSET = component_methods::PROPERTIES_SIZE;
inline constexpr std::uint32_t BLOCK_SIZE = 20;

inline constexpr Field ID_SLOT{FieldType::i32, 12316};
inline constexpr Field SLOTS[] = {ID_SLOT, {FieldType::i32, 12320}, {FieldType::i32, 12324},
                                  {FieldType::i32, 12328}, {FieldType::i32, 12332}};

inline constexpr MethodSpec METHODS[] = {
    query_method("get_ID", GET_ID, {}, {ID_SLOT}),
    named_method("get_new_dir_var", GET_NEW_DIR_VAR),
    named_method("get_new_indir_var", GET_NEW_INDIR_VAR),
    named_method("get_new_label", GET_NEW_LABEL),
    named_method("get_new_prog", GET_NEW_PROG),
    named_method("free_dir_var", FREE_DIR_VAR),
    named_method("free_label", FREE_LABEL),
    named_method("free_prog", FREE_PROG),
};

inline constexpr InterfaceTable TABLE{"NI7344", BLOCK_OFFSET, BLOCK_SIZE, METHODS, SLOTS};

inline constexpr std::uint32_t PROPERTIES_SIZE = TABLE.block_end();

static_assert(PROPERTIES_SIZE == 12336);
static_assert(method_layout::slots_fill_block(TABLE));
static_assert(method_layout::results_in_slots(TABLE));
static_assert(method_layout::ids_ascending(TABLE));
static_assert(TABLE.method(GET_ID).length == 8 && TABLE.method(GET_ID).call_id_offset == 4);

}  // namespace ni7344_methods
