#pragma once
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

// Raises the system's Exception; a table used with an id or argument it lacks
// is a programming error.
[[noreturn]] void method_table_error(const char* what);

// The layout of one interface method, computed once at compile time from its
// argument types, and the table of one interface's methods and result slots.
// Clients build their messages from these records and servers decode them from
// the same records, so the two sides cannot disagree about a byte.
//
//   constexpr MethodSpec m = query_method("set_position", 20,
//       {FieldType::string, FieldType::i32}, {Field{FieldType::i32, 12332}});
//   static_assert(m.length == 4108 && m.call_id_offset == 4104);

enum class FieldType : std::uint8_t { none, i32, f64, string };

enum class CallKind : std::uint8_t {
    one_way,
    query,
    // A peer method whose message layout this system neither sends nor relies
    // on; only its name and id are fixed.
    unspecified,
};

// Width of a string field in a message or a result slot; it holds at most
// STRING_FIELD_SIZE - 1 characters and always ends with a NUL.
inline constexpr std::uint32_t STRING_FIELD_SIZE = 4096;

// Message header: u16 length, u16 method id.
inline constexpr std::uint32_t MESSAGE_HEADER_SIZE = 4;

// Properties area header words and the start of the component block.
inline constexpr std::uint32_t CALL_COUNTER_OFFSET = 0;
inline constexpr std::uint32_t COMPLETED_CALL_OFFSET = 4;
inline constexpr std::uint32_t TIMEOUT_OFFSET = 8;
inline constexpr std::uint32_t PROPERTIES_HEADER_SIZE = 12;

// One argument field of a message (offset from the message start) or one
// result slot (absolute offset in the properties area).
struct Field {
    FieldType type = FieldType::none;
    std::uint32_t offset = 0;
};

constexpr std::uint32_t field_width(FieldType type)
{
    switch (type) {
    case FieldType::i32: return 4;
    case FieldType::f64: return 8;
    case FieldType::string: return STRING_FIELD_SIZE;
    case FieldType::none: return 0;
    }
    return 0;
}

inline constexpr int MAX_METHOD_ARGS = 8;
inline constexpr int MAX_METHOD_RESULTS = 4;

struct MethodSpec {
    std::string_view name;
    std::uint16_t id = 0;
    CallKind kind = CallKind::unspecified;
    int arg_count = 0;
    Field args[MAX_METHOD_ARGS] = {};
    // Offset of the u32 call id (queries only, 0 otherwise).
    std::uint32_t call_id_offset = 0;
    // Whole message length, header included.
    std::uint32_t length = 0;
    int result_count = 0;
    Field results[MAX_METHOD_RESULTS] = {};

    constexpr bool layout_known() const { return kind != CallKind::unspecified; }
    constexpr bool is_query() const { return kind == CallKind::query; }
};

namespace method_layout {

// Lays the arguments out after the header: integers take 4 bytes, reals 8
// bytes aligned to 8 from the message start, strings a 4096-byte field; a
// query's call id follows the last argument. A message holding a real is
// rounded up to a multiple of 8.
constexpr MethodSpec make(std::string_view name, std::uint16_t id, CallKind kind,
                          std::initializer_list<FieldType> args,
                          std::initializer_list<Field> results)
{
    MethodSpec m;
    m.name = name;
    m.id = id;
    m.kind = kind;
    std::uint32_t offset = MESSAGE_HEADER_SIZE;
    bool has_real = false;
    for (FieldType type : args) {
        if (m.arg_count == MAX_METHOD_ARGS || type == FieldType::none)
            method_table_error("too many or empty argument fields");
        if (type == FieldType::f64) {
            offset = (offset + 7) / 8 * 8;
            has_real = true;
        }
        m.args[m.arg_count++] = Field{type, offset};
        offset += field_width(type);
    }
    if (kind == CallKind::query) {
        m.call_id_offset = offset;
        offset += 4;
    }
    if (has_real)
        offset = (offset + 7) / 8 * 8;
    m.length = offset;
    for (const Field& slot : results) {
        if (m.result_count == MAX_METHOD_RESULTS || slot.type == FieldType::none)
            method_table_error("too many or empty result slots");
        m.results[m.result_count++] = slot;
    }
    return m;
}

}  // namespace method_layout

constexpr MethodSpec one_way_method(std::string_view name, std::uint16_t id,
                                    std::initializer_list<FieldType> args)
{
    return method_layout::make(name, id, CallKind::one_way, args, {});
}

constexpr MethodSpec query_method(std::string_view name, std::uint16_t id,
                                  std::initializer_list<FieldType> args,
                                  std::initializer_list<Field> results)
{
    return method_layout::make(name, id, CallKind::query, args, results);
}

constexpr MethodSpec named_method(std::string_view name, std::uint16_t id)
{
    return method_layout::make(name, id, CallKind::unspecified, {}, {});
}

// The methods and the block of result slots one interface class adds on top
// of its base. Blocks are appended in order: the component block starts at 12,
// an interface's own block at 12316.
struct InterfaceTable {
    std::string_view name;
    std::uint32_t block_offset = 0;
    std::uint32_t block_size = 0;
    std::span<const MethodSpec> methods;
    // Every result slot of the block, in order, including those whose method
    // belongs to the peer alone.
    std::span<const Field> slots;

    constexpr std::uint32_t block_end() const { return block_offset + block_size; }

    constexpr const MethodSpec* find(std::uint16_t id) const
    {
        for (const MethodSpec& m : methods)
            if (m.id == id)
                return &m;
        return nullptr;
    }

    constexpr const MethodSpec* find(std::string_view method_name) const
    {
        for (const MethodSpec& m : methods)
            if (m.name == method_name)
                return &m;
        return nullptr;
    }

    // The method with this id; an id the table lacks stops compilation in a
    // constant expression and raises an Exception otherwise.
    constexpr const MethodSpec& method(std::uint16_t id) const
    {
        for (const MethodSpec& m : methods)
            if (m.id == id)
                return m;
        method_table_error("no such method id in the interface table");
    }
};

namespace method_layout {

// True when the slots lie inside the block, in order, without overlap, and
// the block ends right after the last one.
constexpr bool slots_fill_block(const InterfaceTable& t)
{
    std::uint32_t offset = t.block_offset;
    for (const Field& f : t.slots) {
        if (f.offset != offset)
            return false;
        offset += field_width(f.type);
    }
    return offset == t.block_end();
}

// True when every result of every method is one of the slots of the table
// or of an earlier block.
constexpr bool results_in_slots(const InterfaceTable& t)
{
    for (const MethodSpec& m : t.methods) {
        for (int k = 0; k < m.result_count; ++k) {
            bool found = false;
            for (const Field& f : t.slots)
                found = found || (f.offset == m.results[k].offset && f.type == m.results[k].type);
            if (!found)
                return false;
        }
    }
    return true;
}

// True when the ids are unique and the methods are listed in id order.
constexpr bool ids_ascending(const InterfaceTable& t)
{
    for (std::size_t i = 1; i < t.methods.size(); ++i)
        if (t.methods[i].id <= t.methods[i - 1].id)
            return false;
    return true;
}

}  // namespace method_layout
