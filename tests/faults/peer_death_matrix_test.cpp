// The peer-death matrix: the sample interface, the log server and each board
// owner, served by an installation-sim process of their own, are killed with
// SIGKILL at each phase of a sensed sip (before the descent, in the sample,
// during the washes, in the final wait). The sipper must answer get_state all
// along, end the sip (in error with its line when the sip needed the dead
// peer, done otherwise), leave no axis moving, and after the peer is
// restarted and the sipper reset, sip again.

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <functional>
#include <string>

#include "tests/system/InstallationHarness.h"

namespace {

enum class Phase { before_descent, in_sample, washing, final_wait };
const Phase PHASES[] = {Phase::before_descent, Phase::in_sample, Phase::washing, Phase::final_wait};

const char* phase_name(Phase p)
{
    switch (p) {
    case Phase::before_descent: return "before the descent";
    case Phase::in_sample: return "in the sample";
    case Phase::washing: return "during the washes";
    default: return "in the final wait";
    }
}

class PeerDeathMatrixTest : public InstallationTest, public ::testing::WithParamInterface<const char*> {
protected:
    static constexpr const char* VICTIM_IF = "PeerDeathVictim";
    // Board steps per millimetre of the default stage and the example
    // configuration's wash stations (X, Y in mm).
    static constexpr double STEPS_PER_MM = 80.0;
    static constexpr double WASH1_X = 20, WASH1_Y = 20, WASH2_X = 20, WASH2_Y = 50;
    static constexpr int WASH_MS = 300;
    static constexpr double SIP_DEADLINE_S = 60.0;

    std::string victim() const { return GetParam(); }
    bool victim_is_sample_interface() const { return victim() == "SampleInterface"; }

    // The victim peer in its own installation-sim, the rest in the main one.
    void start_all()
    {
        std::ofstream v(path("victim.cfg"));
        v << "INSTALLATION_IF = \"" << VICTIM_IF << "\";\n"
          << "PREPARE_BOARDS = 0;\n"
          << "SERVE = [\"" << victim() << "\"];\n"
          << "CYCLE_STATE_DURATIONS = [300, 1200, 1200];\n"
          << "LOG_DIR = \"" << path("victim-logs") << "\";\n";
        v.close();
        start_victim();
        std::string serve;
        for (const char* peer : {"LinearMC", "RotaryMC", "SampleInterface", "LogServer", "Supervisor"})
            if (victim() != peer)
                serve += std::string(serve.empty() ? "" : ", ") + "\"" + peer + "\"";
        launch_installation("TIME_FACTOR = 20.0;\nSERVE = [" + serve + "];\nCYCLE_STATE_DURATIONS = [300, 1200, 1200];\n" +
                            sipper_component());
    }

    void start_victim()
    {
        victim_pid_ = spawn({bin("installation-sim"), path("victim.cfg")}, path("victim-sim.out"));
        ASSERT_GT(victim_pid_, 0);
        ASSERT_TRUE(answers(victim(), 10.0)) << read_file(path("victim-sim.out"));
    }

    void kill_victim()
    {
        kill(victim_pid_, SIGKILL);
        waitpid(victim_pid_, nullptr, 0);
        victim_pid_ = -1;
    }

    void TearDown() override
    {
        sipper_.reset();
        stop_installation();
        if (victim_pid_ > 0) {
            ComponentIF c(VICTIM_IF);
            int status = 0;
            if (c.open())
                c.kill();
            if (!wait_exit(victim_pid_, 20.0, status))
                kill_victim();
        }
        ComponentInterface::remove_objects(VICTIM_IF);
        InstallationTest::TearDown();
    }

    std::string sample_interface_log() const
    {
        return read_file(path(victim_is_sample_interface() ? "victim-logs/SampleInterface.log"
                                                           : "logs/SampleInterface.log"));
    }

    // The sip of matrix station 1, tagged so that the sample interface's
    // log tells this sip from the others.
    void send_sip(int tag) { ASSERT_EQ(sipper().sip("m1", tag, 1000, 1, 0.0, WASH_MS, WASH_MS), call_ok); }

    static bool near(int32_t steps, double mm) { return std::abs(steps - mm * STEPS_PER_MM) <= 2.0; }

    // Waits, while the sip runs, until the phase has come.
    bool reach(Phase phase)
    {
        SimBoard board(1);
        bool wash2_seen = false;
        std::function<bool()> reached;
        switch (phase) {
        case Phase::before_descent: return true;
        case Phase::in_sample:
            reached = [&] {
                const std::string text = log("sipper.log");
                return text.find("SIP SENSOR 1 , ") != std::string::npos ||
                       text.find("SIP SENSOR 0 , ") != std::string::npos;
            };
            break;
        case Phase::washing:
            reached = [&] {
                const SimBoardView v = board.view();
                return near(v.axes[1].position, WASH1_X) && near(v.axes[2].position, WASH1_Y);
            };
            break;
        default:
            // Lifted (Z at rest, above the station) after the second station.
            reached = [&] {
                const SimBoardView v = board.view();
                if (near(v.axes[1].position, WASH2_X) && near(v.axes[2].position, WASH2_Y)) {
                    if (v.axes[3].velocity == 0.0 && v.axes[3].position < 40 * STEPS_PER_MM)
                        return wash2_seen;
                    wash2_seen = true;
                }
                return false;
            };
            break;
        }
        Timer t;
        t.start();
        while (t.elapsed() < 30.0) {
            if (reached())
                return true;
            if (status() != 2)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    // Polls until the sip ends; every poll must be answered.
    int wait_sip_end(const std::string& where)
    {
        Timer t;
        t.start();
        int s = 2;
        while (t.elapsed() < SIP_DEADLINE_S) {
            int state = -1;
            EXPECT_EQ(sipper().get_state(state), call_ok) << where << " at " << t.elapsed() << " s";
            EXPECT_EQ(state, 2) << where;
            if (sipper().get_status(s) != call_ok)
                s = -1;
            if (s != 2)
                return s;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << where << ": the sip never ended\n" << log("sipper.log");
        return s;
    }

    void expect_at_rest(const std::string& where)
    {
        SimBoard board(1);
        const double end = board.view().board_time;
        ASSERT_TRUE(eventually([&] { return board.view().board_time >= end + 2.0; }, 10.0));
        const SimBoardView v = board.view();
        for (int axis = 1; axis <= 3; ++axis)
            EXPECT_EQ(v.axes[axis].velocity, 0.0) << where << ": axis " << axis << " still moves";
    }

    // After the restart: stop, reset, run, homed, then a sip that works.
    void reset_and_sip_again(const std::string& where, int tag)
    {
        // A reset replaces the worker, whose client of the sipper's own
        // interface goes away: a query waiting just then is woken with
        // call_wrong_reply and asked again.
        auto answered_state = [&] {
            int s = -1;
            int rc = sipper().get_state(s);
            if (rc == call_wrong_reply)
                rc = sipper().get_state(s);
            return rc == call_ok ? s : -1;
        };
        ASSERT_EQ(sipper().stop(), call_ok);
        ASSERT_TRUE(eventually([&] { return answered_state() != 2; }, 5.0));
        ASSERT_EQ(sipper().reset(), call_ok);
        ASSERT_TRUE(eventually([&] { return answered_state() == 1; }, 15.0)) << where << "\n" << log("sipper.log");
        ASSERT_EQ(sipper().run(), call_ok);
        ASSERT_TRUE(eventually([&] { return answered_state() == 2; }, 5.0));
        ASSERT_EQ(sipper().reset_error_state(), call_ok);
        int homed = 0;
        ASSERT_EQ(sipper().is_homed(homed), call_ok);
        if (homed != 1)
            home();
        send_sip(tag);
        EXPECT_EQ(wait_sip_end(where + ", the sip after the restart"), 0) << where << "\n" << log("sipper.log");
        EXPECT_TRUE(eventually(
            [&] {
                return sample_interface_log().find("tag=" + std::to_string(tag) + " ") != std::string::npos;
            },
            5.0))
            << where << ": the sample interface has no record of the sip after the restart";
    }

    pid_t victim_pid_ = -1;
};

TEST_P(PeerDeathMatrixTest, KilledAtEachPhaseOfASensedSip)
{
    start_all();
    initialise();
    home();
    ASSERT_EQ(sipper().set_active_plate("plate96"), call_ok);
    int handled = 0, tag = 100;
    for (Phase phase : PHASES) {
        const std::string where = victim() + " killed " + phase_name(phase);
        const std::size_t log_before = log("sipper.log").size();
        const int sip_tag = ++tag;
        send_sip(sip_tag);
        ASSERT_TRUE(reach(phase)) << where << ": the sip ended before that phase\n" << log("sipper.log");
        kill_victim();
        const int result = wait_sip_end(where);
        const std::string text = log("sipper.log").substr(log_before);
        if (victim_is_sample_interface()) {
            // The sample interface's cycle is what the sip follows: without
            // it the sip cannot be done, and says why.
            EXPECT_EQ(result, 1) << where << "\n" << text;
            EXPECT_NE(text.find("SipperTask Error : "), std::string::npos) << where << "\n" << text;
        } else {
            // A sip does not need this peer.
            EXPECT_EQ(result, 0) << where << "\n" << text;
            EXPECT_NE(sample_interface_log().find("tag=" + std::to_string(sip_tag) + " "), std::string::npos)
                << where;
        }
        EXPECT_EQ(text.find("Component::main Error"), std::string::npos) << where << "\n" << text;
        expect_at_rest(where);
        start_victim();
        reset_and_sip_again(where, ++tag);
        if (HasFatalFailure())
            return;
        if (!HasFailure())
            ++handled;
    }
    std::printf("%s: killed at %d phases of a sensed sip, %d handled\n", victim().c_str(), 4, handled);
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerDeathMatrixTest,
                         ::testing::Values("SampleInterface", "LogServer", "LinearMC", "RotaryMC"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
