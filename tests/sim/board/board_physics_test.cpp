// The simulated board's motion: profiles, limits, stops, faults, reference
// searches and the sharing of one board between processes. Boards run at a
// large time factor so that moves of seconds take milliseconds.
#include <gtest/gtest.h>

#include "motion/flexmotion.h"
#include "tests/sim/board/board_test_support.h"
#include "tests/support/ChildProcess.h"

namespace {

constexpr int32_t TRAVEL = 8000;  // steps; axes start at TRAVEL / 2, reported 0

int32_t pos(uint8_t b, uint8_t axis) {
    int32_t p = -999999;
    EXPECT_EQ(flex_read_pos_rtn(b, axis, &p), 0);
    return p;
}

uint16_t status(uint8_t b, uint8_t axis) {
    uint16_t s = 0;
    EXPECT_EQ(flex_read_axis_status_rtn(b, axis, &s), 0);
    return s;
}

bool complete(uint8_t b, uint8_t axis, uint16_t map = 0) {
    uint16_t c = 0;
    EXPECT_EQ(flex_check_move_complete_status(b, axis, map, &c), 0);
    return c != 0;
}

class BoardPhysics : public ::testing::Test {
protected:
    BoardPhysics() : board_(StageDescription::linear(TRAVEL)) {}
    void SetUp() override { ASSERT_TRUE(board_.ok()); }
    uint8_t b() const { return board_.id(); }

    void velocity_move(uint8_t axis, int32_t steps_per_s) {
        ASSERT_EQ(flex_load_velocity(b(), axis, steps_per_s, 255), 0);
        ASSERT_EQ(flex_load_acceleration(b(), axis, 0, 40000, 255), 0);
        ASSERT_EQ(flex_set_op_mode(b(), axis, 2), 0);
        ASSERT_EQ(flex_start(b(), axis, 0), 0);
    }

    TestBoard board_;
};

TEST_F(BoardPhysics, VelocityModeStopsAtEnabledReverseLimitAndShowsIt) {
    ASSERT_EQ(flex_enable_axis_limit(b(), 0, 0, 0x02), 0);
    velocity_move(1, -4000);
    ASSERT_TRUE(wait_until([&] { return complete(b(), 1); }));
    // The switch sits at stage 0, which the board reports as -TRAVEL/2.
    EXPECT_EQ(pos(b(), 1), -TRAVEL / 2);
    uint16_t fwd = 0, rev = 0;
    ASSERT_EQ(flex_read_limit_status_rtn(b(), 0, &fwd, &rev), 0);
    EXPECT_EQ(rev, 0x02);
    EXPECT_EQ(fwd, 0);
    EXPECT_TRUE(status(b(), 1) & FLEX_AXIS_LIMIT_SWITCH);
    EXPECT_FALSE(status(b(), 1) & FLEX_AXIS_FOLLOWING_ERROR);
    // Driving into the switch again does not move it; moving away does.
    ASSERT_EQ(flex_start(b(), 1, 0), 0);
    EXPECT_EQ(pos(b(), 1), -TRAVEL / 2);
    velocity_move(1, 4000);
    ASSERT_TRUE(wait_until([&] { return pos(b(), 1) > -TRAVEL / 2 + 100; }));
}

TEST_F(BoardPhysics, DisabledLimitLetsTheAxisStallAtTheHardStop) {
    ASSERT_EQ(flex_enable_axis_limit(b(), 0, 0, 0), 0);
    velocity_move(2, 4000);
    ASSERT_TRUE(wait_until([&] { return complete(b(), 2); }));
    EXPECT_EQ(pos(b(), 2), TRAVEL + 200 - TRAVEL / 2);
    EXPECT_TRUE(status(b(), 2) & FLEX_AXIS_FOLLOWING_ERROR);
    // A new start clears the stall.
    velocity_move(2, -4000);
    EXPECT_FALSE(status(b(), 2) & FLEX_AXIS_FOLLOWING_ERROR);
}

TEST_F(BoardPhysics, RelativeMoveEndsAtPlusNAndReportsComplete) {
    const int32_t before = pos(b(), 3);
    ASSERT_EQ(flex_set_op_mode(b(), 3, 1), 0);
    ASSERT_EQ(flex_load_target_pos(b(), 3, 1234, 255), 0);
    ASSERT_EQ(flex_start(b(), 3, 0), 0);
    ASSERT_TRUE(wait_until([&] { return complete(b(), 3); }));
    EXPECT_EQ(pos(b(), 3), before + 1234);
    // Relative again: from where it is now.
    ASSERT_EQ(flex_load_target_pos(b(), 3, -234, 255), 0);
    ASSERT_EQ(flex_start(b(), 3, 0), 0);
    ASSERT_TRUE(wait_until([&] { return complete(b(), 3, 0); }));
    EXPECT_EQ(pos(b(), 3), before + 1000);
}

TEST_F(BoardPhysics, MoveIsIncompleteWhileRunningAtRealTime) {
    ASSERT_TRUE(board_.control().set_time_factor(1.0));
    ASSERT_EQ(flex_set_op_mode(b(), 1, 1), 0);
    ASSERT_EQ(flex_load_velocity(b(), 1, 400, 255), 0);
    ASSERT_EQ(flex_load_target_pos(b(), 1, 2000, 255), 0);  // about 5 s at 1x
    ASSERT_EQ(flex_start(b(), 1, 0), 0);
    EXPECT_FALSE(complete(b(), 1));
    EXPECT_TRUE(status(b(), 1) & FLEX_AXIS_RUNNING);
    ASSERT_TRUE(board_.control().set_time_factor(10000.0));
    ASSERT_TRUE(wait_until([&] { return complete(b(), 1); }));
    EXPECT_EQ(pos(b(), 1), 2000);
}

TEST_F(BoardPhysics, AbsoluteMovesOfSeveralAxesUseTheResetPosition) {
    for (uint8_t axis = 1; axis <= 3; ++axis) {
        ASSERT_EQ(flex_reset_pos(b(), axis, 0, 0, 255), 0);
        ASSERT_EQ(flex_set_op_mode(b(), axis, 0), 0);
        ASSERT_EQ(flex_load_target_pos(b(), axis, 100 * axis, 255), 0);
    }
    ASSERT_EQ(flex_start(b(), 0, 0x0E), 0);
    ASSERT_TRUE(wait_until([&] { return complete(b(), 0, 0x0E); }));
    EXPECT_EQ(pos(b(), 1), 100);
    EXPECT_EQ(pos(b(), 2), 200);
    EXPECT_EQ(pos(b(), 3), 300);
    EXPECT_NEAR(board_.control().view().axes[3].stage_position, TRAVEL / 2 + 300, 1e-6);
}

TEST_F(BoardPhysics, EmptyMapStartsNothingAndIsComplete) {
    ASSERT_EQ(flex_start(b(), 0, 0), 0);
    EXPECT_TRUE(complete(b(), 0, 0));
}

TEST_F(BoardPhysics, KillStopSetsMotorOffUntilTheNextStart) {
    ASSERT_TRUE(board_.control().set_time_factor(1.0));
    velocity_move(1, 100);
    ASSERT_EQ(flex_stop_motion(b(), 0, 2, 0x0E), 0);
    EXPECT_TRUE(status(b(), 1) & FLEX_AXIS_OFF);
    EXPECT_TRUE(status(b(), 2) & FLEX_AXIS_OFF);
    const int32_t stopped = pos(b(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(pos(b(), 1), stopped);
    ASSERT_EQ(flex_start(b(), 1, 0), 0);
    EXPECT_FALSE(status(b(), 1) & FLEX_AXIS_OFF);
    EXPECT_TRUE(status(b(), 2) & FLEX_AXIS_OFF);
    ASSERT_EQ(flex_set_stepper_loop_mode(b(), 2, 1), 0);
    EXPECT_FALSE(status(b(), 2) & FLEX_AXIS_OFF);
}

TEST_F(BoardPhysics, HaltStopEndsTheMoveAtOnceWithTheMotorOn) {
    ASSERT_TRUE(board_.control().set_time_factor(1.0));
    velocity_move(3, 100);
    ASSERT_EQ(flex_stop_motion(b(), 3, 1, 0), 0);
    EXPECT_TRUE(complete(b(), 3));
    EXPECT_FALSE(status(b(), 3) & FLEX_AXIS_OFF);
}

TEST_F(BoardPhysics, InjectedFollowingErrorShowsAndHoldsTheAxis) {
    velocity_move(2, 1000);
    ASSERT_TRUE(board_.control().set_following_error_fault(2, true));
    EXPECT_TRUE(status(b(), 2) & FLEX_AXIS_FOLLOWING_ERROR);
    EXPECT_FALSE(status(b(), 2) & FLEX_AXIS_OFF);
    EXPECT_TRUE(complete(b(), 2));
    const int32_t held = pos(b(), 2);
    ASSERT_EQ(flex_start(b(), 2, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(pos(b(), 2), held);
    ASSERT_TRUE(board_.control().clear_faults());
    EXPECT_FALSE(status(b(), 2) & FLEX_AXIS_FOLLOWING_ERROR);
}

TEST_F(BoardPhysics, InjectedMotorOffShowsAxisOff) {
    ASSERT_TRUE(board_.control().set_motor_off_fault(1, true));
    EXPECT_TRUE(status(b(), 1) & FLEX_AXIS_OFF);
    ASSERT_TRUE(board_.control().set_motor_off_fault(1, false));
    EXPECT_FALSE(status(b(), 1) & FLEX_AXIS_OFF);
}

TEST_F(BoardPhysics, SoftwareForwardLimitStopsAMove) {
    ASSERT_EQ(flex_reset_pos(b(), 1, 0, 0, 255), 0);
    ASSERT_EQ(flex_load_sw_lim_pos(b(), 1, 300, -300, 255), 0);
    ASSERT_EQ(flex_enable_axis_limit(b(), 1, 0x02, 0), 0);
    ASSERT_EQ(flex_set_op_mode(b(), 1, 0), 0);
    ASSERT_EQ(flex_load_target_pos(b(), 1, 1000, 255), 0);
    ASSERT_EQ(flex_start(b(), 1, 0), 0);
    ASSERT_TRUE(wait_until([&] { return complete(b(), 1); }));
    EXPECT_EQ(pos(b(), 1), 300);
    uint16_t fwd = 0, rev = 0;
    ASSERT_EQ(flex_read_limit_status_rtn(b(), 1, &fwd, &rev), 0);
    EXPECT_EQ(fwd, 0x02);
    EXPECT_EQ(rev, 0);
}

// The index search of homing: from the reverse limit, zeroed there, with a
// forward software limit 1.25 revolutions away.
class IndexSearch : public BoardPhysics {
protected:
    void home_to_reverse_limit() {
        ASSERT_EQ(flex_enable_axis_limit(b(), 0, 0, 0x0E), 0);
        for (uint8_t axis = 1; axis <= 3; ++axis) velocity_move(axis, -4000);
        ASSERT_TRUE(wait_until([&] { return complete(b(), 0, 0x0E); }));
        for (uint8_t axis = 1; axis <= 3; ++axis) {
            ASSERT_EQ(flex_reset_pos(b(), axis, 0, 0, 255), 0);
            ASSERT_EQ(flex_load_sw_lim_pos(b(), axis, 500, 0, 255), 0);  // 1.25 rev of 400
            ASSERT_EQ(flex_load_rpm(b(), axis, 60.0, 255), 0);
        }
        ASSERT_EQ(flex_enable_axis_limit(b(), 1, 0x0E, 0), 0);
        ASSERT_EQ(flex_enable_home_inputs(b(), 0x0E), 0);
    }
    uint16_t search() {
        EXPECT_EQ(flex_find_reference(b(), 0, 0x0E, 1), 0);
        uint16_t found = 7;
        EXPECT_EQ(flex_wait_reference(b(), 0, 0x0E, 10000, 100, &found), 0);
        return found;
    }
};

TEST_F(IndexSearch, FindsEveryIndexWithinTheWindowAndReportsOne) {
    home_to_reverse_limit();
    EXPECT_EQ(search(), 1);
    for (uint8_t axis = 1; axis <= 3; ++axis) {
        const int32_t p = pos(b(), axis);
        EXPECT_EQ(p, 100) << "axis " << int(axis);  // the stage's index phase
        EXPECT_TRUE(status(b(), axis) & FLEX_AXIS_INDEX_FOUND);
    }
}

TEST_F(IndexSearch, DisabledIndexReportsZeroAndStopsAtTheWindow) {
    home_to_reverse_limit();
    ASSERT_TRUE(board_.control().set_index_fault(2, true));
    EXPECT_EQ(search(), 0);
    EXPECT_EQ(pos(b(), 1), 100);
    EXPECT_EQ(pos(b(), 2), 500);
}

TEST_F(IndexSearch, SearchThatNeverEndsTimesOutWithZero) {
    home_to_reverse_limit();
    ASSERT_EQ(flex_load_velocity(b(), 3, 0, 255), 0);  // a search that cannot move
    EXPECT_EQ(search(), 0);
}

TEST_F(BoardPhysics, WaitReferenceWithoutASearchReportsZero) {
    uint16_t found = 7;
    ASSERT_EQ(flex_wait_reference(b(), 0, 0x02, 1000, 10, &found), 0);
    EXPECT_EQ(found, 0);
}

TEST_F(BoardPhysics, TwoProcessesSeeTheSameBoard) {
    const uint8_t id = b();
    const int code = run_in_child([id] {
        if (flex_reset_pos(id, 2, 777, 0, 255) != 0) return 1;
        if (flex_set_port(id, 3, 4, 0, 255) != 0) return 2;
        if (flex_set_op_mode(id, 1, 1) != 0) return 3;
        if (flex_load_target_pos(id, 1, 50, 255) != 0) return 4;
        return flex_start(id, 1, 0) == 0 ? 0 : 5;
    });
    ASSERT_EQ(code, 0);
    EXPECT_EQ(pos(b(), 2), 777);
    EXPECT_EQ(board_.control().view().ports[2], 4);
    ASSERT_TRUE(wait_until([&] { return complete(b(), 1); }));
    EXPECT_EQ(pos(b(), 1), 50);
    // And the child sees what the parent does.
    ASSERT_EQ(flex_reset_pos(b(), 3, -5, 0, 255), 0);
    EXPECT_EQ(run_in_child([id] {
                  int32_t p = 0;
                  return flex_read_pos_rtn(id, 3, &p) == 0 && p == -5 ? 0 : 1;
              }),
              0);
}

TEST_F(BoardPhysics, ProcessDyingWhileHoldingTheBoardLeavesItUsable) {
    // A child that is killed at any moment of a tight loop of calls may die
    // inside the board's lock; the board's robust lock must recover.
    const uint8_t id = b();
    SharedFlags flags;
    {
        ChildProcess child([&flags, id] {
            int32_t p = 0;
            flags.set(0);
            for (;;) flex_read_pos_rtn(id, 1, &p);
            return 0;
        });
        ASSERT_TRUE(flags.await(0));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }  // killed here, perhaps inside the board's lock
    int32_t p = 0;
    EXPECT_EQ(flex_read_pos_rtn(id, 1, &p), 0);
}

}  // namespace
