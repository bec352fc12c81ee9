// The board-library boundary at configure time, through throwaway CMake
// trees of the project (configure only, a few seconds): a stand-in library
// with all 27 board functions is taken, and the simulator drops out of the
// build; one that lacks a function is refused with the function's name.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ShellCommand.h"

using namespace shell_command;

namespace {

const std::string SOURCE = SIPPER_SOURCE_DIR;

// "int32_t flex_...(...)" of the system's own declarations, each whole.
std::vector<std::pair<std::string, std::string>> board_functions()
{
    const std::string header = read_file(SOURCE + "/motion/flexmotion.h");
    const std::regex declaration(R"((int32_t (flex_[a-z0-9_]+)\([^;]*\));)");
    std::vector<std::pair<std::string, std::string>> found;
    for (auto i = std::sregex_iterator(header.begin(), header.end(), declaration); i != std::sregex_iterator(); ++i)
        found.emplace_back((*i)[2], (*i)[1]);
    return found;
}

}  // namespace

TEST(BoardLibrary, ConfigureAcceptsAllTheFunctionsAndNamesTheOneAStandInLacks)
{
    const auto functions = board_functions();
    ASSERT_EQ(functions.size(), 27u);
    TempTree tmp("board_library");

    // Stand-ins returning success: one with every function, one without
    // flex_read_pos_rtn.
    const std::string dropped = "flex_read_pos_rtn";
    for (const bool complete : {true, false}) {
        SCOPED_TRACE(complete ? "all 27 functions" : "26 functions");
        const std::string name = complete ? "complete" : "lacking";
        const std::string base = tmp.path() + "/" + name;
        {
            std::ofstream stub(base + ".cpp");
            stub << "#include \"motion/flexmotion.h\"\n";
            for (const auto& [function, signature] : functions)
                if (complete || function != dropped)
                    stub << signature << " { return 0; }\n";
        }
        const CommandResult built =
            run_command(std::string(SIPPER_CXX_COMPILER) + " -std=c++20 -w -fPIC -I " + quote(SOURCE) + " -c " +
                        quote(base + ".cpp") + " -o " + quote(base + ".o") + " && ar rcs " +
                        quote(tmp.path() + "/lib" + name + ".a") + " " + quote(base + ".o"));
        ASSERT_EQ(built.status, 0) << built.output;

        const std::string tree = tmp.path() + "/tree-" + name;
        const CommandResult configured =
            run_command("cmake -S " + quote(SOURCE) + " -B " + quote(tree) + " -DSIPPER_TESTS=OFF -DSIPPER_BOARD_LIBRARY=" +
                        quote(tmp.path() + "/lib" + name + ".a"));
        if (complete) {
            ASSERT_EQ(configured.status, 0) << configured.output;
            EXPECT_NE(configured.output.find("defines all 27 board functions"), std::string::npos) << configured.output;
            EXPECT_NE(configured.output.find("are not built"), std::string::npos) << configured.output;
            // The system's programs are there, the simulator's are not.
            const CommandResult targets = run_command("cmake --build " + quote(tree) + " --target help");
            for (const char* program : {"sipper", "sipperctl", "sipper-config"})
                EXPECT_NE(targets.output.find("... " + std::string(program) + "\n"), std::string::npos) << program;
            for (const char* program : {"installation-sim", "boardsim", "sipper_flexsim", "flexsim"})
                EXPECT_EQ(targets.output.find("... " + std::string(program) + "\n"), std::string::npos) << program;
        } else {
            EXPECT_NE(configured.status, 0) << configured.output;
            // CMake wraps the message's lines.
            const std::string text = std::regex_replace(configured.output, std::regex(R"(\s+)"), " ");
            EXPECT_NE(text.find("lacks 1 of the 27 board functions: " + dropped), std::string::npos)
                << configured.output;
            // No function the library has is named.
            for (const auto& [function, signature] : functions)
                EXPECT_EQ(std::regex_search(text, std::regex("\\b" + function + "\\b")), function == dropped)
                    << function << "\n"
                    << configured.output;
        }
    }
}
