// The command lines of the four tools, run as the built executables: every
// command (and every sipperctl method) answers --help, and a table of bad
// command lines exits with each tool's usage code before anything is done.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "interfaces/ComponentInterface.h"
#include "tests/support/ToolRun.h"

namespace fs = std::filesystem;

namespace {

class ToolCommandLines : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tool_command_lines.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        ComponentInterface::remove_objects(nobody_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    ToolRun run(const std::string& tool, const std::vector<std::string>& args)
    {
        return run_program(std::string(SIPPER_BUILD_DIR) + "/bin/" + tool, args, dir_);
    }

    // The names listed under "Subcommands:" in a help text.
    static std::set<std::string> listed_commands(const std::string& help)
    {
        std::set<std::string> names;
        std::istringstream in(help);
        std::string line;
        bool inside = false;
        while (std::getline(in, line)) {
            if (line == "Subcommands:")
                inside = true;
            else if (line.empty())
                inside = false;
            else if (inside && line.rfind("  ", 0) == 0)
                names.insert(line.substr(2, line.find(' ', 2) - 2));
        }
        return names;
    }

    std::string dir_;
    // An interface nobody serves: calls that parse must find it absent.
    std::string nobody_ = "CliNobody" + std::to_string(::getpid());
};

TEST_F(ToolCommandLines, EveryCommandAnswersHelpAndBadCommandLinesExitWithTheToolsUsageCode)
{
    const std::vector<std::pair<std::string, std::set<std::string>>> tools = {
        {"sipperctl", {"wait", "status", "clean", "list", "methods"}},
        {"boardsim",
         {"create", "show", "trace", "trace-clear", "set-analog", "set-port", "fault", "fail", "fail-call",
          "readback-error", "clear-faults", "time-factor", "remove"}},
        {"sipper-config", {"check", "get", "set", "dump"}},
        {"installation-sim", {}},
    };
    for (const auto& [tool, commands] : tools) {
        for (const char* flag : {"--help", "-h"}) {
            ToolRun top = run(tool, {flag});
            EXPECT_EQ(top.status, 0) << tool << " " << flag << ": " << top.err;
            EXPECT_EQ(top.err, "") << tool;
            EXPECT_NE(top.out.find("Usage: " + tool + " "), std::string::npos) << top.out;
            EXPECT_EQ(listed_commands(top.out), commands) << top.out;
        }
        for (const std::string& command : commands) {
            ToolRun help = run(tool, {command, "--help"});
            EXPECT_EQ(help.status, 0) << tool << " " << command << ": " << help.err;
            EXPECT_EQ(help.err, "") << tool << " " << command;
            EXPECT_NE(help.out.find("Usage: " + tool + " " + command), std::string::npos) << help.out;
        }
    }

    // Every method sipperctl lists is a command of its own with its arguments.
    ToolRun methods = run("sipperctl", {"methods"});
    ASSERT_EQ(methods.status, 0) << methods.err;
    const std::regex method_line(R"(^ +\d+ (\w+)(.*)$)");
    std::set<std::string> seen;
    std::istringstream lines(methods.out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, method_line))
            continue;
        const std::string name = m[1];
        seen.insert(name);
        std::string arguments = m[2].str().substr(0, m[2].str().find("   "));
        ToolRun help = run("sipperctl", {name, "--help"});
        EXPECT_EQ(help.status, 0) << name << ": " << help.err;
        EXPECT_NE(help.out.find("Usage: sipperctl [--interface NAME] [--timeout MS] " + name + arguments + "\n"),
                  std::string::npos)
            << help.out;
    }
    // One method of each table: component, sipper and the four peers.
    for (const char* name : {"get_state", "sip", "start_sipping", "get_ID", "add_log_msg", "reset_all_components"})
        EXPECT_TRUE(seen.count(name)) << name;

    struct Case {
        std::string tool;
        std::vector<std::string> args;
        int status;
        std::string says;  // in standard error
    };
    const std::string& i = nobody_;
    const std::string stage = std::string(SIPPER_SOURCE_DIR) + "/sim/board/stage-default.cfg";
    const std::string not_connected = "not connected: no interface named " + i;
    const std::vector<Case> cases = {
        {"sipperctl", {}, 64, "no method given"},
        {"sipperctl", {"--interface", i, "no_such_method"}, 64, "unknown method \"no_such_method\""},
        {"sipperctl", {"--interface", i, "-x", "get_state"}, 64, "unknown option -x"},
        {"sipperctl", {"--interface"}, 64, "--interface"},
        {"sipperctl", {"--interface", i, "--timeout", "-5", "get_state"}, 64, "--timeout"},
        {"sipperctl", {"--interface", i, "wait", "3"}, 64, "not expected: 3"},
        {"sipperctl", {"--interface", i, "wait", "--max", "nan"}, 64, "\"nan\" is not a number of seconds"},
        {"sipperctl", {"--interface", i, "status", "now"}, 64, "not expected: now"},
        {"sipperctl", {"methods", "all"}, 64, "not expected: all"},
        {"sipperctl", {"clean"}, 64, "clean needs an interface name"},
        {"sipperctl", {"clean", "--board", "256"}, 64, "--board"},
        {"sipperctl", {"clean", "a/b"}, 64, "bad interface name \"a/b\""},
        {"sipperctl", {"--interface", i, "sip", "A1", "0", "zero", "1", "0.5", "100", "100"}, 64,
         "argument 3 of sip: \"zero\" is not an integer"},
        {"sipperctl", {"--interface", i, "wash", "1"}, 64, "\"wash\" takes 2 argument(s)"},
        {"sipperctl", {"--interface", i, "get_vacuum"}, 64, "no message layout"},
        // Negative numbers and texts starting with '-' are arguments: these
        // parse and convert, and then find nobody serving the interface.
        {"sipperctl", {"--interface", i, "sip", "A1", "0", "0", "0", "-.5", "500", "500"}, 6, not_connected},
        {"sipperctl", {"--interface", i, "--timeout", "200", "set_position", "-A1", "-5"}, 6, not_connected},
        {"boardsim", {}, 2, "A subcommand is required"},
        {"boardsim", {"bogus", "1"}, 2, "unknown command bogus"},
        {"boardsim", {"--bogus"}, 2, "unknown option --bogus"},
        {"boardsim", {"create"}, 2, "FILE is required"},
        {"boardsim", {"create", stage, "1=x"}, 2, "\"1=x\" is not BOARD or OLD=NEW"},
        {"boardsim", {"show"}, 2, "BOARD is required"},
        {"boardsim", {"show", "256"}, 2, "BOARD"},
        {"boardsim", {"trace", "250", "-1"}, 2, "COUNT"},
        {"boardsim", {"set-analog", "250", "84"}, 2, "VALUE is required"},
        {"boardsim", {"fault", "250", "bent", "1", "on"}, 2, "KIND"},
        {"boardsim", {"fault", "250", "motor-off", "1", "maybe"}, 2, "STATE"},
        {"boardsim", {"fail", "250", "start", "-70006", "2.5"}, 2, "\"2.5\" is neither a count nor every"},
        {"boardsim", {"remove", "250", "251"}, 2, "not expected: 251"},
        {"sipper-config", {}, 2, "A subcommand is required"},
        {"sipper-config", {"frobnicate", "x"}, 2, "unknown command frobnicate"},
        {"sipper-config", {"check"}, 2, "FILE is required"},
        {"sipper-config", {"get", "only-file"}, 2, "KEY is required"},
        {"sipper-config", {"set", "file", "KEY"}, 2, "VALUE is required"},
        {"sipper-config", {"dump", "file", "extra"}, 2, "not expected: extra"},
        {"installation-sim", {}, 2, "INSTALLATION_FILE is required"},
        {"installation-sim", {"--time-factor", "0", "x.cfg"}, 2, "--time-factor: must be a positive number"},
        {"installation-sim", {"--time-factor", "nan", "x.cfg"}, 2, "--time-factor: must be a positive number"},
        {"installation-sim", {"--stage"}, 2, "--stage"},
        {"installation-sim", {"--bogus", "x.cfg"}, 2, "--bogus"},
        {"installation-sim", {"a.cfg", "b.cfg"}, 2, "not expected: b.cfg"},
    };
    for (const Case& c : cases) {
        std::string line = c.tool;
        for (const std::string& a : c.args)
            line += " " + a;
        ToolRun r = run(c.tool, c.args);
        EXPECT_EQ(r.status, c.status) << line << "\n" << r.err;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << line << "\n" << r.err;
        if (c.status != 6) {
            // One line with the tool's name and one pointing at the help.
            EXPECT_EQ(r.err.rfind(c.tool + ": ", 0), 0u) << line << "\n" << r.err;
            EXPECT_NE(r.err.find("--help shows the usage)\n"), std::string::npos) << line << "\n" << r.err;
        }
    }
    // A value that looks like an option is taken as the value.
    const std::string cfg = dir_ + "/values.cfg";
    ToolRun set = run("sipper-config", {"set", cfg, "DEPTH", "-.5"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(run("sipper-config", {"get", cfg, "DEPTH"}).out, "-0.5000000000\n");

    // Refused and unanswered calls leave no channel behind.
    struct stat st;
    EXPECT_NE(::stat(("/dev/shm/" + nobody_ + "_properties").c_str(), &st), 0);
}

}  // namespace
