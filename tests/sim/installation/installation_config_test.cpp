#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/installation/InstallationConfig.h"
#include "utilities/Exception.h"

namespace {

class InstallationConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/installation_config_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::remove(file().c_str());
        rmdir(dir_.c_str());
    }
    std::string file() const { return dir_ + "/installation.cfg"; }
    void write(const std::string& text) { std::ofstream(file()) << text; }

    // The message of the Exception read() raises; empty when it does not.
    std::string refusal(const std::string& text)
    {
        write(text);
        try {
            InstallationConfig::read(file());
        } catch (const Exception& e) {
            return e.message();
        }
        return "";
    }

    std::string dir_;
};

TEST_F(InstallationConfigTest, EmptyFileGivesTheUsualInstallation)
{
    write("// nothing set\n");
    InstallationConfig c = InstallationConfig::read(file());
    EXPECT_EQ(c.installation_name, "Installation");
    EXPECT_EQ(c.linear_board, 1);
    EXPECT_EQ(c.rotary_board, 2);
    EXPECT_EQ(c.serve.size(), 5u);
    EXPECT_TRUE(c.serves("SampleInterface"));
    EXPECT_TRUE(c.components.empty());
    EXPECT_TRUE(c.stage_file.empty());
}

TEST_F(InstallationConfigTest, ReadsEveryKey)
{
    write("INSTALLATION_IF = \"Inst2\";\nLINEAR_BOARD = 7;\nROTARY_BOARD = 9;\n"
          "STAGE_FILE = \"stage.cfg\";\nTIME_FACTOR = 20;\nSERVE = [\"SampleInterface\", \"LogServer\"];\n"
          "LOGSERVERIF = \"Logs\";\nCYCLE_STATE_DURATIONS = [10, 0, 30, 40];\nLOG_DIR = \"out\";\n"
          "COMPONENTS = [\"sipper S1 a.log b.cfg\", \"other X\"];\nSTOP_TIMEOUT = 1.5;\nKEEP_LOG_RUNS = 0;\n");
    InstallationConfig c = InstallationConfig::read(file());
    EXPECT_EQ(c.installation_name, "Inst2");
    EXPECT_EQ(c.linear_board, 7);
    EXPECT_EQ(c.rotary_board, 9);
    // Relative to the installation file, not to the working directory.
    EXPECT_EQ(c.stage_file, dir_ + "/stage.cfg");
    EXPECT_DOUBLE_EQ(c.time_factor, 20.0);
    EXPECT_EQ(c.serve, (std::vector<std::string>{"SampleInterface", "LogServer"}));
    EXPECT_FALSE(c.serves("LinearMC"));
    EXPECT_EQ(c.log_server_name, "Logs");
    EXPECT_EQ(c.cycle_durations, (std::vector<int>{10, 0, 30, 40}));
    EXPECT_EQ(c.log_dir, "out");
    ASSERT_EQ(c.components.size(), 2u);
    EXPECT_DOUBLE_EQ(c.stop_timeout, 1.5);
    EXPECT_EQ(c.keep_log_runs, 0);
    EXPECT_EQ(c.interface_names(), (std::vector<std::string>{"Inst2", "SampleInterface", "Logs", "S1", "X"}));
}

TEST_F(InstallationConfigTest, WrongTypesAndRangesAreNamed)
{
    EXPECT_NE(refusal("LINEAR_BOARD = \"one\";\n").find("LINEAR_BOARD must be an integer"), std::string::npos);
    EXPECT_NE(refusal("LINEAR_BOARD = 300;\n").find("board numbers are 0 to 255"), std::string::npos);
    EXPECT_NE(refusal("LINEAR_BOARD = 2;\n").find("must differ"), std::string::npos);
    EXPECT_NE(refusal("CYCLE_STATE_DURATIONS = [100, -1];\n").find("CYCLE_STATE_DURATIONS"), std::string::npos);
    EXPECT_NE(refusal("CYCLE_STATE_DURATIONS = [100, \"x\"];\n").find("only integers"), std::string::npos);
    EXPECT_NE(refusal("SERVE = [\"Pump\"];\n").find("unknown peer \"Pump\""), std::string::npos);
    EXPECT_NE(refusal("TIME_FACTOR = -2.0;\n").find("TIME_FACTOR"), std::string::npos);
    EXPECT_NE(refusal("COMPONENTS = \"sipper\";\n").find("COMPONENTS must be an array"), std::string::npos);
    EXPECT_NE(refusal("KEEP_LOG_RUNS = -1;\n").find("KEEP_LOG_RUNS must be 0 to 100"), std::string::npos);
}

TEST_F(InstallationConfigTest, ProblemsNameTheFile)
{
    std::string m = refusal("LINEAR_BOARD = ;\n");
    EXPECT_EQ(m.rfind("installation file " + file(), 0), 0u) << m;
    std::remove(file().c_str());
    try {
        InstallationConfig::read(file());
        FAIL() << "a missing file was read";
    } catch (const Exception& e) {
        EXPECT_NE(e.message().find("cannot be read"), std::string::npos);
    }
}

TEST_F(InstallationConfigTest, AnInterfaceNameUsedTwiceIsRefused)
{
    // A component serving a peer's name would fight the peer for its queue.
    EXPECT_NE(refusal("COMPONENTS = [\"sipper SampleInterface a.log b.cfg\"];\n").find("used twice"),
              std::string::npos);
    EXPECT_NE(refusal("LOGSERVERIF = \"Installation\";\n").find("used twice"), std::string::npos);
    EXPECT_NE(refusal("INSTALLATION_IF = \"a/b\";\n").find("cannot be used"), std::string::npos);
}

TEST(ComponentCommand, SplitsLikeTheComponentEntry)
{
    ComponentCommand c = ComponentCommand::parse("sipper Sipper logs/s.log \"my cfg/s.cfg\"");
    EXPECT_EQ(c.program, "sipper");
    // Quotes stay part of an argument, as the entry keeps them.
    EXPECT_EQ(c.args, (std::vector<std::string>{"Sipper", "logs/s.log", "\"my cfg/s.cfg\""}));
    EXPECT_EQ(c.interface_name(), "Sipper");
    // Two blanks give an empty argument that shifts the rest.
    ComponentCommand d = ComponentCommand::parse("sipper  Sipper");
    EXPECT_EQ(d.args, (std::vector<std::string>{"", "Sipper"}));
    EXPECT_EQ(d.interface_name(), "");
    EXPECT_EQ(ComponentCommand::parse("\"/opt/my bin/sipper\" S").program, "/opt/my bin/sipper");
    EXPECT_THROW(ComponentCommand::parse(""), Exception);
    EXPECT_THROW(ComponentCommand::parse(" sipper"), Exception);
}

}  // namespace
