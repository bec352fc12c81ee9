// The program entry: argument checks, what the process reports when it
// cannot start a component, and the hang-up signal it inherits ignored.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/Component.h"
#include "entry/RunProcess.h"
#include "interfaces/ComponentInterface.h"
#include "tests/support/ChildProcess.h"
#include "utilities/Exception.h"

namespace {

const std::string USAGE = "Must specify interface name, logfile, and config file";

struct Outcome {
    int exit_code = -1;  // -1: did not end in time or was killed
    std::string err;
};

// Runs body in a child process and collects its standard error and exit code.
Outcome run_child(const std::function<int()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    ChildProcess child([&] {
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        return body();
    });
    ::close(fds[1]);
    // Standard error until the child closes it, then its end, all within one deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto left_ms = [&] {
        using std::chrono::milliseconds;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max(left, milliseconds(0)).count());
    };
    Outcome out;
    char buffer[512];
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, left_ms()) == 1) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        out.err.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    child.wait(left_ms());
    out.exit_code = child.exit_code();
    return out;
}

// Starts the built sipper executable with the given argument vector
// (element 0 is what the program sees as its name).
Outcome run_sipper(std::vector<std::string> args) {
    return run_child([&] {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(SIPPER_BUILD_DIR "/bin/sipper", argv.data());
        return 127;
    });
}

std::string temp_path(const std::string& leaf) {
    return (std::filesystem::temp_directory_path() /
            ("entry" + std::to_string(::getpid()) + "_" + leaf)).string();
}

TEST(SipperExecutable, NoArgumentsGiveUsageOnStandardErrorAndTheCannotStartStatus) {
    const Outcome out = run_sipper({"sipper-under-test"});
    EXPECT_EQ(out.exit_code, EXIT_CANNOT_START);
    EXPECT_EQ(out.err, "sipper-under-test caught exception: " + USAGE + "\n");
}

TEST(SipperExecutable, TwoArgumentsAreStillTooFew) {
    const std::string log = temp_path("two.log");
    const Outcome out = run_sipper({"./sipper", "SipperX", log});
    EXPECT_EQ(out.exit_code, EXIT_CANNOT_START);
    EXPECT_EQ(out.err, "./sipper caught exception: " + USAGE + "\n");
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST(SipperExecutable, MissingConfigurationFileFailsTheSipperConstruction) {
    const std::string log = temp_path("full.log");
    const std::string cfg = temp_path("full.cfg");
    const std::string name = "entry" + std::to_string(::getpid()) + "full";
    const Outcome out = run_sipper({"sipper", name, log, cfg});
    EXPECT_EQ(out.exit_code, EXIT_CANNOT_START);
    EXPECT_EQ(out.err, "sipper caught exception: Sipper Constructor -- Failed to load config file " +
                           cfg + "\n");
    // The component part had opened its log before the configuration failed.
    EXPECT_TRUE(std::filesystem::exists(log));
    std::filesystem::remove(log);
}

// A sipper started under nohup keeps SIGHUP ignored: had SIGHUP asked it to
// stop, the SIGTERM after it would be a second request and end it at once.
TEST(SipperExecutable, SighupIgnoredAtStartStaysIgnored) {
    char dir[] = "/tmp/entry_nohup.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string log = std::string(dir) + "/s.log", cfg = std::string(dir) + "/s.cfg";
    const std::string name = "entry" + std::to_string(::getpid()) + "nohup";
    std::ofstream(cfg) << "FREQ=10;\nLOGSERVERIF=\"\";\n"
                          "AXIS_STEPS_PER_REV=\"400 400 400\";\nAXIS_MM_PER_REV=\"5 5 5\";\n";
    ChildProcess sipper([&] {
        ::signal(SIGHUP, SIG_IGN);
        std::string args[] = {"sipper", name, log, cfg};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
        ::execv(SIPPER_BUILD_DIR "/bin/sipper", argv);
        return 127;
    });
    const auto serving = [&] {
        std::stringstream text;
        text << std::ifstream(log).rdbuf();
        return text.str().find("entering Component::main") != std::string::npos;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!serving() && sipper.running() && std::chrono::steady_clock::now() < deadline)
        ::usleep(5000);
    EXPECT_TRUE(serving());
    sipper.signal(SIGHUP);
    sipper.signal(SIGTERM);
    EXPECT_TRUE(sipper.ended_within(10000));
    EXPECT_EQ(sipper.exit_code(), 0);
    ComponentInterface::remove_objects(name);
    std::filesystem::remove_all(dir);
}

TEST(CreateComponent, FewerThanFourElementsRaiseUsage) {
    for (std::size_t n = 0; n < 4; ++n) {
        const std::vector<std::string> args(n, "x");
        try {
            create_component(args);
            FAIL() << n << " elements accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.message(), USAGE) << n << " elements";
        }
    }
}

TEST(RunProcess, WithoutArgumentVectorNamesTheProcessComponent) {
    const Outcome out = run_child([] { return run_process(0, nullptr); });
    EXPECT_EQ(out.exit_code, EXIT_CANNOT_START);
    EXPECT_EQ(out.err, "component caught exception: " + USAGE + "\n");
}

TEST(SplitCommandLine, EmptyTextReportsUsageUnderTheNameDummy) {
    const Outcome out = run_child([] { return split_command_line(""); });
    EXPECT_EQ(out.exit_code, EXIT_CANNOT_START);
    EXPECT_EQ(out.err, "dummy caught exception: " + USAGE + "\n");
}

TEST(SplitCommandLine, DoubleBlankAddsAnEmptyArgumentThatCounts) {
    // "a  b" is "dummy", "a", "", "b": four elements, so the count check passes
    // and the factory's own refusal is what the process reports.
    const Outcome out = run_child([] { return split_command_line("a  b"); });
    EXPECT_EQ(out.exit_code, EXIT_CANNOT_START);
    EXPECT_EQ(out.err.rfind("dummy caught exception: ", 0), 0u);
    EXPECT_EQ(out.err.find(USAGE), std::string::npos) << out.err;
}

TEST(SplitCommandLine, TrailingBlankAddsNoArgument) {
    const Outcome out = run_child([] { return split_command_line("a b "); });
    EXPECT_EQ(out.exit_code, EXIT_CANNOT_START);
    EXPECT_EQ(out.err, "dummy caught exception: " + USAGE + "\n");
}

}  // namespace
