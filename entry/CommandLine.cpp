#include "entry/CommandLine.h"

std::vector<std::string> split_command_line_args(const std::string& text) {
    std::vector<std::string> args{"dummy"};
    std::string current;
    bool in_quotes = false;
    for (const char c : text) {
        if (c == '"') in_quotes = !in_quotes;
        if (c == ' ' && !in_quotes) {
            args.push_back(current);
            current.clear();
        } else if (c == '"' && !in_quotes) {
            // The closing quote ends the argument it belongs to.
            current += c;
            args.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) args.push_back(current);
    return args;
}
