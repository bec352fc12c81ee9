#include "web/CommandParser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <set>

#include "interfaces/ComponentMethods.h"
#include "interfaces/SipperMethods.h"

using nlohmann::json;

namespace {

// A refusal; thrown inside parse and turned into the result.
struct Refusal {
    std::string field;
    std::string message;
};

struct NeedPlate {};

const json* field(const json& body, const char* name)
{
    auto it = body.find(name);
    return it == body.end() ? nullptr : &*it;
}

std::int32_t int_field(const json& body, const char* name, std::int64_t low, std::int64_t high,
                       std::optional<std::int32_t> fallback)
{
    const json* v = field(body, name);
    if (v == nullptr) {
        if (fallback)
            return *fallback;
        throw Refusal{name, std::string("missing field \"") + name + "\""};
    }
    if (!v->is_number_integer())
        throw Refusal{name, std::string("field \"") + name + "\" must be an integer"};
    // Unsigned values beyond the signed range are out of range all the same.
    const bool too_big = v->is_number_unsigned() && v->get<std::uint64_t>() > static_cast<std::uint64_t>(high);
    const std::int64_t x = too_big ? high + 1 : v->get<std::int64_t>();
    if (x < low || x > high)
        throw Refusal{name, std::string("field \"") + name + "\" must lie between " + std::to_string(low) +
                                " and " + std::to_string(high)};
    return static_cast<std::int32_t>(x);
}

double real_field(const json& body, const char* name, double low, double high, double fallback)
{
    const json* v = field(body, name);
    if (v == nullptr)
        return fallback;
    if (!v->is_number())
        throw Refusal{name, std::string("field \"") + name + "\" must be a number"};
    const double x = v->get<double>();
    if (!std::isfinite(x) || x < low || x > high)
        throw Refusal{name, std::string("field \"") + name + "\" must lie between " + std::to_string(low) +
                                " and " + std::to_string(high)};
    return x;
}

std::string text_field(const json& body, const char* name, std::optional<std::string> fallback)
{
    const json* v = field(body, name);
    if (v == nullptr) {
        if (fallback)
            return *fallback;
        throw Refusal{name, std::string("missing field \"") + name + "\""};
    }
    if (!v->is_string())
        throw Refusal{name, std::string("field \"") + name + "\" must be a string"};
    std::string s = v->get<std::string>();
    if (s.size() > STRING_FIELD_SIZE - 1)
        throw Refusal{name, std::string("field \"") + name + "\" is longer than " +
                                std::to_string(STRING_FIELD_SIZE - 1) + " characters"};
    if (s.find('\0') != std::string::npos)
        throw Refusal{name, std::string("field \"") + name + "\" holds a NUL character"};
    return s;
}

void only_fields(const json& body, std::initializer_list<const char*> allowed)
{
    std::set<std::string> ok{"command"};
    for (const char* a : allowed)
        ok.insert(a);
    for (auto it = body.begin(); it != body.end(); ++it)
        if (ok.count(it.key()) == 0)
            throw Refusal{it.key(), "unknown field \"" + it.key() + "\" for command \"" +
                                        body["command"].get<std::string>() + "\""};
}

CommandParser::Command simple(const std::string& name, std::uint16_t method, std::string_view method_name)
{
    CommandParser::Command c;
    c.name = name;
    c.method = method;
    c.sent = {{"method", std::string(method_name)}, {"arguments", json::object()}};
    return c;
}

CommandParser::Command position_command(const json& body, const std::string& name, std::uint16_t method)
{
    only_fields(body, {"position"});
    const std::int32_t id = int_field(body, "position", CommandParser::FIRST_POSITION_ID,
                                      CommandParser::LAST_POSITION_ID, std::nullopt);
    CommandParser::Command c = simple(name, method, name);
    c.args = {id};
    c.sent["arguments"] = {{"position", id}};
    return c;
}

std::int32_t wash_time(const json& body, const char* name)
{
    return int_field(body, name, 0, CommandParser::MAX_WASH_TIME_MS, CommandParser::DEFAULT_WASH_TIME_MS);
}

CommandParser::Command sip_command(const json& body, const CommandParser::Plate* plate)
{
    only_fields(body, {"well", "row", "column", "matrix", "tag", "depth", "wash_time1", "wash_time2", "text"});
    const bool by_name = field(body, "well") != nullptr;
    const bool by_grid = field(body, "row") != nullptr || field(body, "column") != nullptr;
    const bool by_matrix = field(body, "matrix") != nullptr;
    if (by_name + by_grid + by_matrix != 1)
        throw Refusal{"well", "give exactly one of \"well\", \"row\" and \"column\", or \"matrix\""};

    CommandParser::SipOrder order;
    if (by_matrix) {
        const std::int32_t n = int_field(body, "matrix", 1, CommandParser::MATRIX_STATIONS, std::nullopt);
        order.label = "matrix" + std::to_string(n);
        order.row = CommandParser::MATRIX_ROW;
        order.column = n;
    } else {
        const char* what = by_name ? "well" : "row";
        int row = 0;
        int column = 0;
        if (by_name) {
            const std::string name = text_field(body, "well", std::nullopt);
            if (!CommandParser::well_from_name(name, row, column))
                throw Refusal{"well", "field \"well\" must name a well like \"B7\""};
        } else {
            row = int_field(body, "row", 0, std::numeric_limits<std::int32_t>::max(), std::nullopt);
            column = int_field(body, "column", 0, std::numeric_limits<std::int32_t>::max(), std::nullopt);
        }
        if (plate == nullptr)
            throw NeedPlate{};
        if (row >= plate->rows)
            throw Refusal{what, "well " + CommandParser::well_name(row, column) + " lies outside plate \"" +
                                    plate->name + "\" (" + std::to_string(plate->rows) + " rows)"};
        if (column >= plate->columns)
            throw Refusal{by_name ? "well" : "column",
                          "well " + CommandParser::well_name(row, column) + " lies outside plate \"" + plate->name +
                              "\" (" + std::to_string(plate->columns) + " columns)"};
        order.label = CommandParser::well_name(row, column);
        order.row = row;
        order.column = column;
    }
    order.tag = int_field(body, "tag", std::numeric_limits<std::int32_t>::min(),
                          std::numeric_limits<std::int32_t>::max(), 0);
    const double depth = real_field(body, "depth", -CommandParser::MAX_DEPTH_MM, CommandParser::MAX_DEPTH_MM, 0.0);
    const std::int32_t w1 = wash_time(body, "wash_time1");
    const std::int32_t w2 = wash_time(body, "wash_time2");
    const std::string text = text_field(body, "text", order.label);

    CommandParser::Command c = simple("sip", sipper_methods::SIP, "sip");
    c.args = {text, order.tag, order.row, order.column, depth, w1, w2};
    c.sent["arguments"] = {{"text", text},   {"tag", order.tag},   {"row", order.row},     {"column", order.column},
                           {"depth", depth}, {"wash_time1", w1}, {"wash_time2", w2}};
    c.sip = order;
    return c;
}

CommandParser::Command build(const json& body, const CommandParser::Plate* plate)
{
    const json* name_field = field(body, "command");
    if (name_field == nullptr)
        throw Refusal{"command", "missing field \"command\""};
    if (!name_field->is_string())
        throw Refusal{"command", "field \"command\" must be a string"};
    const std::string name = name_field->get<std::string>();

    if (name == "reset" || name == "run" || name == "home" || name == "stop_all_motion" ||
        name == "reset_error_state") {
        only_fields(body, {});
        if (name == "reset") return simple(name, component_methods::RESET, "reset");
        if (name == "run") return simple(name, component_methods::RUN, "run");
        if (name == "home") return simple(name, sipper_methods::HOME, "home");
        if (name == "stop_all_motion") return simple(name, sipper_methods::STOP_ALL_MOTION, "stop_all_motion");
        return simple(name, sipper_methods::RESET_ERROR_STATE, "reset_error_state");
    }
    if (name == "set_active_plate") {
        only_fields(body, {"plate"});
        const std::string p = text_field(body, "plate", std::nullopt);
        if (plate == nullptr)
            throw NeedPlate{};
        bool known = false;
        for (const std::string& n : plate->names)
            known = known || n == p;
        if (!known)
            throw Refusal{"plate", "no plate configuration named \"" + p + "\""};
        CommandParser::Command c = simple(name, sipper_methods::SET_ACTIVE_PLATE, name);
        c.args = {p};
        c.sent["arguments"] = {{"plate", p}};
        return c;
    }
    if (name == "goto_position") return position_command(body, name, sipper_methods::GOTO_POSITION);
    if (name == "goto_position_safe") return position_command(body, name, sipper_methods::GOTO_POSITION_SAFE);
    if (name == "sip") return sip_command(body, plate);
    if (name == "wash") {
        only_fields(body, {"wash_time1", "wash_time2"});
        const std::int32_t w1 = wash_time(body, "wash_time1");
        const std::int32_t w2 = wash_time(body, "wash_time2");
        CommandParser::Command c = simple(name, sipper_methods::WASH, name);
        c.args = {w1, w2};
        c.sent["arguments"] = {{"wash_time1", w1}, {"wash_time2", w2}};
        return c;
    }
    if (name == "park") {
        only_fields(body, {});
        CommandParser::Command c = simple(name, sipper_methods::GOTO_POSITION, "goto_position");
        c.args = {CommandParser::PLATE_SWAP_POSITION_ID};
        c.sent["arguments"] = {{"position", CommandParser::PLATE_SWAP_POSITION_ID}};
        return c;
    }
    throw Refusal{"command", "unknown command \"" + name + "\""};
}

}  // namespace

const std::vector<std::string>& CommandParser::command_names()
{
    static const std::vector<std::string> names{"reset", "run",  "home", "set_active_plate", "goto_position",
                                                "goto_position_safe", "sip", "wash", "stop_all_motion",
                                                "reset_error_state", "park"};
    return names;
}

bool CommandParser::well_from_name(const std::string& name, int& row, int& column)
{
    if (name.size() < 2 || name.size() > 4 || !std::isalpha(static_cast<unsigned char>(name[0])))
        return false;
    row = std::toupper(static_cast<unsigned char>(name[0])) - 'A';
    int number = 0;
    for (std::size_t i = 1; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return false;
        number = number * 10 + (name[i] - '0');
    }
    if (number < 1 || name[1] == '0')
        return false;
    column = number - 1;
    return true;
}

std::string CommandParser::well_name(int row, int column)
{
    std::string r = row >= 0 && row < 26 ? std::string(1, static_cast<char>('A' + row)) : "row" + std::to_string(row) + "-";
    return r + std::to_string(column + 1);
}

CommandParser::Result CommandParser::parse(const std::string& body, const Plate* plate)
{
    Result r;
    // Keys seen in each open object, to refuse a key given twice (which of
    // the two would count is not for the parser to guess), and the last key,
    // to name the field of a number that does not fit a double.
    std::vector<std::vector<std::string>> open_objects;
    std::string last_key;
    const json::parser_callback_t check = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start)
            open_objects.emplace_back();
        else if (event == json::parse_event_t::object_end && !open_objects.empty())
            open_objects.pop_back();
        else if (event == json::parse_event_t::key && !open_objects.empty()) {
            last_key = parsed.get<std::string>();
            std::vector<std::string>& keys = open_objects.back();
            if (std::find(keys.begin(), keys.end(), last_key) != keys.end())
                throw Refusal{last_key, "field \"" + last_key + "\" is given more than once"};
            keys.push_back(last_key);
        }
        return true;
    };
    try {
        const json parsed = json::parse(body, check);
        if (!parsed.is_object())
            throw Refusal{"body", "the body must be a JSON object"};
        r.command = build(parsed, plate);
        r.ok = true;
    } catch (const json::parse_error& e) {
        r.field = "body";
        r.message = std::string("malformed JSON: ") + e.what();
    } catch (const json::out_of_range& e) {
        // 1e400 and the like: too large for a double.
        r.field = last_key.empty() ? "body" : last_key;
        r.message = "field \"" + r.field + "\" holds a number that does not fit a double";
    } catch (const Refusal& e) {
        r.field = e.field;
        r.message = e.message;
    } catch (const NeedPlate&) {
        r.needs_plate = true;
    }
    return r;
}
