#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "remote/SipperLink.h"

// Turns the body of POST /api/v1/commands into one sipper call, or into the
// reason it is refused, naming the field at fault. Nothing here talks to the
// sipper: a command that needs the active plate (a well to sip, a plate to
// select) asks for it with needs_plate, and is parsed again with it.
//
//   CommandParser::Result r = CommandParser::parse(R"({"command":"sip","well":"B7"})", nullptr);
//   if (r.needs_plate) r = CommandParser::parse(body, &plate);
//   if (r.ok) link.call(r.command.method, r.command.args);   // else 400 r.field r.message
class CommandParser {
public:
    // What the sipper said about its plates.
    struct Plate {
        std::string name;
        int rows = 0;
        int columns = 0;
        std::vector<std::string> names;  // every loaded plate configuration
    };

    // A sip's target, kept so its outcome can be shown on the well.
    struct SipOrder {
        std::string label;  // "B7", "matrix2"
        int row = 0;        // as sent: plate row from 0, or 1000 for a matrix station
        int column = 0;
        std::int32_t tag = 0;
    };

    struct Command {
        std::string name;  // the API's command name
        std::uint16_t method = 0;
        SipperLink::Args args;
        nlohmann::json sent;  // method and named arguments, for the 202 answer
        std::optional<SipOrder> sip;
    };

    struct Result {
        bool ok = false;
        bool needs_plate = false;
        std::string field;  // the field at fault ("body" for the body as a whole)
        std::string message;
        Command command;
    };

    static Result parse(const std::string& body, const Plate* plate);

    // The commands, in the order the page and the document list them.
    static const std::vector<std::string>& command_names();

    // Limits of the values accepted.
    static constexpr int FIRST_POSITION_ID = 1;
    static constexpr int LAST_POSITION_ID = 13;
    static constexpr int PLATE_SWAP_POSITION_ID = 8;
    static constexpr int MAX_WASH_TIME_MS = 600000;
    static constexpr double MAX_DEPTH_MM = 100.0;
    static constexpr int DEFAULT_WASH_TIME_MS = 500;
    static constexpr int MATRIX_ROW = 1000;
    static constexpr int MATRIX_STATIONS = 4;

    // "B7" -> row 1, column 6; false when the text is not a well name.
    static bool well_from_name(const std::string& name, int& row, int& column);
    static std::string well_name(int row, int column);
};
