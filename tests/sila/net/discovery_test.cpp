// The announcement seen from another host over mDNS; the hosts are network
// namespaces, so the machine's own network and daemons are not touched.
#include <gtest/gtest.h>

#include "tests/support/ShellCommand.h"

using shell_command::quote;
using shell_command::run_command;

TEST(DiscoveryAnnouncer, AnotherHostFindsRenamesAndLosesTheServer) {
    const auto which = run_command(
        "PATH=$PATH:/usr/sbin which unshare nsenter ip dbus-daemon avahi-daemon avahi-browse");
    if (which.status != 0) GTEST_SKIP() << "missing programs, found only: " << which.output;
    const auto probe = run_command("unshare --map-root-user --net --mount true");
    if (probe.status != 0) GTEST_SKIP() << "cannot make network namespaces here: " << probe.output;
    shell_command::TempTree tmp("sila_discovery");
    const auto r =
        run_command("timeout 150 unshare --map-root-user --net --mount sh " +
                    quote(SIPPER_SOURCE_DIR "/tests/sila/net/discovery_scenario.sh") + " " +
                    quote(SIPPER_BUILD_DIR "/tests/sila_net_announce") + " " + quote(tmp.path()));
    EXPECT_TRUE(r.status == 0 && r.output.find("PASS") != std::string::npos) << r.output;
}
