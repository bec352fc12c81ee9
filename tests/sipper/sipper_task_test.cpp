// The task's own machinery: construction against the board owners, the
// busy-first start, the run frame, the stop-aware sleep and the axis health
// checks on the simulated board.
#include "interfaces/ComponentIF.h"
#include "tests/sipper/task_fixture.h"
#include "utilities/Exception.h"

namespace {

class TaskFrameTest : public TaskTest {};

TEST_F(TaskFrameTest, UnusedOperationSwitchesLimitsOffSetsFastMotionAndEndsIdle) {
    make_task();
    linear_->clear_trace();
    ASSERT_TRUE(run_operation(2));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_EQ(data_.velocity().x, 200);
    EXPECT_EQ(data_.velocity().z, 120);
    EXPECT_EQ(data_.acceleration().y, 1200);
    EXPECT_EQ(trace_texts(*linear_),
              (std::vector<std::string>{"enable_limits(1, 0, 0)", "enable_axis_limit(1, 0, 0)",
                                        "enable_axis_limit(1, 0, 0)", "enable_limits(1, 0, 0)"}));
}

TEST_F(TaskFrameTest, StartMarksBusyAndARefusedStartLeavesTheStateAlone) {
    make_task();
    data_.set_homed(true);
    data_.set_wash_time1(3000);
    data_.set_wash_time2(0);
    data_.set_operation(OP_WASH);
    ASSERT_TRUE(task_->start());
    EXPECT_EQ(data_.state(), STATE_BUSY);
    data_.set_state(STATE_ERROR);
    EXPECT_FALSE(task_->start());
    EXPECT_EQ(data_.state(), STATE_ERROR);
    task_->request_stop();
    ASSERT_TRUE(wait_until_stopped(5.0));
    EXPECT_EQ(data_.state(), STATE_ERROR);

    // Starts hammered at a worker whose operation (2: no motion) ends within
    // a few board calls, so that refused starts meet it while it finishes.
    // Only this thread starts the worker: once it is seen stopped nothing
    // runs, and busy would be a busy with no operation.
    data_.set_operation(2);
    int started = 0;
    int refused_then_ended = 0;
    while (started < 300) {
        if (task_->start()) {
            ++started;
            continue;
        }
        if (!task_->is_running()) {
            ++refused_then_ended;
            ASSERT_NE(data_.state(), STATE_BUSY) << "after " << started << " operations";
        }
    }
    ASSERT_TRUE(wait_until_stopped(5.0));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_GT(refused_then_ended, 0);
}

TEST_F(TaskFrameTest, DestroyingTheTaskStopsTheRunningOperation) {
    make_task();
    data_.set_homed(true);
    data_.set_wash_time1(20000);
    data_.set_wash_time2(0);
    data_.set_operation(OP_WASH);
    ASSERT_TRUE(task_->start());
    sleep_ms(300);
    Timer timer;
    timer.start();
    task_.reset();
    EXPECT_LT(timer.elapsed(), 2.0);
    EXPECT_EQ(data_.state(), STATE_ERROR);
}

TEST_F(TaskFrameTest, SleepCheckingQuitChecksBeforeEverySlice) {
    make_task();
    Timer timer;
    timer.start();
    task_->sleep_checking_quit(250);
    EXPECT_GE(timer.elapsed(), 0.25);
    EXPECT_LT(timer.elapsed(), 1.0);

    task_->request_stop();
    task_->sleep_checking_quit(-1);  // no check at all
    try {
        task_->sleep_checking_quit(0);
        FAIL() << "a zero sleep must still check once";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Quitflagged Exception : operation interrupted");
    }
}

TEST_F(TaskFrameTest, AxisStatusReportsMotorKilledBeforeFollowingError) {
    make_task();
    linear_->set_following_error_fault(2, true);
    uint16_t status = 0;
    try {
        task_->check_axis_status(2);
        FAIL() << "following error not reported";
    } catch (const Exception& e) {
        status = linear_->view().axes[2].status;
        EXPECT_EQ(e.message(), "check_axis_status axis2 failed :  following error, " + std::to_string(status));
    }
    linear_->set_motor_off_fault(2, true);
    try {
        task_->check_axis_status(2);
        FAIL() << "motor off not reported";
    } catch (const Exception& e) {
        status = linear_->view().axes[2].status;
        EXPECT_TRUE((status & 0x0C) == 0x0C);
        EXPECT_EQ(e.message(), "check_axis_status axis2 failed :  motor killed, " + std::to_string(status));
    }
    task_->check_axis_status(1);
}

TEST_F(TaskFrameTest, FailedWaitWithLimitCheckNamesTheAxesAwayFromTheirReverseLimits) {
    make_task();
    linear_->set_following_error_fault(1, true);
    try {
        task_->wait_for_move_complete(0, 6, "Failed to find X and/or Y reverse limit", true);
        FAIL() << "axis trouble not reported";
    } catch (const Exception& e) {
        const std::string status = std::to_string(linear_->view().axes[1].status);
        EXPECT_EQ(e.message(), "check_axis_status axis1 failed :  following error, " + status +
                                   ", Failed to find X and/or Y reverse limit");
    }
    flush_log();
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask Failed to find X reverse limit"), 1);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask Failed to find Y reverse limit"), 1);
    EXPECT_EQ(peers_->sipper().count_lines("Failed to find Z reverse limit"), 0);

    // Without the limit check nothing is logged.
    EXPECT_THROW(task_->wait_for_move_complete(0, 6, "x", false), Exception);
    flush_log();
    EXPECT_EQ(peers_->sipper().count_lines("reverse limit"), 2);
}

TEST_F(TaskFrameTest, CurrentPositionsKeepWhatCouldNotBeRead) {
    make_task();
    data_.set_homed(true);
    data_.set_velocity(Vect3d(200, 90, 120));
    data_.set_acceleration(Vect3d(1200, 1200, 1200));
    task_->goto_position_now(Vect3d(12.5, 20, 15), false);

    Vect3d p(-1, -1, -1);
    task_->get_current_positions(p);
    EXPECT_DOUBLE_EQ(p.x, 12.5);
    EXPECT_DOUBLE_EQ(p.y, 20);
    EXPECT_DOUBLE_EQ(p.z, 15);

    // A failing read ends the reading: the position keeps the caller's values.
    linear_->clear_faults();
    ASSERT_TRUE(linear_->fail_function("read_pos_rtn", FLEX_ERR_BAD_VALUE, -1));
    Vect3d q(-1, -2, -3);
    task_->get_current_positions(q);
    flush_log();
    EXPECT_EQ(q.x, -1);
    EXPECT_EQ(q.y, -2);
    EXPECT_EQ(q.z, -3);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask get_current_positions(): ERROR Pci7344::read_pos_rtn -- "), 1);
}

TEST_F(TaskFrameTest, SetupAxisRejectsAnAxisOutsideTheStage) {
    make_task();
    linear_->clear_trace();
    EXPECT_THROW(
        {
            try {
                task_->setup_axis(AxisScale{true, 4, 400, 5.0});
            } catch (const Exception& e) {
                EXPECT_EQ(e.message(), "Invalid axis passed.");
                throw;
            }
        },
        Exception);
    EXPECT_TRUE(trace_texts(*linear_).empty());
}

TEST_F(TaskFrameTest, SetupAxisLoadsSpeedsInStepsTruncated) {
    make_task();
    data_.set_velocity(Vect3d(12.34, 1, 1));
    data_.set_acceleration(Vect3d(-12.34, 1, 1));
    linear_->clear_trace();
    task_->setup_axis(data_.axis_scale(1));
    EXPECT_EQ(trace_texts(*linear_).at(1), "load_velocity(1, 987, 255)");
    EXPECT_EQ(linear_->view().axes[1].loaded_velocity, 987);
    EXPECT_EQ(SipperTask::steps(AxisScale{true, 1, 200, 5.0}, -12.34), -493);
    EXPECT_EQ(SipperTask::axis_bit(AxisScale{}), 0);
    EXPECT_EQ(SipperTask::steps(AxisScale{}, 50.0), 0);
}

// ---- construction ------------------------------------------------------------

class SilentLinearOwnerTest : public TaskTest {
protected:
    bool serve_linear_owner() const override { return false; }
};

TEST_F(SilentLinearOwnerTest, ConstructionFailsWhenLinearOwnerDoesNotAnswer) {
    {
        // Nobody serves "LinearMC": shorten the wait of its board-id query.
        ComponentIF channel("LinearMC");
        ASSERT_TRUE(channel.open());
        channel.set_timeout(200);
        try {
            SipperTask task(&data_);
            FAIL() << "constructed without a linear board";
        } catch (const Exception& e) {
            EXPECT_EQ(e.message(), "SipperTask: Failed to get linear mc board id");
        }
    }
    ComponentInterface::remove_objects("LinearMC");
}

}  // namespace
