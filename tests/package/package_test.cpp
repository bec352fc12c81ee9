// The Debian package as an engineer receives it: scripts/package builds it
// (lintian-clean, its unit verified where systemd-analyze exists), dpkg-deb
// unpacks it into an empty root, and the example installation runs from the
// unpacked files alone: no build tree, no source tree.
#include <gtest/gtest.h>

#include <string>

#include "tests/package/example_installation.h"
#include "tests/sipper/fixed_names_lock.h"

using namespace package_test;

namespace {

// Other test runs on the machine may keep the fixed names for minutes.
constexpr long LOCK_WAIT_MS = 20 * 60 * 1000;

}  // namespace

TEST(Package, BuildsUnpacksAndRunsTheExampleInstallationFromTheUnpackedFiles)
{
    const std::string build = std::string(SIPPER_BUILD_DIR) + "/package";
    const CommandResult made = run_command(quote(std::string(SIPPER_SOURCE_DIR) + "/scripts/package") + " " + quote(build));
    ASSERT_EQ(made.status, 0) << made.output;
    // The last line names the package.
    std::string deb = made.output.substr(0, made.output.find_last_not_of('\n') + 1);
    deb = deb.substr(deb.find_last_of('\n') + 1);
    ASSERT_EQ(deb, build + "/sipper_" SIPPER_VERSION "_amd64.deb") << made.output;

    const CommandResult fields = run_command("dpkg-deb -f " + quote(deb) + " Package Version Architecture Depends");
    ASSERT_EQ(fields.status, 0) << fields.output;
    EXPECT_NE(fields.output.find("Package: sipper\n"), std::string::npos) << fields.output;
    EXPECT_NE(fields.output.find("Version: " SIPPER_VERSION "\n"), std::string::npos) << fields.output;
    EXPECT_NE(fields.output.find("Architecture: amd64\n"), std::string::npos) << fields.output;
    // The C++ runtime found by dpkg-shlibdeps, and adduser for the maintainer script.
    for (const char* dependency : {"libc6", "libstdc++6", "adduser"})
        EXPECT_NE(fields.output.find(dependency), std::string::npos) << dependency << " missing: " << fields.output;
    const CommandResult postinst = run_command("dpkg-deb --ctrl-tarfile " + quote(deb) + " | tar -xOf - ./postinst");
    EXPECT_NE(postinst.output.find("adduser --system"), std::string::npos) << postinst.output;

    TempTree root("package_root");
    ASSERT_EQ(run_command("dpkg-deb -x " + quote(deb) + " " + quote(root.path())).status, 0);
    const std::string usr = root.path() + "/usr";
    for (const char* file : {"bin/sipper", "bin/sipperctl", "bin/sipper-config", "bin/boardsim", "bin/installation-sim",
                             "bin/sipper-web", "bin/sipper-sila", "lib/systemd/system/sipper-sila@.service",
                             "share/sipper/examples/installation.cfg", "share/sipper/examples/sipper.cfg",
                             "share/sipper/examples/stage-default.cfg", "share/doc/sipper/README.md",
                             "share/doc/sipper/copyright", "lib/systemd/system/sipper-installation@.service"})
        EXPECT_TRUE(exists(usr + "/" + file)) << file;
    const std::string unit = read_file(usr + "/lib/systemd/system/sipper-installation@.service");
    EXPECT_NE(unit.find("ExecStart=/usr/bin/installation-sim cfg/installation.cfg"), std::string::npos) << unit;
    EXPECT_NE(unit.find("User=sipper"), std::string::npos) << unit;

    // Without the names, cleaning up stale objects would break whoever holds them.
    const bool failed_before = ::testing::Test::HasFailure();
    sipper_test::FixedNamesLock names(LOCK_WAIT_MS);
    ASSERT_EQ(::testing::Test::HasFailure(), failed_before) << "not running the installation without the fixed names";
    ExampleInstallation run(usr + "/bin/installation-sim", usr + "/bin/sipperctl", root.path() + "/run",
                            {usr + "/bin"});
    run.prepare_from(usr + "/share/sipper/examples");
    run.run_and_stop();
    // installation-sim started the unpacked sipper, the one beside it.
    EXPECT_NE(read_file(root.path() + "/run/logs/installation.log").find("started " + usr + "/bin/sipper as pid"),
              std::string::npos)
        << read_file(root.path() + "/run/logs/installation.log");
    ASSERT_EQ(run.position.size(), 3u);
}
