// Homing on the simulated linear stage: the sequence, the limit state it
// leaves, and the retry and inhibit rules of a failing sequence.
#include "tests/sipper/task_fixture.h"

namespace {

class HomingTest : public TaskTest {};

TEST_F(HomingTest, HomingSucceedsAndLeavesOnlyTheHardwareReverseLimitsOn) {
    make_task();
    ASSERT_TRUE(run_operation(OP_HOME));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_TRUE(data_.homed());
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask Begin homing operation"), 1);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask  Found the indexes"), 1);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask Homing complete"), 1);

    const SimBoardView v = linear_->view();
    for (int axis = 1; axis <= 3; ++axis) {
        SCOPED_TRACE("axis " + std::to_string(axis));
        const SimAxisView& a = v.axes[axis];
        EXPECT_FALSE(a.sw_forward_enabled);
        EXPECT_FALSE(a.sw_reverse_enabled);
        EXPECT_TRUE(a.reverse_limit_enabled);
        EXPECT_FALSE(a.forward_limit_enabled);
        EXPECT_FALSE(a.home_enabled);
        // Zero is the first encoder index past the reverse limit switch.
        EXPECT_EQ(a.position, 0);
        EXPECT_NEAR(a.stage_position, a.stage.index_phase, 2.0);
    }
}

TEST_F(HomingTest, IndexNeverFoundFailsFiveTimesAndEndsIdleNotHomed) {
    linear_->set_index_fault(2, true);
    make_task();
    ASSERT_TRUE(run_operation(OP_HOME, 90));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_FALSE(data_.homed());
    SipperStub& log = peers_->sipper();
    EXPECT_EQ(log.count_lines("SipperTask Begin homing operation"), 5);
    EXPECT_EQ(log.count_lines("SipperTask home_op failed-- Failed to find one of the indexes"), 5);
    EXPECT_EQ(log.count_lines("SipperTask home_axes failed: Failed to find one of the indexes"), 5);
    EXPECT_EQ(log.count_lines("Homing complete"), 0);
    EXPECT_EQ(log.inhibit_queries(), 5);
    // The failure path switches the software limits off again.
    EXPECT_FALSE(linear_->view().axes[1].sw_forward_enabled);
}

TEST_F(HomingTest, NonZeroInhibitEndsHomingAfterTheFirstFailure) {
    linear_->set_index_fault(1, true);
    peers_->sipper().set_inhibit_state(1);
    make_task();
    ASSERT_TRUE(run_operation(OP_HOME, 30));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_FALSE(data_.homed());
    EXPECT_EQ(peers_->sipper().count_lines("Begin homing operation"), 1);
    EXPECT_EQ(peers_->sipper().count_lines("home_axes failed: "), 1);
    EXPECT_EQ(peers_->sipper().inhibit_queries(), 1);
}

TEST_F(HomingTest, BoardFailureIsLoggedWithTheBoardText) {
    linear_->fail_function("set_stepper_loop_mode", FLEX_ERR_BAD_VALUE, -1);
    peers_->sipper().set_inhibit_state(1);
    make_task();
    ASSERT_TRUE(run_operation(OP_HOME, 30));
    EXPECT_FALSE(data_.homed());
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask home_op failed: Pci7344::set_stepper_loop_mode -- "), 1);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask home_axes failed: Pci7344::set_stepper_loop_mode -- "), 1);
}

TEST_F(HomingTest, AxisAlreadyAtItsReverseLimitIsNotDrivenToIt) {
    // Park X on its reverse limit switch before homing.
    make_task();
    data_.set_homed(true);
    SimBoardView v = linear_->view();
    const double offset = v.axes[1].stage_position - v.axes[1].position;
    data_.set_velocity(Vect3d(200, 90, 120));
    data_.set_acceleration(Vect3d(1200, 1200, 1200));
    task_->halt_and_setup_axes();
    task_->linear_board()->load_target_pos(1, static_cast<int32_t>(-offset) - 50, 255);
    task_->linear_board()->start(1, 0);
    task_->wait_for_move_complete(1, 0, "park", false);
    ASSERT_TRUE(linear_->view().axes[1].reverse_limit_active);

    linear_->clear_trace();
    ASSERT_TRUE(run_operation(OP_HOME));
    EXPECT_TRUE(data_.homed());
    // The fast X/Y search leaves X out of its start map (Y only: 4); the
    // one-revolution move and the slow approach still take all three (14).
    std::vector<std::string> starts;
    for (const std::string& t : trace_texts(*linear_))
        if (t.rfind("start(", 0) == 0) starts.push_back(t);
    ASSERT_GE(starts.size(), 4u);
    EXPECT_EQ(starts[0], "start(3, 0)");
    EXPECT_EQ(starts[1], "start(0, 4)");
    EXPECT_EQ(starts[2], "start(0, 14)");
    EXPECT_EQ(starts[3], "start(0, 14)");
}

}  // namespace
