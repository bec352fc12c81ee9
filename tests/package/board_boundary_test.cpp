// The board-library boundary, through throwaway CMake trees of the project:
// configure refuses a library that lacks a board function and names it; a
// sipper built against the simulated board as a shared library, named by
// path like any other board library, drives the boards of the simulated
// installation.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/package/example_installation.h"
#include "tests/sipper/fixed_names_lock.h"

using namespace package_test;

namespace {

const std::string SOURCE = SIPPER_SOURCE_DIR;
const std::string BUILD = SIPPER_BUILD_DIR;

// "int32_t flex_...(...);" of the system's own declarations, each whole.
std::vector<std::pair<std::string, std::string>> board_functions()
{
    const std::string header = read_file(SOURCE + "/motion/flexmotion.h");
    const std::regex declaration(R"((int32_t (flex_[a-z0-9_]+)\([^;]*\));)");
    std::vector<std::pair<std::string, std::string>> found;
    for (auto i = std::sregex_iterator(header.begin(), header.end(), declaration); i != std::sregex_iterator(); ++i)
        found.emplace_back((*i)[2], (*i)[1]);
    return found;
}

std::string configure_command(const std::string& tree, const std::string& library)
{
    std::string c = "cmake -S " + quote(SOURCE) + " -B " + quote(tree) + " -DSIPPER_TESTS=OFF -DCMAKE_BUILD_TYPE=" +
                    SIPPER_BUILD_TYPE + " -DSIPPER_BOARD_LIBRARY=" + quote(library);
    if (!std::string(SIPPER_CXX_LAUNCHER).empty())
        c += " -DCMAKE_CXX_COMPILER_LAUNCHER=" + quote(SIPPER_CXX_LAUNCHER);
    return c;
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
        const CommandResult configured = run_command(configure_command(tree, tmp.path() + "/lib" + name + ".a"));
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
            EXPECT_NE(configured.output.find("lacks 1 of the 27 board functions"), std::string::npos)
                << configured.output;
            // Named once, and no function it has is named.
            for (const auto& [function, signature] : functions)
                EXPECT_EQ(configured.output.find("  " + function + "\n") != std::string::npos, function == dropped)
                    << function << "\n"
                    << configured.output;
        }
    }
}

TEST(BoardLibrary, SipperBuiltAgainstTheSharedSimulatedBoardRunsTheExampleInstallation)
{
    const std::string library = BUILD + "/lib/libflexsim.so";
    ASSERT_TRUE(exists(library));
    TempTree tmp("board_shared");
    const std::string tree = tmp.path() + "/tree";
    const CommandResult configured = run_command(configure_command(tree, library));
    ASSERT_EQ(configured.status, 0) << configured.output;
    const CommandResult built = run_command("cmake --build " + quote(tree) + " -j2 --target sipper");
    ASSERT_EQ(built.status, 0) << built.output;
    const std::string sipper = tree + "/bin/sipper";

    // Linked to the library by path, not holding a copy of the board.
    const CommandResult dynamic = run_command("readelf -d " + quote(sipper));
    EXPECT_NE(dynamic.output.find("Shared library: [libflexsim.so]"), std::string::npos) << dynamic.output;
    const CommandResult defined = run_command("nm --defined-only " + quote(sipper));
    EXPECT_EQ(defined.output.find(" flex_start"), std::string::npos);

    // The example installation, with this sipper as its component and the
    // simulated boards of the ordinary build's installation-sim.
    ExampleInstallation run(BUILD + "/bin/installation-sim", BUILD + "/bin/sipperctl", tmp.path() + "/run",
                            {tree + "/bin", BUILD + "/bin"});
    run.prepare_from(SOURCE + "/examples");
    std::string installation = read_file(run.cfg("installation.cfg"));
    const std::string stage = "\"../sim/board/stage-default.cfg\"", component = "[\"sipper Sipper ";
    ASSERT_NE(installation.find(stage), std::string::npos);
    ASSERT_NE(installation.find(component), std::string::npos);
    installation.replace(installation.find(stage), stage.size(), "\"" + SOURCE + "/sim/board/stage-default.cfg\"");
    installation.replace(installation.find(component), component.size(), "[\"" + sipper + " Sipper ");
    std::ofstream(run.cfg("installation.cfg")) << installation;

    sipper_test::FixedNamesLock names;
    run.run_and_stop();
    EXPECT_NE(read_file(tmp.path() + "/run/logs/installation.log").find("started " + sipper + " as pid"),
              std::string::npos);
    ASSERT_EQ(run.position.size(), 3u);
}
