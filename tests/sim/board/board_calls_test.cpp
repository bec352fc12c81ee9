// The simulated board's call surface: refused arguments, injected failures,
// the read-back error, error descriptions, inputs and couplings, the trace.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "sim/board/flexsim_status.h"
#include "tests/sim/board/board_test_support.h"

namespace {

std::string describe(int32_t status) {
    char text[500];
    std::memset(text, 'x', sizeof text);
    uint32_t size = sizeof text;
    EXPECT_EQ(flex_get_error_description(0, status, 0, 0, text, &size), 0);
    EXPECT_NE(std::memchr(text, '\0', sizeof text), nullptr);
    return text;
}

class BoardCalls : public ::testing::Test {
protected:
    BoardCalls() : board_(StageDescription::linear(8000)) {}
    void SetUp() override { ASSERT_TRUE(board_.ok()); }
    uint8_t b() const { return board_.id(); }
    TestBoard board_;
};

TEST_F(BoardCalls, InvalidArgumentsAreRefusedWithTheirOwnStatus) {
    uint16_t s = 0, f = 0, r = 0;
    int32_t v = 0;
    EXPECT_EQ(flex_read_axis_status_rtn(b(), 5, &s), FLEX_ERR_BAD_AXIS);
    EXPECT_EQ(flex_read_axis_status_rtn(b(), 0, &s), FLEX_ERR_BAD_AXIS);
    EXPECT_EQ(flex_start(b(), 0, 0x21), FLEX_ERR_BAD_MAP);
    EXPECT_EQ(flex_start(b(), 0, 0x01), FLEX_ERR_BAD_MAP);
    EXPECT_EQ(flex_start(b(), 0x11, 0), FLEX_ERR_BAD_AXIS);
    EXPECT_EQ(flex_enable_axis_limit(b(), 0, 0x40, 0), FLEX_ERR_BAD_MAP);
    EXPECT_EQ(flex_enable_limits(b(), 2, 0, 0), FLEX_ERR_BAD_VALUE);
    EXPECT_EQ(flex_read_adc16_rtn(b(), 0x50, &v), FLEX_ERR_BAD_CHANNEL);
    EXPECT_EQ(flex_read_adc16_rtn(b(), 0x59, &v), FLEX_ERR_BAD_CHANNEL);
    EXPECT_EQ(flex_set_port(b(), 9, 1, 0, 255), FLEX_ERR_BAD_PORT);
    EXPECT_EQ(flex_set_port(b(), 3, 4, 4, 255), FLEX_ERR_BAD_VALUE);
    EXPECT_EQ(flex_set_op_mode(b(), 1, 3), FLEX_ERR_BAD_VALUE);
    EXPECT_EQ(flex_stop_motion(b(), 0, 3, 0x0E), FLEX_ERR_BAD_VALUE);
    EXPECT_EQ(flex_load_target_pos(b(), 1, 10, 0x01), FLEX_ERR_BAD_VECTOR);
    EXPECT_EQ(flex_load_acceleration(b(), 1, 0, 0, 255), FLEX_ERR_BAD_VALUE);
    EXPECT_EQ(flex_find_reference(b(), 0, 0x0E, 9), FLEX_ERR_BAD_VALUE);
    EXPECT_EQ(flex_load_sw_lim_pos(b(), 1, -1, 0, 255), FLEX_ERR_BAD_VALUE);
    EXPECT_EQ(flex_read_pos_rtn(b(), 1, nullptr), FLEX_ERR_NULL_POINTER);
    EXPECT_EQ(flex_read_limit_status_rtn(b(), 0, &f, nullptr), FLEX_ERR_NULL_POINTER);
    EXPECT_EQ(flex_end_store(b(), 1), FLEX_ERR_STORE_SEQUENCE);
    // Refused calls change nothing.
    EXPECT_EQ(board_.control().view().ports[2], 0);
    (void)r;
}

TEST_F(BoardCalls, MissingBoardIsReported) {
    const int gone = board_.number();
    ASSERT_TRUE(SimBoard::remove(gone));
    int32_t p = 0;
    EXPECT_EQ(flex_read_pos_rtn(static_cast<uint8_t>(gone), 1, &p), FLEX_ERR_NO_BOARD);
    EXPECT_FALSE(SimBoard::exists(gone));
}

TEST_F(BoardCalls, EveryStatusHasADistinctReadableDescription) {
    const int32_t statuses[] = {FLEX_ERR_NO_BOARD, FLEX_ERR_BAD_AXIS, FLEX_ERR_BAD_MAP,
                                FLEX_ERR_BAD_CHANNEL, FLEX_ERR_BAD_PORT, FLEX_ERR_BAD_VALUE,
                                FLEX_ERR_BAD_VECTOR, FLEX_ERR_NULL_POINTER, FLEX_ERR_STORE_SEQUENCE,
                                FLEX_ERR_BOARD_LAYOUT, FLEX_ERR_BOARD_LOCK, FLEX_ERR_BAD_DESCRIPTION,
                                FLEX_ERR_READBACK};
    std::set<std::string> texts;
    for (int32_t s : statuses) {
        const std::string t = describe(s);
        EXPECT_GT(t.size(), 20u) << s;
        EXPECT_LT(t.size(), 500u) << s;
        texts.insert(t);
    }
    EXPECT_EQ(texts.size(), std::size(statuses));
    // A status the board never makes by itself (an injected one) still reads.
    EXPECT_NE(describe(-12345).find("-12345"), std::string::npos);
}

TEST_F(BoardCalls, DescriptionIsCutToTheBufferAndReportsItsLength) {
    char small[8];
    uint32_t size = sizeof small;
    ASSERT_EQ(flex_get_error_description(0, FLEX_ERR_READBACK, 0, 0, small, &size), 0);
    EXPECT_EQ(std::strlen(small), 7u);
    EXPECT_EQ(size, describe(FLEX_ERR_READBACK).size() + 1);
    uint32_t none = 0;
    EXPECT_NE(flex_get_error_description(0, 0, 0, 0, small, nullptr), 0);
    EXPECT_NE(flex_get_error_description(0, 0, 0, 0, small, &none), 0);
}

TEST_F(BoardCalls, InjectedFailureHitsTheNamedFunctionOnceWithoutActing) {
    ASSERT_TRUE(board_.control().fail_function("set_port", -70777, 1));
    EXPECT_EQ(flex_set_port(b(), 3, 4, 0, 255), -70777);
    EXPECT_EQ(board_.control().view().ports[2], 0);
    EXPECT_EQ(flex_set_port(b(), 3, 4, 0, 255), 0);
    EXPECT_EQ(board_.control().view().ports[2], 4);
}

TEST_F(BoardCalls, InjectedFailureOnEveryCallLastsUntilCleared) {
    ASSERT_TRUE(board_.control().fail_function("flex_start", -70100, -1));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(flex_start(b(), 1, 0), -70100);
    uint16_t c = 0;
    EXPECT_EQ(flex_check_move_complete_status(b(), 1, 0, &c), 0);  // other functions unaffected
    ASSERT_TRUE(board_.control().clear_faults());
    EXPECT_EQ(flex_start(b(), 1, 0), 0);
    EXPECT_FALSE(board_.control().fail_function("flex_no_such_thing", -1, 1));
    EXPECT_FALSE(board_.control().fail_function("start", 0, 1));
}

TEST_F(BoardCalls, FailingTheNthCallLetsTheEarlierOnesActAndFailsExactlyThatOne) {
    // Of any function: the third call from now, whatever it is.
    ASSERT_TRUE(board_.control().fail_call(3, -70555));
    uint16_t c = 0;
    EXPECT_EQ(flex_check_move_complete_status(b(), 1, 0, &c), 0);
    EXPECT_EQ(flex_set_port(b(), 3, 4, 0, 255), 0);
    EXPECT_EQ(board_.control().view().faults.at(0).skip, 0);
    EXPECT_EQ(flex_set_port(b(), 3, 0, 4, 255), -70555);
    EXPECT_EQ(board_.control().view().ports[2], 4);  // the failing call did not act
    EXPECT_EQ(flex_set_port(b(), 3, 0, 4, 255), 0);
    EXPECT_TRUE(board_.control().view().faults.empty());
    // Of one function: the other functions pass through uncounted.
    ASSERT_TRUE(board_.control().fail_call(2, -70556, "start"));
    EXPECT_NE(board_.control().describe().find("fault: flex_start fails with -70556 (1 more after 1 calls)"),
              std::string::npos)
        << board_.control().describe();
    EXPECT_EQ(flex_start(b(), 1, 0), 0);
    EXPECT_EQ(flex_set_port(b(), 3, 4, 0, 255), 0);
    EXPECT_EQ(flex_start(b(), 1, 0), -70556);
    EXPECT_EQ(flex_start(b(), 1, 0), 0);
    EXPECT_FALSE(board_.control().fail_call(0, -1));
    EXPECT_FALSE(board_.control().fail_call(1, 0));
    EXPECT_FALSE(board_.control().fail_call(1, -1, "no_such_thing"));
}

TEST_F(BoardCalls, ReadbackErrorLastsUntilFlushed) {
    int32_t p = 42;
    ASSERT_TRUE(board_.control().set_readback_error());
    EXPECT_EQ(flex_read_pos_rtn(b(), 1, &p), FLEX_ERR_READBACK);
    EXPECT_EQ(flex_read_pos_rtn(b(), 1, &p), FLEX_ERR_READBACK);
    EXPECT_EQ(p, 42);
    EXPECT_EQ(flex_flush_rdb(b()), 0);
    EXPECT_EQ(flex_read_pos_rtn(b(), 1, &p), 0);
    EXPECT_EQ(p, 0);
}

TEST_F(BoardCalls, AnalogInputsReadTheValueSetFromOutside) {
    int32_t v = 1;
    ASSERT_EQ(flex_read_adc16_rtn(b(), 0x54, &v), 0);
    EXPECT_EQ(v, 0);
    ASSERT_TRUE(board_.control().set_analog(0x54, -1799));
    ASSERT_EQ(flex_read_adc16_rtn(b(), 0x54, &v), 0);
    EXPECT_EQ(v, -1799);
    EXPECT_FALSE(board_.control().set_analog(0x59, 1));
}

TEST_F(BoardCalls, PortKeepsBitsThatNeitherMaskNames) {
    ASSERT_TRUE(board_.control().set_port(3, 0x81));
    ASSERT_EQ(flex_set_port(b(), 3, 0x04, 0x00, 255), 0);
    EXPECT_EQ(board_.control().view().ports[2], 0x85);
    ASSERT_EQ(flex_set_port(b(), 3, 0x00, 0x05, 255), 0);
    EXPECT_EQ(board_.control().view().ports[2], 0x80);
}

TEST_F(BoardCalls, CouplingReadsItsValueOnlyWhileTheOtherBoardsAxisIsBeyondThePosition) {
    StageDescription rotary = StageDescription::free_running();
    rotary.couplings.push_back(SimCoupling{0x53, board_.number(), 3, 4500, +1, 1800});
    TestBoard sensor(rotary);
    ASSERT_TRUE(sensor.ok());
    int32_t v = -1;
    ASSERT_EQ(flex_read_adc16_rtn(sensor.id(), 0x53, &v), 0);
    EXPECT_EQ(v, 0);  // the probe starts at stage 4000, above the level
    ASSERT_EQ(flex_set_op_mode(b(), 3, 1), 0);
    ASSERT_EQ(flex_load_target_pos(b(), 3, 600, 255), 0);
    ASSERT_EQ(flex_start(b(), 3, 0), 0);
    ASSERT_TRUE(wait_until([&] {
        uint16_t c = 0;
        return flex_check_move_complete_status(b(), 3, 0, &c) == 0 && c;
    }));
    ASSERT_EQ(flex_read_adc16_rtn(sensor.id(), 0x53, &v), 0);
    EXPECT_EQ(v, 1800);
    EXPECT_EQ(sensor.control().view().reading[2], 1800);
    // Another channel of the same board is not coupled.
    ASSERT_EQ(flex_read_adc16_rtn(sensor.id(), 0x52, &v), 0);
    EXPECT_EQ(v, 0);
}

TEST_F(BoardCalls, TraceRecordsCallsInOrderWithArguments) {
    ASSERT_TRUE(board_.control().clear_trace());
    ASSERT_EQ(flex_stop_motion(b(), 0, 1, 14), 0);
    ASSERT_EQ(flex_set_op_mode(b(), 3, 2), 0);
    EXPECT_NE(flex_start(b(), 0, 0x80), 0);
    int32_t p = 0;
    ASSERT_EQ(flex_read_pos_rtn(b(), 2, &p), 0);
    const auto records = board_.control().trace();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].text, "flex_stop_motion(0, 1, 14)");
    EXPECT_EQ(records[1].text, "flex_set_op_mode(3, 2)");
    EXPECT_EQ(records[2].function, "flex_start");
    EXPECT_EQ(records[2].status, FLEX_ERR_BAD_MAP);
    EXPECT_EQ(records[3].text, "flex_read_pos_rtn(2) -> 0");
    EXPECT_LT(records[0].sequence, records[3].sequence);
    EXPECT_EQ(board_.control().trace_functions(),
              (std::vector<std::string>{"stop_motion", "set_op_mode", "start", "read_pos_rtn"}));
}

TEST_F(BoardCalls, TraceKeepsTheNewestCallsWhenFull) {
    ASSERT_TRUE(board_.control().clear_trace());
    for (int i = 0; i < 1100; ++i) ASSERT_EQ(flex_load_target_pos(b(), 1, i, 255), 0);
    const auto records = board_.control().trace();
    ASSERT_EQ(records.size(), 1024u);
    EXPECT_EQ(records.back().text, "flex_load_target_pos(1, 1099, 255)");
    EXPECT_EQ(records.front().text, "flex_load_target_pos(1, 76, 255)");
}

TEST_F(BoardCalls, ResetRestoresPowerUpState) {
    ASSERT_EQ(flex_reset_pos(b(), 1, 999, 0, 255), 0);
    ASSERT_TRUE(board_.control().fail_function("start", -5, -1));
    ASSERT_TRUE(board_.control().reset(StageDescription::linear(8000)));
    int32_t p = -1;
    ASSERT_EQ(flex_read_pos_rtn(b(), 1, &p), 0);
    EXPECT_EQ(p, 0);
    EXPECT_EQ(flex_start(b(), 1, 0), 0);
    EXPECT_TRUE(board_.control().view().faults.empty());
}

TEST_F(BoardCalls, CreatingAnExistingBoardOnlyWhenAllowed) {
    std::string error;
    EXPECT_FALSE(SimBoard::create_new(board_.number(), StageDescription::linear(100), &error));
    EXPECT_FALSE(error.empty());
    StageDescription bad = StageDescription::linear(100);
    bad.axes[1].forward_limit = -5;
    EXPECT_FALSE(SimBoard::create(board_.number(), bad, &error));
    EXPECT_NE(error.find("axis 1"), std::string::npos);
    EXPECT_FALSE(SimBoard::create(256, StageDescription::linear(100), &error));
}

}  // namespace
