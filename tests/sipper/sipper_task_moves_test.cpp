// Positioning moves and wash cycles on the simulated linear stage. The order
// of the Z and X/Y moves is read from the board's call trace.
#include <algorithm>

#include "tests/sipper/task_fixture.h"
#include "utilities/Exception.h"

namespace {

class MovesTest : public TaskTest {
protected:
    void SetUp() override {
        TaskTest::SetUp();
        if (HasFatalFailure()) return;
        make_task();
        // The board's power-up position serves as zero; homing is its own test.
        data_.set_homed(true);
        data_.set_velocity(Vect3d(200, 90, 120));
        data_.set_acceleration(Vect3d(1200, 1200, 1200));
        linear_->clear_trace();
    }

    std::string z_target(double mm) const { return "load_target_pos(3, " + std::to_string(steps(mm)) + ", 255)"; }
    std::string x_target(double mm) const { return "load_target_pos(1, " + std::to_string(steps(mm)) + ", 255)"; }

    // The index of the first entry equal to `text` at or after `from`.
    static long find(const std::vector<std::string>& trace, const std::string& text, long from = 0) {
        auto it = std::find(trace.begin() + from, trace.end(), text);
        return it == trace.end() ? -1 : static_cast<long>(it - trace.begin());
    }

    static int count(const std::vector<std::string>& trace, const std::string& text) {
        return static_cast<int>(std::count(trace.begin(), trace.end(), text));
    }
};

TEST_F(MovesTest, TargetBelowSafeHeightLiftsFirstAndDescendsAfterXY) {
    const Vect3d target(25, 30, 40);
    EXPECT_FALSE(task_->goto_position_now(target, false));
    const std::vector<std::string> t = moves_trace();
    const long lift = find(t, z_target(safe_z));
    ASSERT_GE(lift, 0);
    const long lift_start = find(t, "start(3, 0)", lift);
    const long xy_start = find(t, "start(0, 6)", lift_start);
    const long descent = find(t, z_target(40), xy_start);
    const long descent_start = find(t, "start(3, 0)", descent);
    EXPECT_TRUE(lift < lift_start && lift_start < xy_start && xy_start < descent && descent < descent_start);
    EXPECT_EQ(t.front(), "stop_motion(0, 1, 14)");
    // Each phase waited for the previous one: X/Y started with Z at the safe
    // height, Z went down with X and Y at their targets.
    EXPECT_EQ(board_position(3), steps(40));
    EXPECT_EQ(board_position(1), steps(25));
    EXPECT_EQ(board_position(2), steps(30));
    const std::vector<std::string> all = trace_texts(*linear_);
    const long all_xy = find(all, "start(0, 6)");
    const long all_lift = find(all, "start(3, 0)");
    EXPECT_GE(find(std::vector<std::string>(all.begin() + all_lift, all.begin() + all_xy),
                   "check_move_complete_status(3, 0) -> 1"),
              0);
}

TEST_F(MovesTest, TargetAtSafeHeightMakesAZeroLengthFinalMove) {
    EXPECT_FALSE(task_->goto_position_now(Vect3d(5, 5, safe_z), false));
    const std::vector<std::string> t = moves_trace();
    EXPECT_EQ(count(t, z_target(safe_z)), 2);
    EXPECT_EQ(count(t, "start(3, 0)"), 2);
    EXPECT_LT(find(t, "start(0, 6)"), find(t, "start(3, 0)", find(t, "start(3, 0)") + 1));
    EXPECT_EQ(board_position(3), steps(safe_z));
}

TEST_F(MovesTest, TargetAboveSafeHeightGoesStraightUpAndSkipsTheDescentAndTheSensor) {
    EXPECT_FALSE(task_->goto_position_now(Vect3d(5, 5, 4), true));
    const std::vector<std::string> t = moves_trace();
    EXPECT_EQ(count(t, "start(3, 0)"), 1);
    EXPECT_LT(find(t, z_target(4)), find(t, "start(0, 6)"));
    EXPECT_EQ(count(t, z_target(safe_z)), 0);
    flush_log();
    EXPECT_EQ(peers_->sipper().count_lines("CHECKING SIP SENSOR"), 0);
    EXPECT_EQ(board_position(3), steps(4));
    EXPECT_EQ(board_position(1), steps(5));
}

TEST_F(MovesTest, MovesAreRefusedBeforeHomingAndWithoutSafeHeight) {
    data_.set_homed(false);
    try {
        task_->goto_position_now(wash1, false);
        FAIL() << "moved while not homed";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Sipper::goto_position_now(): Sipper not homed!");
    }
    try {
        task_->goto_z_safe_now();
        FAIL() << "moved while not homed";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Sipper::goto_z_safe_now(): Sipper not homed!");
    }
    data_.set_homed(true);
    data_.set_position_defined(13, false);
    try {
        task_->goto_position_now(wash1, false);
        FAIL() << "moved without a safe height";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Sipper::goto_position_now(): Safe z not defined!");
    }
    EXPECT_TRUE(moves_trace().empty());
}

TEST_F(MovesTest, GotoOperationEndsIdleAtTheTarget) {
    data_.set_goto_target(wash3);
    ASSERT_TRUE(run_operation(OP_GOTO));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_EQ(board_position(1), steps(wash3.x));
    EXPECT_EQ(board_position(3), steps(wash3.z));
}

TEST_F(MovesTest, ParkLiftsWhereItStandsThenMovesTwiceToPlateSwapAtMediumSpeed) {
    task_->goto_position_now(wash2, false);
    linear_->clear_trace();
    ASSERT_TRUE(run_operation(OP_PARK));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    const std::vector<std::string> t = moves_trace();
    // Lift: X stays where it was.
    const long lift_x = find(t, x_target(wash2.x));
    const long swap_x = find(t, x_target(plate_swap.x));
    ASSERT_GE(lift_x, 0);
    ASSERT_GE(swap_x, 0);
    EXPECT_LT(lift_x, swap_x);
    EXPECT_EQ(count(t, x_target(plate_swap.x)), 2);
    EXPECT_EQ(board_position(1), steps(plate_swap.x));
    EXPECT_EQ(board_position(3), steps(plate_swap.z));
    EXPECT_EQ(data_.velocity().x, 15);
    EXPECT_EQ(data_.acceleration().z, 25);
}

TEST_F(MovesTest, ParkWithoutPlateSwapPositionFails) {
    data_.set_position_defined(8, false);
    ASSERT_TRUE(run_operation(OP_PARK));
    EXPECT_EQ(data_.state(), STATE_ERROR);
    EXPECT_EQ(peers_->sipper().count_lines(
                  "SipperTask SipperTask Error : park_sipper() Error : Plate swap pos or safe z not defined"),
              1);
}

// ---- wash -------------------------------------------------------------------

TEST_F(MovesTest, WashWithOnlySecondTimeVisitsOnlyStationTwoThenLifts) {
    data_.set_wash_time1(0);
    data_.set_wash_time2(300);
    Timer timer;
    timer.start();
    ASSERT_TRUE(run_operation(OP_WASH));
    EXPECT_GE(timer.elapsed(), 0.3);
    EXPECT_EQ(data_.state(), STATE_IDLE);
    const std::vector<std::string> t = moves_trace();
    EXPECT_EQ(count(t, x_target(wash2.x)), 1);
    EXPECT_EQ(count(t, x_target(wash1.x)), 0);
    EXPECT_EQ(board_position(1), steps(wash2.x));
    EXPECT_EQ(board_position(3), steps(safe_z));
}

TEST_F(MovesTest, WashWithOnlyFirstTimeVisitsOnlyStationOne) {
    data_.set_wash_time1(200);
    data_.set_wash_time2(0);
    ASSERT_TRUE(run_operation(OP_WASH));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    const std::vector<std::string> t = moves_trace();
    EXPECT_EQ(count(t, x_target(wash1.x)), 1);
    EXPECT_EQ(count(t, x_target(wash2.x)), 0);
    EXPECT_EQ(board_position(3), steps(safe_z));
}

TEST_F(MovesTest, WashWithBothTimesVisitsOneThenTwo) {
    data_.set_wash_time1(100);
    data_.set_wash_time2(100);
    ASSERT_TRUE(run_operation(OP_WASH));
    const std::vector<std::string> t = moves_trace();
    const long one = find(t, x_target(wash1.x));
    const long two = find(t, x_target(wash2.x));
    ASSERT_GE(one, 0);
    EXPECT_GT(two, one);
    EXPECT_EQ(board_position(1), steps(wash2.x));
}

TEST_F(MovesTest, WashWithBothTimesZeroLogsAndStillLifts) {
    task_->goto_position_now(wash1, false);
    data_.set_wash_time1(0);
    data_.set_wash_time2(0);
    linear_->clear_trace();
    ASSERT_TRUE(run_operation(OP_WASH));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask wash_operation() :  wash times are both zero"), 1);
    EXPECT_EQ(moves_trace(), (std::vector<std::string>{z_target(safe_z), "start(3, 0)"}));
    EXPECT_EQ(board_position(3), steps(safe_z));
}

TEST_F(MovesTest, WashStationsAtTheSamePlaceVisitStationTwoTwice) {
    data_.store_position(2, wash1);
    data_.set_wash_time1(0);
    data_.set_wash_time2(100);
    ASSERT_TRUE(run_operation(OP_WASH));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_EQ(count(moves_trace(), "start(0, 6)"), 2);
}

TEST_F(MovesTest, SingleWashWithZeroTimeDoesNothingNotEvenTheChecks) {
    data_.set_position_defined(2, false);
    task_->wash(2, 0);
    task_->wash(42, -5);
    EXPECT_TRUE(trace_texts(*linear_).empty());
    try {
        task_->wash(42, 10);
        FAIL() << "washed at an unknown station";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "wash() ERROR : invalid position id");
    }
    try {
        task_->wash(2, 10);
        FAIL() << "washed at an undefined station";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "wash() ERROR, position is undefined");
    }
}

TEST_F(MovesTest, StopDuringAWashDwellEndsWithinAboutATenthOfASecond) {
    data_.set_wash_time1(5000);
    data_.set_wash_time2(0);
    data_.set_operation(OP_WASH);
    ASSERT_TRUE(task_->start());
    // Wait until the probe rests in station 1.
    Timer timer;
    timer.start();
    while (!(board_position(3) == steps(wash1.z) && board_position(1) == steps(wash1.x))) {
        ASSERT_LT(timer.elapsed(), 10.0);
        sleep_ms(5);
    }
    sleep_ms(150);
    Timer stop;
    stop.start();
    task_->request_stop();
    ASSERT_TRUE(wait_until_stopped(5.0));
    EXPECT_LT(stop.elapsed(), 0.3);
    EXPECT_EQ(data_.state(), STATE_ERROR);
    EXPECT_EQ(peers_->sipper().count_lines(
                  "SipperTask SipperTask Error : Quitflagged Exception : operation interrupted"),
              1);
    // The probe stays in the station.
    EXPECT_EQ(board_position(3), steps(wash1.z));
}

}  // namespace
