// Stage description files, and the shipped default stage driven through the
// homing sequence and a dip into the liquid, as the sipper drives them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "motion/flexmotion.h"
#include "tests/sim/board/board_test_support.h"
#include "utilities/Exception.h"

namespace {

const std::string DEFAULT_STAGE = std::string(SIPPER_SOURCE_DIR) + "/sim/board/stage-default.cfg";

std::string write_file(const std::string& text) {
    const std::string path = "/tmp/stage_file_test_" + std::to_string(getpid()) + ".cfg";
    std::ofstream(path) << text;
    return path;
}

TEST(StageFile, DefaultStageDescribesTheLinearAndTheRotaryBoard) {
    const auto boards = read_stage_file(DEFAULT_STAGE);
    ASSERT_EQ(boards.size(), 2u);
    const StageDescription& linear = boards.at(1);
    for (int axis = 1; axis <= 3; ++axis) {
        EXPECT_TRUE(linear.axes[axis].has_limits) << axis;
        EXPECT_EQ(linear.axes[axis].counts_per_rev, 400);
    }
    EXPECT_FALSE(linear.axes[4].has_limits);
    EXPECT_EQ(linear.axes[1].forward_limit, 400 * 80);
    EXPECT_EQ(linear.axes[3].travel_max, (100 + 3) * 80);
    // The inhibit inputs rest above the trip level (1800 counts).
    for (int c = 0; c < 4; ++c) EXPECT_GE(linear.analog[c], 1800) << (81 + c);
    const StageDescription& rotary = boards.at(2);
    ASSERT_EQ(rotary.couplings.size(), 1u);
    const SimCoupling& sip = rotary.couplings[0];
    EXPECT_EQ(sip.channel, 83);
    EXPECT_EQ(sip.board, 1);
    EXPECT_EQ(sip.axis, 3);
    EXPECT_EQ(sip.position, 60 * 80);
    EXPECT_EQ(sip.sense, 1);
}

TEST(StageFile, RenumberingMovesCouplingsAlong) {
    const auto boards = renumber_boards(read_stage_file(DEFAULT_STAGE), {{1, 40}, {2, 41}});
    ASSERT_EQ(boards.count(40), 1u);
    ASSERT_EQ(boards.count(41), 1u);
    EXPECT_EQ(boards.at(41).couplings[0].board, 40);
}

TEST(StageFile, CouplingToAnUndescribedBoardIsRefused) {
    const std::string path = write_file(
        "BOARDS = [5];\n"
        "BOARD5_COUPLING1_CHANNEL = 83;\nBOARD5_COUPLING1_BOARD = 6;\n"
        "BOARD5_COUPLING1_AXIS = 3;\nBOARD5_COUPLING1_BEYOND_MM = 1.0;\n");
    EXPECT_THROW(read_stage_file(path), Exception);
    unlink(path.c_str());
}

TEST(StageFile, ImpossibleStageIsRefused) {
    const std::string path = write_file(
        "BOARDS = [5];\nBOARD5_AXIS1_TRAVEL_MM = 10.0;\nBOARD5_AXIS1_START_MM = 50.0;\n");
    EXPECT_THROW(read_stage_file(path), Exception);
    unlink(path.c_str());
    EXPECT_THROW(read_stage_file("/nonexistent/stage.cfg"), Exception);
}

TEST(StageFile, MissingAxisKeysGiveAFreeAxis) {
    const std::string path = write_file("BOARDS = [5];\nBOARD5_ANALOG = [1, 2];\n");
    const auto boards = read_stage_file(path);
    unlink(path.c_str());
    EXPECT_FALSE(boards.at(5).axes[1].has_limits);
    EXPECT_EQ(boards.at(5).analog[1], 2);
    EXPECT_EQ(boards.at(5).analog[2], 0);
}

// The default stage on two boards of the test's own, homed with the
// sipper's sequence of board calls.
class DefaultStage : public ::testing::Test {
protected:
    void SetUp() override {
        auto boards = read_stage_file(DEFAULT_STAGE);
        linear_ = std::make_unique<TestBoard>(boards.at(1), 20000.0);
        ASSERT_TRUE(linear_->ok());
        boards = renumber_boards(boards, {{1, linear_->number()}});
        rotary_ = std::make_unique<TestBoard>(boards.at(2), 20000.0);
        ASSERT_TRUE(rotary_->ok());
    }
    uint8_t lin() const { return linear_->id(); }
    uint8_t rot() const { return rotary_->id(); }

    void wait_complete(uint8_t axis, uint16_t map) {
        ASSERT_TRUE(wait_until([&] {
            uint16_t c = 0;
            return flex_check_move_complete_status(lin(), axis, map, &c) == 0 && c != 0;
        }, 20000));
        for (uint8_t a = 1; a <= 3; ++a) {
            uint16_t s = 0;
            ASSERT_EQ(flex_read_axis_status_rtn(lin(), a, &s), 0);
            ASSERT_EQ(s & (FLEX_AXIS_OFF | FLEX_AXIS_FOLLOWING_ERROR), 0) << int(a);
        }
    }

    // Homing: reverse limits, one turn out, slow back, zero, index search.
    uint16_t home() {
        const uint8_t b = lin();
        const double home1 = -300, home2 = -30, home3 = 30;
        EXPECT_EQ(flex_stop_motion(b, 0, 1, 14), 0);
        for (uint8_t a = 1; a <= 3; ++a) EXPECT_EQ(flex_set_stepper_loop_mode(b, a, 1), 0);
        EXPECT_EQ(flex_enable_home_inputs(b, 0), 0);
        EXPECT_EQ(flex_enable_axis_limit(b, 1, 0, 0), 0);
        EXPECT_EQ(flex_enable_axis_limit(b, 0, 0, 14), 0);
        EXPECT_EQ(flex_load_rpm(b, 3, home1, 255), 0);
        EXPECT_EQ(flex_load_rpsps(b, 3, 0, 20.0, 255), 0);
        EXPECT_EQ(flex_set_op_mode(b, 3, 2), 0);
        EXPECT_EQ(flex_start(b, 3, 0), 0);
        wait_complete(3, 0);
        for (uint8_t a = 1; a <= 2; ++a) {
            EXPECT_EQ(flex_load_rpm(b, a, home1, 255), 0);
            EXPECT_EQ(flex_load_rpsps(b, a, 0, 80.0, 255), 0);
            EXPECT_EQ(flex_set_op_mode(b, a, 2), 0);
        }
        EXPECT_EQ(flex_start(b, 0, 0x06), 0);
        wait_complete(0, 0x06);
        uint16_t fwd = 0, rev = 0;
        EXPECT_EQ(flex_read_limit_status_rtn(b, 0, &fwd, &rev), 0);
        EXPECT_EQ(rev & 0x0E, 0x0E);
        for (uint8_t a = 1; a <= 3; ++a) {
            EXPECT_EQ(flex_set_op_mode(b, a, 1), 0);
            EXPECT_EQ(flex_load_target_pos(b, a, 400, 255), 0);
        }
        EXPECT_EQ(flex_start(b, 0, 14), 0);
        wait_complete(0, 14);
        for (uint8_t a = 1; a <= 3; ++a) {
            EXPECT_EQ(flex_load_rpm(b, a, home2, 255), 0);
            EXPECT_EQ(flex_load_rpsps(b, a, 0, 80.0, 255), 0);
            EXPECT_EQ(flex_set_op_mode(b, a, 2), 0);
        }
        EXPECT_EQ(flex_start(b, 0, 14), 0);
        wait_complete(0, 14);
        for (uint8_t a = 1; a <= 3; ++a) EXPECT_EQ(flex_reset_pos(b, a, 0, 0, 255), 0);
        EXPECT_EQ(flex_enable_axis_limit(b, 1, 14, 0), 0);
        EXPECT_EQ(flex_enable_axis_limit(b, 0, 14, 14), 0);
        EXPECT_EQ(flex_enable_home_inputs(b, 14), 0);
        for (uint8_t a = 1; a <= 3; ++a) {
            EXPECT_EQ(flex_load_sw_lim_pos(b, a, 500, 0, 255), 0);
            EXPECT_EQ(flex_load_rpm(b, a, home3, 255), 0);
        }
        EXPECT_EQ(flex_find_reference(b, 0, 14, 1), 0);
        uint16_t found = 0;
        EXPECT_EQ(flex_wait_reference(b, 0, 14, 10000, 100, &found), 0);
        if (found == 1) {
            for (uint8_t a = 1; a <= 3; ++a) EXPECT_EQ(flex_reset_pos(b, a, 0, 0, 255), 0);
        }
        EXPECT_EQ(flex_enable_axis_limit(b, 1, 0, 0), 0);
        EXPECT_EQ(flex_enable_axis_limit(b, 0, 0, 14), 0);
        EXPECT_EQ(flex_enable_home_inputs(b, 0), 0);
        return found;
    }

    void move_z_to(int32_t steps) {
        EXPECT_EQ(flex_set_op_mode(lin(), 3, 0), 0);
        EXPECT_EQ(flex_load_velocity(lin(), 3, 4000, 255), 0);
        EXPECT_EQ(flex_load_acceleration(lin(), 3, 0, 40000, 255), 0);
        EXPECT_EQ(flex_load_target_pos(lin(), 3, steps, 255), 0);
        EXPECT_EQ(flex_start(lin(), 3, 0), 0);
        wait_complete(3, 0);
    }

    int32_t sip_sensor() {
        int32_t v = -1;
        EXPECT_EQ(flex_read_adc16_rtn(rot(), 83, &v), 0);
        return v;
    }

    std::unique_ptr<TestBoard> linear_;
    std::unique_ptr<TestBoard> rotary_;
};

TEST_F(DefaultStage, HomesWithTheSipperSequenceAndZeroesOnTheIndex) {
    ASSERT_EQ(home(), 1);
    const SimBoardView v = linear_->control().view();
    for (int a = 1; a <= 3; ++a) {
        EXPECT_EQ(v.axes[a].position, 0) << a;
        EXPECT_NEAR(v.axes[a].stage_position, 100.0, 1e-6) << a;  // the index phase
    }
}

TEST_F(DefaultStage, SipSensorSeesLiquidOnlyBelowTheLevel) {
    ASSERT_EQ(home(), 1);
    EXPECT_EQ(sip_sensor(), 0);
    move_z_to(59 * 80);  // 60.25 mm below the switch
    EXPECT_EQ(sip_sensor(), 1800);
    move_z_to(58 * 80);  // 59.25 mm: above the liquid
    EXPECT_EQ(sip_sensor(), 0);
}

TEST_F(DefaultStage, InhibitInputsRestAboveTheTripLevel) {
    for (uint8_t ch = 81; ch <= 84; ++ch) {
        int32_t v = 0;
        ASSERT_EQ(flex_read_adc16_rtn(lin(), ch, &v), 0);
        EXPECT_GE(v, 1800) << int(ch);
    }
}

TEST_F(DefaultStage, HomingFailsWhenAnIndexIsMissing) {
    ASSERT_TRUE(linear_->control().set_index_fault(1, true));
    EXPECT_EQ(home(), 0);
}

}  // namespace
