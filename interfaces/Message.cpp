#include "interfaces/Message.h"

#include <algorithm>

#include "utilities/Exception.h"

void method_table_error(const char* what)
{
    throw Exception(std::string("interface method table: ") + what);
}

Message::Message(const MethodSpec& method) : bytes_(method.length, 0)
{
    if (method.length < MESSAGE_HEADER_SIZE)
        method_table_error("message shorter than its header");
    wire::store_u16(bytes_.data(), static_cast<std::uint16_t>(method.length));
    wire::store_u16(bytes_.data() + 2, method.id);
}

Message::Message(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

std::uint16_t Message::length_field() const
{
    return bytes_.size() >= 2 ? wire::load_u16(bytes_.data()) : 0;
}

std::uint16_t Message::id() const
{
    return bytes_.size() >= 4 ? wire::load_u16(bytes_.data() + 2) : 0xFFFF;
}

bool Message::fits(const MethodSpec& method) const
{
    return bytes_.size() >= method.length;
}

const Field& Message::arg(const MethodSpec& method, int k, FieldType type) const
{
    if (k < 0 || k >= method.arg_count)
        method_table_error("argument index outside the method's arguments");
    if (method.args[k].type != type)
        method_table_error("argument used with another type than the method declares");
    return method.args[k];
}

bool Message::holds(std::uint32_t offset, std::uint32_t width) const
{
    return std::size_t(offset) + width <= bytes_.size();
}

void Message::set_int(const MethodSpec& method, int k, std::int32_t value)
{
    const Field& f = arg(method, k, FieldType::i32);
    if (holds(f.offset, 4))
        std::memcpy(bytes_.data() + f.offset, &value, 4);
}

void Message::set_real(const MethodSpec& method, int k, double value)
{
    const Field& f = arg(method, k, FieldType::f64);
    if (holds(f.offset, 8))
        std::memcpy(bytes_.data() + f.offset, &value, 8);
}

void Message::set_string(const MethodSpec& method, int k, std::string_view text)
{
    const Field& f = arg(method, k, FieldType::string);
    if (!holds(f.offset, STRING_FIELD_SIZE))
        return;
    std::uint8_t* field = bytes_.data() + f.offset;
    const std::size_t n = std::min<std::size_t>(text.size(), STRING_FIELD_SIZE - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, STRING_FIELD_SIZE - n);
}

void Message::set_call_id(const MethodSpec& method, std::uint32_t call_id)
{
    if (!method.is_query())
        method_table_error("call id set on a method that is not a query");
    if (holds(method.call_id_offset, 4))
        wire::store_u32(bytes_.data() + method.call_id_offset, call_id);
}

std::int32_t Message::get_int(const MethodSpec& method, int k) const
{
    const Field& f = arg(method, k, FieldType::i32);
    std::int32_t value = 0;
    if (holds(f.offset, 4))
        std::memcpy(&value, bytes_.data() + f.offset, 4);
    return value;
}

double Message::get_real(const MethodSpec& method, int k) const
{
    const Field& f = arg(method, k, FieldType::f64);
    double value = 0.0;
    if (holds(f.offset, 8))
        std::memcpy(&value, bytes_.data() + f.offset, 8);
    return value;
}

std::string Message::get_string(const MethodSpec& method, int k) const
{
    const Field& f = arg(method, k, FieldType::string);
    if (f.offset >= bytes_.size())
        return {};
    // A field without its NUL, or cut short by the message's end, yields the
    // characters that are there, never more than 4095.
    const std::size_t available = std::min<std::size_t>(bytes_.size() - f.offset, STRING_FIELD_SIZE - 1);
    const char* field = reinterpret_cast<const char*>(bytes_.data() + f.offset);
    const void* nul = std::memchr(field, 0, available);
    const std::size_t n = nul ? static_cast<const char*>(nul) - field : available;
    return std::string(field, n);
}

std::uint32_t Message::call_id(const MethodSpec& method) const
{
    if (!method.is_query())
        method_table_error("call id read from a method that is not a query");
    return holds(method.call_id_offset, 4) ? wire::load_u32(bytes_.data() + method.call_id_offset) : 0;
}
