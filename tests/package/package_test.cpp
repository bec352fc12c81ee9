// The Debian package as an engineer receives it: scripts/package builds it
// (lintian, hardening-check, systemd-analyze verify and security), dpkg-deb
// unpacks it into an empty root, and the example installation runs from the
// unpacked files alone, no build tree, no source tree, inside the sandbox
// of its unit as far as namespaces emulate it. Then it runs as the unit
// would restart it, its sipper is killed, and the installation must end
// with a failure status, keeping the first run's logs.
#include <gtest/gtest.h>

#include <sstream>
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
    EXPECT_NE(postinst.output.find("adduser --quiet --system"), std::string::npos) << postinst.output;
    const CommandResult control = run_command("dpkg-deb --ctrl-tarfile " + quote(deb) + " | tar -tf -");
    for (const char* script : {"./prerm", "./postrm", "./conffiles"})
        EXPECT_NE(control.output.find(script), std::string::npos) << control.output;

    TempTree root("package_root");
    ASSERT_EQ(run_command("dpkg-deb -x " + quote(deb) + " " + quote(root.path())).status, 0);
    const std::string usr = root.path() + "/usr";
    for (const char* file : {"bin/sipper", "bin/sipperctl", "bin/sipper-config", "bin/boardsim", "bin/installation-sim",
                             "bin/sipper-web", "bin/sipper-sila", "lib/systemd/system/sipper-sila@.service",
                             "share/sipper/examples/installation.cfg",
                             "share/sipper/examples/sipper.cfg", "share/sipper/examples/stage-default.cfg",
                             "share/sipper/examples/sipper-web.env", "share/doc/sipper/README.Debian",
                             "share/doc/sipper/copyright", "lib/systemd/system/sipper-installation@.service",
                             "lib/systemd/system/sipper-web@.service", "../etc/logrotate.d/sipper"})
        EXPECT_TRUE(exists(usr + "/" + file)) << file;
    EXPECT_FALSE(exists(usr + "/share/doc/sipper/README.md")) << "the developer README is not for the package";
    // Every program has its manual page; sipper-sila, where it is built, its unit.
    std::istringstream programs(run_command("ls " + quote(usr + "/bin")).output);
    for (std::string program; std::getline(programs, program);)
        EXPECT_TRUE(exists(usr + "/share/man/man1/" + program + ".1.gz")) << program;
    EXPECT_EQ(exists(usr + "/bin/sipper-sila"), exists(usr + "/lib/systemd/system/sipper-sila@.service"));
    const std::string unit = read_file(usr + "/lib/systemd/system/sipper-installation@.service");
    EXPECT_NE(unit.find("ExecStart=/usr/bin/installation-sim cfg/installation.cfg"), std::string::npos) << unit;
    EXPECT_NE(unit.find("User=sipper"), std::string::npos) << unit;

    // Without the names, cleaning up stale objects would break whoever holds them.
    const bool failed_before = ::testing::Test::HasFailure();
    sipper_test::FixedNamesLock names(LOCK_WAIT_MS);
    ASSERT_EQ(::testing::Test::HasFailure(), failed_before) << "not running the installation without the fixed names";
    const std::string instance = root.path() + "/run";
    ExampleInstallation run(usr + "/bin/installation-sim", usr + "/bin/sipperctl", instance, {usr + "/bin"},
                            {std::string(SIPPER_SOURCE_DIR) + "/tests/package/unit_sandbox.sh", instance, usr});
    run.prepare_from(usr + "/share/sipper/examples");
    run.run_and_stop();
    // installation-sim started the unpacked sipper, the one beside it.
    EXPECT_NE(read_file(instance + "/logs/installation.log").find("started " + usr + "/bin/sipper as pid"),
              std::string::npos)
        << read_file(instance + "/logs/installation.log");
    ASSERT_EQ(run.position.size(), 3u);

    EXPECT_EQ(run.run_and_kill_the_sipper(), 1) << read_file(instance + "/installation-sim.out");
    EXPECT_NE(read_file(instance + "/installation-sim.out").find("(Killed) unasked"), std::string::npos)
        << read_file(instance + "/installation-sim.out");
    EXPECT_NE(read_file(instance + "/logs/previous.1/sipper.log").find("Homing complete"), std::string::npos)
        << "the homing run's log was not kept";
}
