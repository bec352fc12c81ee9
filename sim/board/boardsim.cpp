// boardsim: the operator's tool for the simulated motion boards. Creates or
// resets boards from a stage description, shows a board, sets its inputs,
// faults and time factor, prints its call trace and removes it.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "sim/board/SimBoard.h"
#include "sim/board/StageDescription.h"
#include "utilities/Exception.h"
#include "utilities/Mutex.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

int failed(const std::string& what) {
    std::cerr << "boardsim: " << what << "\n";
    return EXIT_FAILED;
}

// A whole decimal, octal or hexadecimal number, as the other arguments are read.
bool to_int(const std::string& s, int& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

// "N" or "N=M" of the create command: described board N, created as board M.
bool board_mapping(const std::string& text, int& from, int& to) {
    const size_t eq = text.find('=');
    auto number = [](const std::string& s, int& out) {
        return to_int(s, out) && out >= 0 && out <= SimBoard::MAX_BOARD;
    };
    if (!number(text.substr(0, eq), from)) return false;
    to = from;
    return eq == std::string::npos || number(text.substr(eq + 1), to);
}

int create(const std::string& file, const std::vector<std::string>& mappings) {
    std::map<int, StageDescription> boards;
    try {
        boards = read_stage_file(file);
    } catch (const Exception& e) {
        return failed(e.message());
    }
    std::map<int, int> numbers;  // described board -> board to create
    for (const std::string& m : mappings) {
        int from = 0, to = 0;
        board_mapping(m, from, to);  // already checked by the parser
        if (!boards.count(from)) {
            return failed("board " + std::to_string(from) + " is not described in " + file);
        }
        numbers[from] = to;
    }
    if (numbers.empty()) {
        for (const auto& entry : boards) numbers[entry.first] = entry.first;
    }
    const auto renumbered = renumber_boards(boards, numbers);
    int status = 0;
    for (const auto& [from, to] : numbers) {
        std::string error;
        if (SimBoard::create(to, renumbered.at(to), &error)) {
            std::cout << "board " << to << " ready (" << SimBoard::segment_name(to) << ")\n";
        } else {
            status = failed("board " + std::to_string(to) + ": " + error);
        }
    }
    return status;
}

int result(SimBoard& board, bool ok) { return ok ? 0 : failed(board.error()); }

// Opens the board the command names and runs the command on it.
int on_board(int number, const std::function<int(SimBoard&)>& body) {
    SimBoard board(number);
    if (!board.valid()) return failed(board.error());
    return body(board);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Creates, shows and changes the simulated motion boards.", "boardsim");
    app.require_subcommand(1);
    app.footer("Exit: 0 done, 1 the board refused or is missing, 2 usage error.");

    std::function<int()> action;
    int number = 0;
    // Every command but create names one board first.
    auto command = [&](const std::string& name, const std::string& what) {
        CLI::App* sub = app.add_subcommand(name, what);
        sub->add_option("BOARD", number, "board number")->required()->check(CLI::Range(0, SimBoard::MAX_BOARD));
        return sub;
    };

    std::string file;
    std::vector<std::string> mappings;
    CLI::App* create_cmd = app.add_subcommand(
        "create", "create or reset the boards FILE describes (all, or those named; OLD=NEW puts board OLD "
                  "under number NEW)");
    create_cmd->add_option("FILE", file, "stage description")->required();
    create_cmd->add_option("BOARD", mappings, "BOARD or OLD=NEW")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                int from = 0, to = 0;
                return board_mapping(text, from, to) ? "" : "\"" + text + "\" is not BOARD or OLD=NEW (0.." +
                                                                std::to_string(SimBoard::MAX_BOARD) + ")";
            },
            "BOARD[=NEW]"));
    create_cmd->callback([&] { action = [&] { return create(file, mappings); }; });

    command("show", "axes, limits, inputs, ports, couplings, faults")->callback([&] {
        action = [&] {
            return on_board(number, [](SimBoard& b) {
                std::cout << b.describe();
                return 0;
            });
        };
    });

    int count = 20;
    CLI::App* trace = command("trace", "the last COUNT board calls");
    trace->add_option("COUNT", count, "how many (default 20)")->check(CLI::Range(0, INT32_MAX));
    trace->callback([&] {
        action = [&] {
            return on_board(number, [&](SimBoard& b) {
                const auto records = b.trace();
                const size_t first = records.size() > static_cast<size_t>(count) ? records.size() - count : 0;
                for (size_t i = first; i < records.size(); ++i) {
                    std::cout << records[i].sequence << "  pid " << records[i].pid << "  " << records[i].text
                              << "\n";
                }
                return 0;
            });
        };
    });

    command("trace-clear", "forget the recorded calls")->callback([&] {
        action = [&] { return on_board(number, [](SimBoard& b) { return result(b, b.clear_trace()); }); };
    });

    int channel = 0, port = 0, axis = 0;
    std::int32_t value = 0;
    CLI::App* analog = command("set-analog", "resting value of an analog channel");
    analog->add_option("CHANNEL", channel, "81..88 (0x51..0x58)")->required();
    analog->add_option("VALUE", value, "counts")->required();
    analog->callback([&] {
        action = [&] {
            return on_board(number, [&](SimBoard& b) { return result(b, b.set_analog(channel, value)); });
        };
    });

    CLI::App* set_port = command("set-port", "state of a digital port");
    set_port->add_option("PORT", port, "1..4")->required();
    set_port->add_option("VALUE", value, "0..255")->required();
    set_port->callback([&] {
        action = [&] {
            return on_board(number, [&](SimBoard& b) {
                return result(b, b.set_port(port, static_cast<int>(value)));
            });
        };
    });

    std::string kind, state;
    CLI::App* fault = command("fault", "turn a fault of an axis on or off");
    fault->add_option("KIND", kind, "the fault")->required()->check(
        CLI::IsMember({"motor-off", "following-error", "no-index"}));
    fault->add_option("AXIS", axis, "1..4")->required();
    fault->add_option("STATE", state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    fault->callback([&] {
        action = [&] {
            return on_board(number, [&](SimBoard& b) {
                const bool on = state == "on";
                if (kind == "motor-off") return result(b, b.set_motor_off_fault(axis, on));
                if (kind == "following-error") return result(b, b.set_following_error_fault(axis, on));
                return result(b, b.set_index_fault(axis, on));
            });
        };
    });

    std::string function, times = "1";
    std::int32_t status = 0;
    CLI::App* fail = command("fail", "the next COUNT calls (or every call) of FUNCTION fail with STATUS");
    fail->add_option("FUNCTION", function, "board function without its flex_ prefix, e.g. start")->required();
    fail->add_option("STATUS", status, "status the calls return")->required();
    fail->add_option("COUNT", times, "how many calls (default 1), or every")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                int n = 0;
                if (text == "every" || (to_int(text, n) && n >= 0)) return "";
                return "\"" + text + "\" is neither a count nor every";
            },
            "COUNT|every"));
    fail->callback([&] {
        action = [&] {
            return on_board(number, [&](SimBoard& b) {
                int calls = -1;
                if (times != "every") to_int(times, calls);
                return result(b, b.fail_function(function, status, calls));
            });
        };
    });

    int nth = 0;
    std::string call_function = "any";
    CLI::App* fail_call = command("fail-call", "exactly the N-th call from now (of FUNCTION) fails once");
    fail_call->add_option("N", nth, "which call, counting from 1")->required()->check(CLI::Range(1, INT32_MAX));
    fail_call->add_option("STATUS", status, "status the call returns")->required();
    fail_call->add_option("FUNCTION", call_function, "board function without its flex_ prefix (default: any)");
    fail_call->callback([&] {
        action = [&] {
            return on_board(number, [&](SimBoard& b) { return result(b, b.fail_call(nth, status, call_function)); });
        };
    });

    command("readback-error", "read_pos_rtn reports -70025 until flush_rdb")->callback([&] {
        action = [&] {
            return on_board(number, [](SimBoard& b) { return result(b, b.set_readback_error()); });
        };
    });

    command("clear-faults", "clear every fault and failing function")->callback([&] {
        action = [&] { return on_board(number, [](SimBoard& b) { return result(b, b.clear_faults()); }); };
    });

    double factor = 1;
    CLI::App* time_factor = command("time-factor", "board seconds per real second");
    time_factor->add_option("FACTOR", factor, "a positive number")->required();
    time_factor->callback([&] {
        action = [&] {
            return on_board(number, [&](SimBoard& b) { return result(b, b.set_time_factor(factor)); });
        };
    });

    command("remove", "remove the board and its lock pci7344-<BOARD>MUTEX")->callback([&] {
        action = [&] {
            const bool board = SimBoard::remove(number);
            const bool lock = Mutex::remove("pci7344-" + std::to_string(number) + "MUTEX");
            std::cout << "board " << number << ": " << (board ? "removed" : "no board segment") << ", lock "
                      << (lock ? "removed" : "absent") << "\n";
            return 0;
        };
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string help = "boardsim";
        for (const CLI::App* sub : app.get_subcommands()) help += " " + sub->get_name();
        std::string what = e.what();
        if (app.get_subcommands().empty() && !app.remaining().empty()) {
            const std::string w = app.remaining()[0];
            what = (w[0] == '-' ? "unknown option " : "unknown command ") + w;
        }
        std::cerr << "boardsim: " << what << "\n(" << help << " --help shows the usage)\n";
        return EXIT_USAGE;
    }
    return action();
}
