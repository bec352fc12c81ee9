// The task loop's watch over the hardware: inhibit inputs, motor faults and
// the sip sensor history, seen through the Sipper's interface, its log and
// the simulated boards.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "motion/flexmotion.h"
#include "sipper/SipperConstants.h"
#include "tests/sipper/sipper_harness.h"

using sipper_test::read_file;
using sipper_test::SipperHarness;
using sipper_test::wait_for;

namespace {

constexpr int INHIBIT_84 = 0x54;

class SipperWatchTest : public ::testing::Test {
protected:
    void start(const std::map<std::string, std::string>& config = {}) {
        h_.write_config(config);
        h_.start_peers();
        h_.start_sipper();
        h_.initialise_and_run();
    }

    int inhibit_state() {
        int bits = -1;
        EXPECT_EQ(h_.client().get_inhibit_state(bits), call_ok);
        return bits;
    }

    // Waits long enough for several task loop passes (50 per second).
    void let_the_loop_run() { sleep_ms(200); }

    int adc_reads(int channel) {
        int n = 0;
        const std::string text = "flex_read_adc16_rtn(" + std::to_string(channel) + ")";
        for (const SimTraceRecord& r : h_.linear().trace())
            if (r.text.rfind(text, 0) == 0) ++n;
        return n;
    }

    std::vector<std::string> sensor_lines() {
        std::istringstream in(read_file(h_.dir().file("sip_sensor_history.log")));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            // Numbered lines only: "n date time text".
            if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) lines.push_back(line);
        }
        return lines;
    }

    static std::string last_word(const std::string& line) {
        std::istringstream in(line);
        std::string word, last;
        while (in >> word) last = word;
        return last;
    }

    SipperHarness h_;
};

// ---- inhibit inputs -----------------------------------------------------------

TEST_F(SipperWatchTest, InhibitTripKillsAllAxesOnceAndReleaseResets) {
    start();
    EXPECT_EQ(inhibit_state(), 0);
    h_.linear().set_analog(INHIBIT_84, 0);
    ASSERT_TRUE(h_.wait_log_line("Sipper::emergency() motors killed")) << read_file(h_.log_path());
    EXPECT_EQ(h_.status(), STATE_ERROR);
    EXPECT_EQ(inhibit_state(), 8);
    const SimBoardView view = h_.linear().view();
    for (int axis = 1; axis <= 3; ++axis) EXPECT_TRUE(view.axes[axis].status & FLEX_AXIS_OFF) << axis;
    // While the switch stays tripped nothing more happens.
    const int kills = h_.log_lines("Sipper::emergency() motors killed");
    let_the_loop_run();
    EXPECT_EQ(h_.log_lines("Sipper::emergency() motors killed"), kills);

    h_.linear().set_analog(INHIBIT_84, 2000);
    ASSERT_TRUE(h_.wait_log_line("Sipper has been successfully reset.")) << read_file(h_.log_path());
    EXPECT_EQ(h_.log_lines("Resetting Sipper."), 1);
    EXPECT_EQ(h_.status(), STATE_IDLE);
    const SimBoardView after = h_.linear().view();
    for (int axis = 1; axis <= 3; ++axis) EXPECT_FALSE(after.axes[axis].status & FLEX_AXIS_OFF) << axis;
    let_the_loop_run();
    EXPECT_EQ(h_.log_lines("Resetting Sipper."), 1);
    EXPECT_EQ(h_.log_lines("Sipper::emergency() motors killed"), kills);
}

TEST_F(SipperWatchTest, InhibitAlreadyTrippedAtStartStopsOnTheFirstPass) {
    h_.linear().set_analog(INHIBIT_84, 100);
    start();
    ASSERT_TRUE(h_.wait_log_line("Sipper::emergency() motors killed"));
    EXPECT_EQ(h_.status(), STATE_ERROR);
}

TEST_F(SipperWatchTest, KillSwitchCheckOffNeverReadsTheInputs) {
    start({{"CHECK_KILL_SW", "0"}});
    h_.linear().set_trace(true);
    h_.linear().clear_trace();
    h_.linear().set_analog(INHIBIT_84, 0);
    let_the_loop_run();
    EXPECT_EQ(inhibit_state(), 0);
    EXPECT_EQ(adc_reads(INHIBIT_84), 0);
    EXPECT_EQ(h_.log_lines("Sipper::emergency()"), 0);
    EXPECT_EQ(h_.status(), STATE_IDLE);
}

TEST_F(SipperWatchTest, DefaultMaskReadsOnlyChannel84AgainstTheLevel) {
    start({{"CHECK_KILL_SW", "1"}});
    h_.client().stop();  // keep the loop from reacting while the inputs change
    ASSERT_TRUE(h_.wait_state(Component::READY));
    h_.linear().set_trace(true);
    h_.linear().clear_trace();
    h_.linear().set_analog(INHIBIT_84, 1799);
    EXPECT_EQ(inhibit_state(), 8);
    h_.linear().set_analog(INHIBIT_84, 1800);
    EXPECT_EQ(inhibit_state(), 0);
    // The other inputs are not even read.
    h_.linear().set_analog(0x51, 0);
    EXPECT_EQ(inhibit_state(), 0);
    EXPECT_EQ(adc_reads(0x51) + adc_reads(0x52) + adc_reads(0x53), 0);
    EXPECT_EQ(adc_reads(INHIBIT_84), 3);
}

TEST_F(SipperWatchTest, InvertedSwitchTripsAboveTheLevel) {
    start({{"INVERT_INHIBIT_SWITCH", "1"}, {"CHECK_KILL_SW", "1"}});
    h_.client().stop();
    ASSERT_TRUE(h_.wait_state(Component::READY));
    h_.linear().set_analog(INHIBIT_84, 1799);
    EXPECT_EQ(inhibit_state(), 0);
    h_.linear().set_analog(INHIBIT_84, 1800);
    EXPECT_EQ(inhibit_state(), 8);
}

TEST_F(SipperWatchTest, MaskSelectsTheInputsAndLevelComesFromTheConfiguration) {
    start({{"INHIBIT_SWITCH_MASK", "3"}, {"INHIBIT_SWITCH_VOLTAGE_LEVEL", "1000"}});
    h_.client().stop();
    ASSERT_TRUE(h_.wait_state(Component::READY));
    h_.linear().set_trace(true);
    h_.linear().clear_trace();
    EXPECT_EQ(inhibit_state(), 0);
    h_.linear().set_analog(0x53, 0);
    h_.linear().set_analog(0x54, 0);
    EXPECT_EQ(inhibit_state(), 0);
    h_.linear().set_analog(0x51, 999);
    EXPECT_EQ(inhibit_state(), 1);
    h_.linear().set_analog(0x52, 0);
    EXPECT_EQ(inhibit_state(), 3);
    h_.linear().set_analog(0x51, 1000);
    EXPECT_EQ(inhibit_state(), 2);
    EXPECT_EQ(adc_reads(0x53) + adc_reads(0x54), 0);
}

// ---- motor faults -------------------------------------------------------------------

TEST_F(SipperWatchTest, FollowingErrorOnAxis2IsLoggedOnceAndStopsOnce) {
    start();
    h_.linear().set_trace(true);
    h_.linear().clear_trace();
    h_.linear().set_following_error_fault(2, true);
    ASSERT_TRUE(h_.wait_log_line("Following error: 2")) << read_file(h_.log_path());
    EXPECT_TRUE(h_.wait_log_line("Sipper::emergency() motors killed"));
    EXPECT_EQ(h_.status(), STATE_ERROR);
    let_the_loop_run();
    EXPECT_EQ(h_.log_lines("Following error: 2"), 1);
    EXPECT_EQ(h_.log_lines("Sipper::emergency() motors killed"), 1);
    EXPECT_EQ(h_.log_lines("Motor off:"), 0);
    int kills = 0;
    for (const SimTraceRecord& r : h_.linear().trace())
        if (r.text == "flex_stop_motion(0, 2, 14)") ++kills;
    EXPECT_EQ(kills, 1);
}

TEST_F(SipperWatchTest, MotorOffAndFollowingErrorOfOneAxisLogMotorOffFirst) {
    start();
    h_.linear().set_motor_off_fault(1, true);
    h_.linear().set_following_error_fault(1, true);
    ASSERT_TRUE(h_.wait_log_line("Following error: 1")) << read_file(h_.log_path());
    const std::string log = read_file(h_.log_path());
    const auto motor_off = log.find("Motor off: 1");
    ASSERT_NE(motor_off, std::string::npos);
    EXPECT_LT(motor_off, log.find("Following error: 1"));
}

TEST_F(SipperWatchTest, FailingBoardReadEndsThePassWithAnEmergencyStop) {
    start({{"CHECK_KILL_SW", "0"}});
    h_.client().log_sip_sensor(1);
    h_.sync();
    h_.rotary().fail_function("flex_read_adc16_rtn", -70006, 1);
    ASSERT_TRUE(h_.wait_log_line("Sipper::task_loop(): ERROR Pci7344::read_adc_rtn  -- "))
        << read_file(h_.log_path());
    EXPECT_TRUE(h_.wait_log_line("Sipper::emergency() motors killed"));
    EXPECT_EQ(h_.status(), STATE_ERROR);
}

// ---- sip sensor history ---------------------------------------------------------------

TEST_F(SipperWatchTest, SensorHistoryIsWrittenOnlyWhileLoggingIsOn) {
    start();
    h_.rotary().set_analog(0x53, 2048);
    let_the_loop_run();
    EXPECT_TRUE(sensor_lines().empty());
    h_.client().log_sip_sensor(1);
    ASSERT_TRUE(wait_for([&] { return sensor_lines().size() >= 3; }, 5000));
    for (const std::string& line : sensor_lines()) EXPECT_EQ(last_word(line), "5.00") << line;
    h_.rotary().set_analog(0x53, 1024);
    ASSERT_TRUE(wait_for([&] { return last_word(sensor_lines().back()) == "2.50"; }, 5000));
    // Anything but 1 turns it off.
    h_.client().log_sip_sensor(2);
    h_.sync();
    let_the_loop_run();
    const size_t lines = sensor_lines().size();
    let_the_loop_run();
    EXPECT_EQ(sensor_lines().size(), lines);
}

}  // namespace
