#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/ConfigurationFile.h"
#include "tests/support/ToolRun.h"

namespace fs = std::filesystem;

namespace {

class SipperConfigTool : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sipper_config_tool.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string file(const std::string& name, const std::string& text)
    {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    std::string read(const std::string& path)
    {
        std::stringstream s;
        s << std::ifstream(path).rdbuf();
        return s.str();
    }
    ToolRun run(const std::vector<std::string>& args) { return run_program(SIPPER_BUILD_DIR "/bin/sipper-config", args, dir_); }

    std::string dir_;
};

}  // namespace

TEST_F(SipperConfigTool, CheckAcceptsGoodFiles)
{
    std::string a = file("a.cfg", "// c\nFREQ=10;\nPOS=[1.5,2];\n");
    std::string b = file("b.cfg", "S=\"x\";\n");
    ToolRun r = run({"check", a, b});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(a), std::string::npos);
    EXPECT_NE(r.out.find(b), std::string::npos);
}

TEST_F(SipperConfigTool, CheckReportsSyntaxErrorWithFileLineAndColumn)
{
    std::string good = file("good.cfg", "A=1;\n");
    std::string bad = file("bad.cfg", "A=1;\n\nB=2\n");
    ToolRun r = run({"check", good, bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(bad + ": error: line 3 column 4"), std::string::npos) << r.err;
}

TEST_F(SipperConfigTool, CheckPrintsLexicalReportsWithFileName)
{
    std::string f = file("tab.cfg", "A=\t1;\n");
    ToolRun r = run({"check", f});
    EXPECT_EQ(r.status, 0);  // the tab is skipped, the file reads
    EXPECT_NE(r.err.find(f + ":1:3: unexpected char"), std::string::npos) << r.err;
}

TEST_F(SipperConfigTool, CheckFailsWhenReadingStopsEarly)
{
    std::string f = file("stop.cfg", "A=1;\n;\nB=2;\n");
    ToolRun r = run({"check", f});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("line 2 column 1"), std::string::npos) << r.err;
}

TEST_F(SipperConfigTool, CheckFailsForMissingFile)
{
    EXPECT_EQ(run({"check", dir_ + "/none.cfg"}).status, 1);
}

TEST_F(SipperConfigTool, CarriageReturnLineFeedFileReadsAsWrittenElsewhere)
{
    // A file saved on a system with CR LF line ends: the store and the tool
    // both read it whole, strings without the CR, and nothing is reported.
    const std::string f = file("crlf.cfg", "// stored elsewhere\r\nFREQ=10;\r\nNAME=\"a\r\nb\";\r\n"
                                            "POS=\"1 2 3\";  // note\r\n\r\n");
    ConfigurationFile cfg;
    ASSERT_EQ(cfg.load_config(f), 0);
    std::string name;
    ASSERT_TRUE(cfg.get_value("NAME", name));
    EXPECT_EQ(name, "a\nb");
    EXPECT_EQ(cfg.text(), "FREQ=10;\nNAME=\"a\nb\";\nPOS=\"1 2 3\";\n");

    ToolRun r = run({"check", f});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, f + ": OK, 3 entries\n");
    EXPECT_EQ(r.err, "");
    r = run({"get", f, "NAME"});
    EXPECT_EQ(r.out, "\"a\nb\"\n");
}

TEST_F(SipperConfigTool, FilesThatAreNotRegularAreRefusedAtOnce)
{
    // A FIFO blocked the tool in its opening; /dev/zero was read for ever.
    const std::string fifo = dir_ + "/fifo.cfg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        for (const char* command : {"check", "dump"}) {
            SCOPED_TRACE(path + " " + command);
            ToolRun r = run({command, path});
            EXPECT_NE(r.status, 0);
            EXPECT_NE(r.status, child_exit::timed_out);
            EXPECT_NE(r.err.find(path + ": error: " + path + " is not a regular file"), std::string::npos)
                << r.err;
        }
    }
    ToolRun r = run({"set", fifo, "A", "1"});
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST_F(SipperConfigTool, GetPrintsValueTextOfFirstEntry)
{
    std::string f = file("a.cfg", "X=1.5;\nX=2;\nS=\"a b\";\nP=[1, \"q\"];\n");
    ToolRun r = run({"get", f, "X"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1.5000000000\n");
    EXPECT_EQ(run({"get", f, "S"}).out, "\"a b\"\n");
    EXPECT_EQ(run({"get", f, "P"}).out, "[1,\"q\"]\n");
    EXPECT_EQ(run({"get", f, "x"}).status, 1);  // keys are case sensitive
}

TEST_F(SipperConfigTool, SetChangesAndAddsValuesAndSaves)
{
    std::string f = file("a.cfg", "// note\nFREQ=10;\nNAME=\"old\";\n");
    EXPECT_EQ(run({"set", f, "FREQ", "20"}).status, 0);
    EXPECT_EQ(run({"set", f, "NAME", "\"new one\""}).status, 0);
    EXPECT_EQ(run({"set", f, "POS", "[1.5, -2, \"s\"]"}).status, 0);
    EXPECT_EQ(run({"set", f, "Z", "0.25"}).status, 0);
    EXPECT_EQ(read(f), "FREQ=20;\nNAME=\"new one\";\nPOS=[1.5000000000,-2,\"s\"];\nZ=0.2500000000;\n");
}

TEST_F(SipperConfigTool, SetRefusesInvalidValuesAndTypeChanges)
{
    std::string f = file("a.cfg", "FREQ=10;\n");
    EXPECT_EQ(run({"set", f, "FREQ", "2."}).status, 2);
    EXPECT_EQ(run({"set", f, "FREQ", "abc"}).status, 2);
    EXPECT_EQ(run({"set", f, "FREQ", "1; B=2"}).status, 2);
    EXPECT_EQ(run({"set", f, "FREQ", "99999999999"}).status, 2);
    EXPECT_EQ(run({"set", f, "BAD KEY", "1"}).status, 2);
    ToolRun r = run({"set", f, "FREQ", "10.5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("integer"), std::string::npos) << r.err;
    EXPECT_EQ(read(f), "FREQ=10;\n");
}

TEST_F(SipperConfigTool, SetCreatesMissingFile)
{
    std::string f = dir_ + "/new/dir/x.cfg";
    EXPECT_EQ(run({"set", f, "A", "1"}).status, 0);
    EXPECT_EQ(read(f), "A=1;\n");
}

TEST_F(SipperConfigTool, DumpPrintsStoreText)
{
    std::string f = file("a.cfg", "// c\n\nA = 1 ;\nB=2.5;\n");
    ToolRun r = run({"dump", f});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "A=1;\nB=2.5000000000;\n");
}

TEST_F(SipperConfigTool, UsageErrorsExit2)
{
    EXPECT_EQ(run({}).status, 2);
    EXPECT_EQ(run({"get", "only-file"}).status, 2);
    EXPECT_EQ(run({"frobnicate", "x"}).status, 2);
}
