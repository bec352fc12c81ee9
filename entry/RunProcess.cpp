#include "entry/RunProcess.h"

#include <iostream>

#include "component/Component.h"
#include "entry/CommandLine.h"
#include "utilities/Exception.h"

std::unique_ptr<Component> create_component(const std::vector<std::string>& args) {
    if (args.size() < 4) throw Exception("Must specify interface name, logfile, and config file");
    // The sipper component is built by its own library; until it is linked
    // into this program there is no component to construct.
    throw Exception("the sipper component is not part of this build yet, cannot start interface " +
                    args[1]);
}

int run_process(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; argv != nullptr && i < argc; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");
    const std::string process_name = (argv != nullptr && argc > 0) ? args[0] : "component";

    std::unique_ptr<Component> component;
    try {
        component = create_component(args);
        component->main();
    } catch (const Exception& e) {
        std::cerr << process_name << " caught exception: " << e.message() << "\n" << std::flush;
    } catch (...) {
        std::cerr << process_name << " caught unknown exception.\n" << std::flush;
    }
    component.reset();
    return 0;
}

int split_command_line(const std::string& command_line) {
    std::vector<std::string> args = split_command_line_args(command_line);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return run_process(static_cast<int>(args.size()), argv.data());
}
