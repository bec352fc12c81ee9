// Sips against the simulated sample interface and the simulated stage: the
// calls to the sample interface in their order, the sip sensor (coupled to
// the Z axis of the linear board), the missed-sip counter and the sip output
// on the rotary board.
#include <algorithm>
#include <optional>

#include "tests/sipper/task_fixture.h"
#include "utilities/Exception.h"

namespace {

constexpr int SENSOR_CHANNEL = 0x53;
constexpr int WET_READING = 4000;  // 9.77 V, above the 5 V threshold

class SipTest : public TaskTest {
protected:
    void SetUp() override {
        TaskTest::SetUp();
        if (HasFatalFailure()) return;
        make_task();
        data_.set_homed(true);
        data_.set_sip_sensor_threshold(5.0);
        data_.set_smoothing_factor(0.3);
        data_.set_missed_sip_tolerance(5);
        request_sip(2, 3, 0.0);
        data_.set_wash_time1(50);
        data_.set_wash_time2(50);
    }

    void request_sip(int row, int column, double depth) {
        data_.set_sip_text("B4");
        data_.set_sip_tag(77);
        data_.set_sip_row(row);
        data_.set_sip_column(column);
        data_.set_sip_depth(depth);
    }

    // The sensor reads wet while the probe is at or below `z_mm`.
    void liquid_below(double z_mm) {
        const SimAxisView z = linear_->view().axes[3];
        const double offset = z.stage_position - z.position;
        SimCoupling c;
        c.channel = SENSOR_CHANNEL;
        c.board = linear_number_;
        c.axis = 3;
        c.position = static_cast<int32_t>(offset + steps(z_mm));
        c.sense = +1;
        c.value = WET_READING;
        ASSERT_TRUE(rotary_->set_couplings({c}));
    }

    Vect3d well(int row, int column) const {
        Vect3d p;
        const double a = row / 7.0, b = column / 11.0;
        for (int i = 0; i < 3; ++i) p[i] = ref0[i] + a * (ref1[i] - ref0[i]) + b * (ref2[i] - ref0[i]);
        return p;
    }

    std::vector<SampleCall> sample_calls() const { return peers_->sample_interface().calls(); }

    // The nth call of `method` (counted from 0), if there was one.
    std::optional<SampleCall> find_call(const std::string& method, int nth = 0) const {
        for (const SampleCall& c : sample_calls())
            if (c.method == method && nth-- == 0) return c;
        return std::nullopt;
    }

    // "set_port(3, 4, 0, 255)" and friends on the rotary board, in order.
    std::vector<std::string> port_calls() const {
        std::vector<std::string> out;
        for (const std::string& t : trace_texts(*rotary_))
            if (t.rfind("set_port(", 0) == 0) out.push_back(t.substr(0, t.find(" -> ")));
        return out;
    }

    int sip_output() const { return rotary_->view().ports[2] & 4; }
};

TEST_F(SipTest, TimedSipFollowsTheSampleCycleWashesAndEndsIdle) {
    Timer timer;
    timer.start();
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_GE(timer.elapsed(), 0.6);  // the whole cycle: 300 + 150 + 150 ms
    EXPECT_EQ(peers_->sample_interface().state(), 0);

    EXPECT_EQ(peers_->sample_interface().call_names(),
              (std::vector<std::string>{"start_sipping", "get_cycle_state_duration", "get_num_cycle_states",
                                        "get_cycle_state_duration", "get_cycle_state_duration"}));
    const std::optional<SampleCall> start = find_call("start_sipping");
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(start->text, "B4");
    EXPECT_EQ(start->ints, (std::vector<int>{77, 3, 4, 0}));
    const std::optional<SampleCall> d2 = find_call("get_cycle_state_duration", 1);
    const std::optional<SampleCall> d3 = find_call("get_cycle_state_duration", 2);
    ASSERT_TRUE(d2 && d3);
    EXPECT_EQ(d2->ints, std::vector<int>{2});
    EXPECT_EQ(d3->ints, std::vector<int>{3});
    // Washed at station 1 then 2, and lifted to the safe height.
    EXPECT_EQ(board_position(1), steps(wash2.x));
    EXPECT_EQ(board_position(3), steps(safe_z));
    EXPECT_TRUE(port_calls().empty());
}

TEST_F(SipTest, TimedSipStartsOnlyAfterTheSampleInterfaceIsIdle) {
    peers_->sample_interface().start_cycle();  // busy for 600 ms
    Timer timer;
    timer.start();
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    // Two full cycles: the one running and the sip's own.
    EXPECT_GE(timer.elapsed(), 1.2);
}

TEST_F(SipTest, TimedSipGoesToTheWellAtTheRequestedDepth) {
    // The probe is still in the well when the cycle reaches state 2.
    data_.set_wash_time1(0);
    data_.set_wash_time2(0);
    request_sip(7, 11, -2.0);
    linear_->clear_trace();
    ASSERT_TRUE(run_operation(OP_SIP));
    ASSERT_EQ(data_.state(), STATE_IDLE);
    const std::vector<std::string> t = moves_trace();
    const Vect3d target = well(7, 11);
    const std::string z = "load_target_pos(3, " + std::to_string(steps(target.z - 2.0)) + ", 255)";
    EXPECT_NE(std::find(t.begin(), t.end(), z), t.end());
    const std::string x = "load_target_pos(1, " + std::to_string(steps(target.x)) + ", 255)";
    EXPECT_NE(std::find(t.begin(), t.end(), x), t.end());
}

TEST_F(SipTest, PositiveAndNegativeDepthBothShortenTheDescent) {
    data_.set_wash_time1(0);
    data_.set_wash_time2(0);
    for (double depth : {2.0, -2.0}) {
        request_sip(0, 0, depth);
        linear_->clear_trace();
        ASSERT_TRUE(run_operation(OP_SIP));
        ASSERT_EQ(data_.state(), STATE_IDLE);
        const std::vector<std::string> t = moves_trace();
        const std::string z = "load_target_pos(3, " + std::to_string(steps(ref0.z - 2.0)) + ", 255)";
        EXPECT_NE(std::find(t.begin(), t.end(), z), t.end()) << "depth " << depth;
    }
}

TEST_F(SipTest, SensedSipSeesSampleDuringTheDescent) {
    data_.set_sip_sensor_present(true);
    data_.set_smoothing_factor(1.0);
    data_.set_missed_sip_count(3);
    liquid_below(well(2, 3).z - 1.0);
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask CHECKING SIP SENSOR"), 1);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask SIP SENSOR 1 , "), 1);
    EXPECT_EQ(peers_->sipper().count_lines("NEVER SAW"), 0);
    EXPECT_EQ(data_.missed_sip_count(), 0);

    const std::optional<SampleCall> start = find_call("start_sipping");
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(start->ints, (std::vector<int>{77, 3, 4, 1}));
    // State 1 is cut short while the probe sips and gets its time back after.
    const std::optional<SampleCall> cut = find_call("set_cycle_state_duration", 0);
    const std::optional<SampleCall> restored = find_call("set_cycle_state_duration", 1);
    ASSERT_TRUE(cut && restored);
    EXPECT_EQ(cut->ints, (std::vector<int>{1, 0}));
    EXPECT_EQ(restored->ints, (std::vector<int>{1, 300}));
    EXPECT_EQ(peers_->sample_interface().duration(1), 300);
    const std::vector<std::string> names = peers_->sample_interface().call_names();
    EXPECT_LT(std::find(names.begin(), names.end(), "set_cycle_state_duration"),
              std::find(names.begin(), names.end(), "start_sipping"));

    EXPECT_EQ(port_calls(), (std::vector<std::string>{"set_port(3, 4, 0, 255)", "set_port(3, 0, 4, 255)"}));
    EXPECT_EQ(sip_output(), 0);
}

TEST_F(SipTest, SensedSipSeesSampleAfterTheDescentThroughTheFilter) {
    data_.set_sip_sensor_present(true);
    data_.set_smoothing_factor(0.3);  // a single wet reading is not enough
    liquid_below(well(2, 3).z - 1.0);
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask SIP SENSOR SEES SAMPLE, t = "), 1);
    const std::optional<SampleCall> start = find_call("start_sipping");
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(start->ints.back(), 1);
}

TEST_F(SipTest, SensedSipThatSeesNothingCountsAMiss) {
    data_.set_sip_sensor_present(true);
    data_.set_missed_sip_count(2);
    Timer timer;
    timer.start();
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask SIP SENSOR 0 , "), 1);
    EXPECT_EQ(peers_->sipper().count_lines("SipperTask NEVER SAW SIP SENSOR OUTPUT, t = "), 1);
    EXPECT_EQ(data_.missed_sip_count(), 3);
    const std::optional<SampleCall> start = find_call("start_sipping");
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(start->ints.back(), 0);
    EXPECT_TRUE(port_calls().empty());
    EXPECT_EQ(peers_->sample_interface().duration(1), 300);
    // The sensor was watched for the whole of state 1 before giving up.
    EXPECT_GE(timer.elapsed(), 0.3);
}

TEST_F(SipTest, MissedSipAboveToleranceFailsWithTheClogErrorAndRestoresStateOne) {
    data_.set_sip_sensor_present(true);
    data_.set_missed_sip_count(5);
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_ERROR);
    EXPECT_EQ(data_.missed_sip_count(), 6);
    EXPECT_EQ(peers_->sipper().count_lines(
                  "SipperTask SipperTask Error : too many missed sips, check sipper for clogs"),
              1);
    // The failure must not leave the sample interface with a zero state 1.
    Timer timer;
    timer.start();
    while (peers_->sample_interface().duration(1) != 300 && timer.elapsed() < 2.0) sleep_ms(5);
    EXPECT_EQ(peers_->sample_interface().duration(1), 300);
}

TEST_F(SipTest, StopDuringASensedSipSwitchesTheOutputOffAndRestoresStateOne) {
    data_.set_sip_sensor_present(true);
    data_.set_smoothing_factor(1.0);
    data_.set_wash_time1(5000);
    liquid_below(well(2, 3).z - 1.0);
    data_.set_operation(OP_SIP);
    ASSERT_TRUE(task_->start());
    Timer timer;
    timer.start();
    while (sip_output() == 0) {
        ASSERT_LT(timer.elapsed(), 10.0) << "the sip output never came on";
        sleep_ms(2);
    }
    ASSERT_TRUE(peers_->sipper().wait_for_line("SIP SENSOR 1 , ", 2000));
    // Into the wash dwell, then stop.
    while (!(board_position(1) == steps(wash1.x) && board_position(3) == steps(wash1.z))) {
        ASSERT_LT(timer.elapsed(), 10.0);
        sleep_ms(5);
    }
    task_->request_stop();
    ASSERT_TRUE(wait_until_stopped(5.0));
    EXPECT_EQ(data_.state(), STATE_ERROR);
    EXPECT_EQ(peers_->sipper().count_lines("Quitflagged Exception : operation interrupted"), 1);
    EXPECT_EQ(sip_output(), 0);
    timer.restart();
    while (peers_->sample_interface().duration(1) != 300 && timer.elapsed() < 2.0) sleep_ms(5);
    EXPECT_EQ(peers_->sample_interface().duration(1), 300);
}

TEST_F(SipTest, MatrixStationRowSipsAtTheMatrixPosition) {
    data_.set_wash_time1(0);
    data_.set_wash_time2(0);
    request_sip(1000, 4, 0.0);
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    const Vect3d matrix4 = data_.position(7);
    EXPECT_EQ(board_position(1), steps(matrix4.x));
    const std::optional<SampleCall> start = find_call("start_sipping");
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(start->ints, (std::vector<int>{77, 1001, 5, 0}));
}

TEST_F(SipTest, BadStationNumbersFailBeforeAnyMotion) {
    struct Case {
        int row, column;
        const char* message;
    } cases[] = {
        {1000, 5, "Sipper::sip_now Error, invalid matrix station specified: matrix5"},
        {1000, 0, "Sipper::sip_now Error, invalid matrix station specified: matrix0"},
        {2000, 4, "Sipper::sip_now Error, invalid washstation specified: washstation4"},
        {4000, -1, "Sipper::sip_now Error, invalid washstation specified: washstation-1"},
    };
    for (const Case& c : cases) {
        request_sip(c.row, c.column, 0.0);
        ASSERT_TRUE(run_operation(OP_SIP));
        EXPECT_EQ(data_.state(), STATE_ERROR);
        EXPECT_EQ(peers_->sipper().count_lines(std::string("SipperTask SipperTask Error : ") + c.message), 1);
    }
    EXPECT_TRUE(moves_trace().empty());
    EXPECT_TRUE(peers_->sample_interface().calls().empty());
}

TEST_F(SipTest, WellOutsideThePlateIsRefused) {
    request_sip(8, 0, 0.0);
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_ERROR);
    request_sip(0, 12, 0.0);
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_ERROR);
    request_sip(1001, 1, 0.0);
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_ERROR);
    EXPECT_EQ(peers_->sipper().count_lines("Sipper::sip_now Error, invalid well specified: "), 3);
    EXPECT_TRUE(moves_trace().empty());
}

TEST_F(SipTest, StationSipThatSeesSampleKeepsTheMissedCount) {
    data_.set_sip_sensor_present(true);
    data_.set_smoothing_factor(1.0);
    data_.set_missed_sip_count(4);
    data_.set_wash_time1(0);
    data_.set_wash_time2(0);
    request_sip(3000, 2, 0.0);  // wash station 2
    liquid_below(wash2.z - 1.0);
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_IDLE);
    EXPECT_EQ(peers_->sipper().count_lines("SIP SENSOR 1 , "), 1);
    EXPECT_EQ(data_.missed_sip_count(), 4);
}

TEST_F(SipTest, SipNeedsEveryPositionDefined) {
    data_.set_position_defined(6, false);
    ASSERT_TRUE(run_operation(OP_SIP));
    EXPECT_EQ(data_.state(), STATE_ERROR);
    EXPECT_EQ(peers_->sipper().count_lines(
                  "SipperTask SipperTask Error : plate positions have not been properly configured"),
              1);
}

TEST(SipperTaskStationRows, OnlyTheFiveCodesAboveEachThousandAreStations) {
    for (int base : {1000, 2000, 3000, 4000}) {
        EXPECT_TRUE(SipperTask::is_station_row(base));
        EXPECT_TRUE(SipperTask::is_station_row(base + 4));
        EXPECT_FALSE(SipperTask::is_station_row(base + 5));
        EXPECT_FALSE(SipperTask::is_station_row(base - 1));
    }
    EXPECT_FALSE(SipperTask::is_station_row(0));
    EXPECT_FALSE(SipperTask::is_station_row(5000));
}

}  // namespace
