// The boardsim tool, run as the operator runs it, on boards of the test's own.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>

#include "motion/flexmotion.h"
#include "tests/sim/board/board_test_support.h"

namespace {

struct ToolRun {
    int code = -1;
    std::string out;
};

ToolRun boardsim(const std::string& args) {
    ToolRun r;
    const std::string command = std::string(SIPPER_BUILD_DIR) + "/bin/boardsim " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    std::array<char, 512> buf{};
    while (fgets(buf.data(), buf.size(), p)) r.out += buf.data();
    const int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Two free board numbers, reserved by creating and handing them to the tool.
class BoardsimTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(linear_.ok());
        ASSERT_TRUE(rotary_.ok());
        stage_ = std::string(SIPPER_SOURCE_DIR) + "/sim/board/stage-default.cfg";
    }
    std::string n(const TestBoard& b) const { return std::to_string(b.number()); }
    TestBoard linear_{StageDescription::free_running()};
    TestBoard rotary_{StageDescription::free_running()};
    std::string stage_;
};

TEST_F(BoardsimTool, CreatesTheDescribedBoardsUnderNewNumbersAndShowsThem) {
    const ToolRun created = boardsim("create " + stage_ + " 1=" + n(linear_) + " 2=" + n(rotary_));
    ASSERT_EQ(created.code, 0) << created.out;
    const SimBoardView v = linear_.control().view();
    EXPECT_TRUE(v.axes[1].stage.has_limits);
    EXPECT_EQ(v.analog[3], 2000);
    ASSERT_EQ(rotary_.control().view().couplings.size(), 1u);
    EXPECT_EQ(rotary_.control().view().couplings[0].board, linear_.number());
    const ToolRun shown = boardsim("show " + n(rotary_));
    EXPECT_EQ(shown.code, 0);
    EXPECT_NE(shown.out.find("axis 4:"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("while board " + n(linear_) + " axis 3"), std::string::npos) << shown.out;
}

TEST_F(BoardsimTool, SetsInputsFaultsAndTimeFactor) {
    EXPECT_EQ(boardsim("set-analog " + n(linear_) + " 84 1799").code, 0);
    EXPECT_EQ(linear_.control().view().analog[3], 1799);
    EXPECT_EQ(boardsim("set-port " + n(linear_) + " 3 4").code, 0);
    EXPECT_EQ(linear_.control().view().ports[2], 4);
    EXPECT_EQ(boardsim("fault " + n(linear_) + " motor-off 2 on").code, 0);
    uint16_t s = 0;
    ASSERT_EQ(flex_read_axis_status_rtn(linear_.id(), 2, &s), 0);
    EXPECT_TRUE(s & FLEX_AXIS_OFF);
    EXPECT_EQ(boardsim("fail " + n(linear_) + " start -70500 every").code, 0);
    EXPECT_EQ(flex_start(linear_.id(), 1, 0), -70500);
    EXPECT_EQ(boardsim("clear-faults " + n(linear_)).code, 0);
    EXPECT_EQ(flex_start(linear_.id(), 1, 0), 0);
    EXPECT_EQ(boardsim("fail-call " + n(linear_) + " 2 -70501 start").code, 0);
    EXPECT_EQ(flex_start(linear_.id(), 1, 0), 0);
    EXPECT_EQ(flex_start(linear_.id(), 1, 0), -70501);
    EXPECT_EQ(flex_start(linear_.id(), 1, 0), 0);
    EXPECT_NE(boardsim("fail-call " + n(linear_) + " 0 -70501").code, 0);
    EXPECT_EQ(boardsim("time-factor " + n(linear_) + " 250").code, 0);
    EXPECT_DOUBLE_EQ(linear_.control().view().time_factor, 250.0);
    EXPECT_NE(boardsim("time-factor " + n(linear_) + " -1").code, 0);
    EXPECT_NE(boardsim("set-analog " + n(linear_) + " 99 1").code, 0);
    EXPECT_EQ(boardsim("bogus").code, 2);
}

TEST_F(BoardsimTool, RemoveDeletesTheBoard) {
    EXPECT_EQ(boardsim("remove " + n(linear_)).code, 0);
    EXPECT_FALSE(SimBoard::exists(linear_.number()));
    EXPECT_NE(boardsim("show " + n(linear_)).code, 0);
}

}  // namespace
