#pragma once
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/MethodSpec.h"

static_assert(std::endian::native == std::endian::little,
              "channel layouts are little-endian and copied as native words");

// Little-endian words in shared memory and messages, read and written without
// alignment requirements.
namespace wire {
inline std::uint16_t load_u16(const void* p) { std::uint16_t v; std::memcpy(&v, p, 2); return v; }
inline std::uint32_t load_u32(const void* p) { std::uint32_t v; std::memcpy(&v, p, 4); return v; }
inline void store_u16(void* p, std::uint16_t v) { std::memcpy(p, &v, 2); }
inline void store_u32(void* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
}  // namespace wire

// One command message as it travels through a command queue: u16 length,
// u16 method id, then the argument fields of the method's layout. Arguments
// are addressed by the method's table record and their index in declaration
// order, so no code spells out an offset.
//
//   const MethodSpec& m = sipper_methods::TABLE.method(sipper_methods::WASH);
//   Message msg(m);                 // zero-filled, header set
//   msg.set_int(m, 0, 1); msg.set_int(m, 1, 2);
//   ...
//   int station = msg.get_int(m, 0);
//
// Reading never goes past the end of the message: a field that does not fit
// reads as 0 or as an empty string.
class Message {
public:
    Message() = default;
    // A zero-filled message of the method's length with length and id set.
    // Raises std::bad_alloc when memory is exhausted.
    explicit Message(const MethodSpec& method);
    // The bytes of a message as taken off a queue.
    explicit Message(std::vector<std::uint8_t> bytes);

    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::uint8_t* data() { return bytes_.data(); }

    // The u16 length word at offset 0 (0 for a message shorter than 2 bytes).
    std::uint16_t length_field() const;
    // The u16 method id at offset 2 (0xFFFF for a message shorter than 4 bytes).
    std::uint16_t id() const;
    // True when the message holds every field of the method's layout.
    bool fits(const MethodSpec& method) const;

    // Argument k of the method (counting every argument in declaration order).
    // Using an index whose field has another type raises an Exception: that is
    // a mistake in the calling code, not in the message.
    void set_int(const MethodSpec& method, int k, std::int32_t value);
    void set_real(const MethodSpec& method, int k, double value);
    // Copies at most 4095 characters; the rest of the field stays zero.
    void set_string(const MethodSpec& method, int k, std::string_view text);
    void set_call_id(const MethodSpec& method, std::uint32_t call_id);

    std::int32_t get_int(const MethodSpec& method, int k) const;
    double get_real(const MethodSpec& method, int k) const;
    // The text up to the field's first NUL, at most 4095 characters.
    std::string get_string(const MethodSpec& method, int k) const;
    std::uint32_t call_id(const MethodSpec& method) const;

private:
    const Field& arg(const MethodSpec& method, int k, FieldType type) const;
    bool holds(std::uint32_t offset, std::uint32_t width) const;

    std::vector<std::uint8_t> bytes_;
};
