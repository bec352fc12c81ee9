#pragma once
#include <memory>
#include <string>
#include <vector>

class Component;

// The three steps that start a component process:
//
//   int main(int argc, char** argv) { return run_process(argc, argv); }
//
// split_command_line serves callers that hold one command-line text (the
// installation simulator); it splits it with "dummy" as element 0 and then
// calls run_process.

// Exit statuses of a component process.
constexpr int EXIT_KILLED = 0;        // ended by kill or a stop signal
constexpr int EXIT_FAILED = 1;        // an exception ended its main loop
constexpr int EXIT_CANNOT_START = 2;  // bad arguments, or its constructor failed (its configuration)

// Runs the component named by the arguments until it is killed; reports any
// escaping exception on standard error as "<argv[0]> caught exception: ...".
// Returns one of the exit statuses above.
int run_process(int argc, char** argv);

// Element 1 interface name, 2 log file, 3 configuration file; further
// elements are ignored. Raises Exception when fewer than 4 elements are given.
std::unique_ptr<Component> create_component(const std::vector<std::string>& args);

// Splits the text, runs run_process on it and returns its exit code.
int split_command_line(const std::string& command_line);
