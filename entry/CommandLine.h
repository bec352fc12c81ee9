#pragma once
#include <string>
#include <vector>

// Splits a command-line text the way the component entry expects: the list
// starts with "dummy", blanks separate arguments (two blanks give an empty
// one), and double quotes group blanks while staying part of the argument.
//   split_command_line_args("a \"b c\"") -> {"dummy", "a", "\"b c\""}
std::vector<std::string> split_command_line_args(const std::string& text);
