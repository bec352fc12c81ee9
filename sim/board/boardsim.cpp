// boardsim: the operator's tool for the simulated motion boards. Creates or
// resets boards from a stage description, shows a board, sets its inputs,
// faults and time factor, prints its call trace and removes it.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "sim/board/SimBoard.h"
#include "sim/board/StageDescription.h"
#include "utilities/Exception.h"
#include "utilities/Mutex.h"

namespace {

const char* const USAGE =
    "usage: boardsim <command> ...\n"
    "  create FILE [BOARD[=NEW] ...]   create or reset the boards FILE describes (all, or\n"
    "                                  those named; OLD=NEW puts board OLD under number NEW)\n"
    "  show BOARD                      axes, limits, inputs, ports, couplings, faults\n"
    "  trace BOARD [COUNT]             the last COUNT (default 20) board calls\n"
    "  trace-clear BOARD\n"
    "  set-analog BOARD CHANNEL VALUE  resting value of analog channel 81..88\n"
    "  set-port BOARD PORT VALUE       state of digital port 1..4 (0..255)\n"
    "  fault BOARD KIND AXIS on|off    KIND: motor-off, following-error, no-index\n"
    "  fail BOARD FUNCTION STATUS [COUNT|every]\n"
    "                                  the next COUNT (default 1) calls of FUNCTION fail\n"
    "  readback-error BOARD            read_pos_rtn reports -70025 until flush_rdb\n"
    "  clear-faults BOARD\n"
    "  time-factor BOARD FACTOR        board seconds per real second\n"
    "  remove BOARD                    remove the board and its lock pci7344-<BOARD>MUTEX\n";

int usage() {
    std::cerr << USAGE;
    return 2;
}

bool to_long(const std::string& s, long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtol(s.c_str(), &end, 0);
    return !s.empty() && *end == '\0' && errno == 0;
}

bool to_double(const std::string& s, double& out) {
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return !s.empty() && *end == '\0';
}

int failed(const std::string& what) {
    std::cerr << "boardsim: " << what << "\n";
    return 1;
}

int create(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    std::map<int, StageDescription> boards;
    try {
        boards = read_stage_file(args[0]);
    } catch (const Exception& e) {
        return failed(e.message());
    }
    std::map<int, int> numbers;  // described board -> board to create
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const size_t eq = a.find('=');
        long from = 0, to = 0;
        if (!to_long(a.substr(0, eq), from)) return usage();
        to = from;
        if (eq != std::string::npos && !to_long(a.substr(eq + 1), to)) return usage();
        if (!boards.count(static_cast<int>(from))) {
            return failed("board " + std::to_string(from) + " is not described in " + args[0]);
        }
        numbers[static_cast<int>(from)] = static_cast<int>(to);
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

bool board_arg(const std::string& s, int& board) {
    long n = 0;
    if (!to_long(s, n) || n < 0 || n > SimBoard::MAX_BOARD) return false;
    board = static_cast<int>(n);
    return true;
}

int on_board(const std::vector<std::string>& args, size_t extra,
             int (*body)(SimBoard&, const std::vector<std::string>&)) {
    int number = 0;
    if (args.size() < 1 + extra || !board_arg(args[0], number)) return usage();
    SimBoard board(number);
    if (!board.valid()) return failed(board.error());
    return body(board, args);
}

int result(SimBoard& board, bool ok) { return ok ? 0 : failed(board.error()); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);

    if (command == "create") return create(args);
    if (command == "remove") {
        int number = 0;
        if (args.size() != 1 || !board_arg(args[0], number)) return usage();
        const bool board = SimBoard::remove(number);
        const bool lock = Mutex::remove("pci7344-" + std::to_string(number) + "MUTEX");
        std::cout << "board " << number << ": " << (board ? "removed" : "no board segment")
                  << ", lock " << (lock ? "removed" : "absent") << "\n";
        return 0;
    }
    if (command == "show") {
        return on_board(args, 0, [](SimBoard& b, const std::vector<std::string>&) {
            std::cout << b.describe();
            return 0;
        });
    }
    if (command == "trace") {
        return on_board(args, 0, [](SimBoard& b, const std::vector<std::string>& a) {
            long count = 20;
            if (a.size() > 1 && (!to_long(a[1], count) || count < 0)) return usage();
            const auto records = b.trace();
            const size_t first = records.size() > static_cast<size_t>(count) ? records.size() - count : 0;
            for (size_t i = first; i < records.size(); ++i) {
                std::cout << records[i].sequence << "  pid " << records[i].pid << "  " << records[i].text << "\n";
            }
            return 0;
        });
    }
    if (command == "trace-clear") {
        return on_board(args, 0, [](SimBoard& b, const std::vector<std::string>&) {
            return result(b, b.clear_trace());
        });
    }
    if (command == "set-analog") {
        return on_board(args, 2, [](SimBoard& b, const std::vector<std::string>& a) {
            long channel = 0, value = 0;
            if (!to_long(a[1], channel) || !to_long(a[2], value)) return usage();
            return result(b, b.set_analog(static_cast<int>(channel), static_cast<int32_t>(value)));
        });
    }
    if (command == "set-port") {
        return on_board(args, 2, [](SimBoard& b, const std::vector<std::string>& a) {
            long port = 0, value = 0;
            if (!to_long(a[1], port) || !to_long(a[2], value)) return usage();
            return result(b, b.set_port(static_cast<int>(port), static_cast<int>(value)));
        });
    }
    if (command == "fault") {
        return on_board(args, 3, [](SimBoard& b, const std::vector<std::string>& a) {
            long axis = 0;
            if (!to_long(a[2], axis) || (a[3] != "on" && a[3] != "off")) return usage();
            const bool on = a[3] == "on";
            const int ax = static_cast<int>(axis);
            if (a[1] == "motor-off") return result(b, b.set_motor_off_fault(ax, on));
            if (a[1] == "following-error") return result(b, b.set_following_error_fault(ax, on));
            if (a[1] == "no-index") return result(b, b.set_index_fault(ax, on));
            return usage();
        });
    }
    if (command == "fail") {
        return on_board(args, 2, [](SimBoard& b, const std::vector<std::string>& a) {
            long status = 0, count = 1;
            if (!to_long(a[2], status)) return usage();
            if (a.size() > 3) {
                if (a[3] == "every") count = -1;
                else if (!to_long(a[3], count)) return usage();
            }
            return result(b, b.fail_function(a[1], static_cast<int32_t>(status), static_cast<int>(count)));
        });
    }
    if (command == "readback-error") {
        return on_board(args, 0, [](SimBoard& b, const std::vector<std::string>&) {
            return result(b, b.set_readback_error());
        });
    }
    if (command == "clear-faults") {
        return on_board(args, 0, [](SimBoard& b, const std::vector<std::string>&) {
            return result(b, b.clear_faults());
        });
    }
    if (command == "time-factor") {
        return on_board(args, 1, [](SimBoard& b, const std::vector<std::string>& a) {
            double factor = 0;
            if (!to_double(a[1], factor)) return usage();
            return result(b, b.set_time_factor(factor));
        });
    }
    return usage();
}
