// A sipper built against the simulated board as a shared library, named by
// path like any other board library (a throwaway CMake tree of the project),
// drives the boards of the simulated installation.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/package/example_installation.h"
#include "tests/sipper/fixed_names_lock.h"

using namespace package_test;

namespace {

// Other test runs on the machine may keep the fixed names for minutes.
constexpr long LOCK_WAIT_MS = 20 * 60 * 1000;

}  // namespace

namespace {

const std::string SOURCE = SIPPER_SOURCE_DIR;
const std::string BUILD = SIPPER_BUILD_DIR;

std::string configure_command(const std::string& tree, const std::string& library)
{
    std::string c = "cmake -S " + quote(SOURCE) + " -B " + quote(tree) + " -DSIPPER_TESTS=OFF -DCMAKE_BUILD_TYPE=" +
                    SIPPER_BUILD_TYPE + " -DSIPPER_BOARD_LIBRARY=" + quote(library);
    if (!std::string(SIPPER_CXX_LAUNCHER).empty())
        c += " -DCMAKE_CXX_COMPILER_LAUNCHER=" + quote(SIPPER_CXX_LAUNCHER);
    return c;
}

}  // namespace

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
    // With real boards the sipper runs alone under its own unit.
    EXPECT_TRUE(exists(tree + "/packaging/sipper@.service.in"));
    EXPECT_FALSE(exists(tree + "/packaging/sipper-installation@.service.in"));
    // Installed, it keeps the library's directory (outside the loader's path) as its run path.
    const std::string install_rules = read_file(tree + "/entry/cmake_install.cmake");
    EXPECT_NE(install_rules.find("NEW_RPATH \"" + BUILD + "/lib"), std::string::npos) << install_rules;

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

    // Without the names, cleaning up stale objects would break whoever holds them.
    const bool failed_before = ::testing::Test::HasFailure();
    sipper_test::FixedNamesLock names(LOCK_WAIT_MS);
    ASSERT_EQ(::testing::Test::HasFailure(), failed_before) << "not running the installation without the fixed names";
    run.run_and_stop();
    EXPECT_NE(read_file(tmp.path() + "/run/logs/installation.log").find("started " + sipper + " as pid"),
              std::string::npos);
    ASSERT_EQ(run.position.size(), 3u);
}
