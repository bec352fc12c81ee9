// The sipper's commands as a peer sees them: a Sipper under "Sipper" with its
// main loop on a thread, driven through a SipperIF client, on the simulated
// stage with board owners and a sample interface served in this process.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <string>

#include "interfaces/NI7344IF.h"
#include "interfaces/SipperMethods.h"
#include "motion/flexmotion.h"
#include "sipper/SipperConstants.h"
#include "sipper/SipperData.h"
#include "tests/sipper/sipper_harness.h"

using sipper_test::read_file;
using sipper_test::SipperHarness;
using sipper_test::wait_for;
using sipper_test::write_file;

namespace {

class SipperCommandsTest : public ::testing::Test {
protected:
    // The stage as the sipper reads it, millimetres.
    Vect3d here() {
        double x = 0, y = 0, z = 0;
        EXPECT_EQ(h_.client().get_current_positions(x, y, z), call_ok);
        return Vect3d(x, y, z);
    }

    static void expect_near(const Vect3d& v, double x, double y, double z) {
        EXPECT_NEAR(v.x, x, 0.05);
        EXPECT_NEAR(v.y, y, 0.05);
        EXPECT_NEAR(v.z, z, 0.05);
    }

    // Started, initialised, running and homed.
    void ready_and_homed() {
        h_.start_peers();
        h_.start_sipper();
        h_.initialise_and_run();
        h_.home();
    }

    SipperHarness h_;
};

// ---- before initialize ------------------------------------------------------

TEST_F(SipperCommandsTest, CommandsBeforeInitializeSkipTheMissingTaskAndBoards) {
    h_.start_sipper();
    SipperIF& c = h_.client();
    int value = -1;
    EXPECT_EQ(h_.status(), 0);
    c.home();
    EXPECT_EQ(h_.status(), 0);
    double x = 0, y = 0, z = 0;
    ASSERT_EQ(c.get_current_positions(x, y, z), call_ok);
    EXPECT_EQ(x, DBL_MAX);
    EXPECT_EQ(y, DBL_MAX);
    EXPECT_EQ(z, DBL_MAX);
    ASSERT_EQ(c.get_inhibit_state(value), call_ok);
    EXPECT_EQ(value, 0);
    c.stop_all_motion();
    ASSERT_EQ(c.emergency(5, value), call_ok);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(h_.status(), STATE_ERROR);
    EXPECT_EQ(h_.log_lines("Sipper::emergency() motors killed"), 1);
    c.reset_error_state();
    EXPECT_EQ(h_.status(), STATE_IDLE);
}

TEST_F(SipperCommandsTest, UnhomedSipperRefusesEveryMoveWithItsLine) {
    h_.start_sipper();
    SipperIF& c = h_.client();
    c.goto_position(1);
    c.goto_position_safe(1);
    c.sip("A1", 1, 0, 0, 1.0, 100, 100);
    c.wash(100, 100);
    int result = -1;
    ASSERT_EQ(c.set_position("A1", 10, result), call_ok);
    EXPECT_EQ(result, 0);
    int at_swap = -1;
    ASSERT_EQ(c.at_plate_swap_position(at_swap), call_ok);
    EXPECT_EQ(at_swap, 0);
    EXPECT_EQ(h_.log_lines("goto_position() ERROR : sipper not homed"), 1);
    EXPECT_EQ(h_.log_lines("goto_position_safe() ERROR : sipper not homed"), 1);
    EXPECT_EQ(h_.log_lines("sip Error, sipper not homed"), 1);
    EXPECT_EQ(h_.log_lines("wash Error, sipper not homed"), 1);
    EXPECT_EQ(h_.log_lines("set_position() A1 id = 10"), 1);
    EXPECT_EQ(h_.log_lines("set_position() ERROR : sipper not homed"), 1);
    EXPECT_EQ(h_.log_lines("Sipper::get_current_positions(): Sipper not homed! setting output to undefined"), 1);
}

TEST_F(SipperCommandsTest, PlateQueriesAnswerFromTheLoadedPlates) {
    h_.start_sipper();
    SipperIF& c = h_.client();
    std::string text;
    int rows = 0, columns = 0;
    ASSERT_EQ(c.get_all_plate_configs(text), call_ok);
    EXPECT_EQ(text, "plate384,plate96");
    ASSERT_EQ(c.get_plate_info(text, rows, columns), call_ok);
    EXPECT_EQ(text, "plate96");
    EXPECT_EQ(rows, 8);
    EXPECT_EQ(columns, 12);
    c.set_active_plate("plate384");
    ASSERT_EQ(c.get_plate_info(text, rows, columns), call_ok);
    EXPECT_EQ(text, "plate384");
    EXPECT_EQ(rows, 16);
    EXPECT_EQ(columns, 24);
    EXPECT_EQ(h_.log_lines("set active plate config to plate384"), 1);
    int type = 0;
    ASSERT_EQ(c.get_plate_type("plate96", type), call_ok);
    EXPECT_EQ(type, 96);
    // The type goes to the active plate whatever name comes with it.
    c.set_plate_type("plate96", 100);
    ASSERT_EQ(c.get_plate_type("plate384", type), call_ok);
    EXPECT_EQ(type, 100);
    ASSERT_EQ(c.get_num_plate_rows(rows), call_ok);
    ASSERT_EQ(c.get_num_plate_cols(columns), call_ok);
    EXPECT_EQ(rows, 16);
    EXPECT_EQ(columns, 24);
    c.set_missed_sip_tol(9);
    int tolerance = 0;
    ASSERT_EQ(c.get_missed_sip_tol(tolerance), call_ok);
    EXPECT_EQ(tolerance, 9);
    int configured = -1;
    ASSERT_EQ(c.system_configured(configured), call_ok);
    EXPECT_EQ(configured, 0);  // not homed
}

// ---- initialisation -----------------------------------------------------------

TEST_F(SipperCommandsTest, ResetFindsTheBoardsAndOpensTheSensorLog) {
    h_.start_peers();
    h_.start_sipper();
    h_.client().reset();
    ASSERT_TRUE(h_.wait_state(Component::READY)) << read_file(h_.log_path());
    EXPECT_EQ(h_.log_lines("Component::initialize() completed"), 1);
    EXPECT_EQ(h_.log_lines("initialize ERROR"), 0);
    EXPECT_TRUE(sipper_test::file_present(h_.dir().file("sip_sensor_history.log")));
    // The boards answer now.
    int bits = -1;
    ASSERT_EQ(h_.client().get_inhibit_state(bits), call_ok);
    EXPECT_EQ(bits, 0);
    // A second reset replaces the idle task and the boards.
    // (No query may wait meanwhile: the old task's client of this interface
    // releases its done signal when it is destroyed.)
    h_.client().reset();
    ASSERT_TRUE(wait_for([&] { return h_.log_lines("Component::initialize() completed") == 2; }, 10000));
    EXPECT_TRUE(h_.wait_state(Component::READY));
}

TEST_F(SipperCommandsTest, MissingLinearBoardOwnerFailsInitialisation) {
    // The owner's channel exists with a short call timeout, so the calls
    // that nobody answers fail quickly.
    NI7344IF absent("LinearMC");
    absent.open();
    absent.set_timeout(300);
    h_.start_peers(false, true);
    h_.start_sipper();
    h_.client().reset();
    ASSERT_TRUE(h_.wait_state(Component::INIT_FAILED)) << read_file(h_.log_path());
    // The task is built first and asks the owner itself.
    EXPECT_EQ(h_.log_lines("initialize ERROR : SipperTask: Failed to get linear mc board id"), 1);
}

TEST_F(SipperCommandsTest, MissingRotaryBoardOwnerFailsInitialisation) {
    NI7344IF absent("RotaryMC");
    absent.open();
    absent.set_timeout(300);
    h_.start_peers(true, false);
    h_.start_sipper();
    h_.client().reset();
    ASSERT_TRUE(h_.wait_state(Component::INIT_FAILED)) << read_file(h_.log_path());
    EXPECT_EQ(h_.log_lines("initialize ERROR : SipperTask: Failed to get rotary mc board id"), 1);
}

// A board owner that answers its first `answers` board-number questions only.
class ForgetfulOwner : public InterfaceServer {
public:
    ForgetfulOwner(const std::string& name, int board, int answers)
        : InterfaceServer(name), board_(board), answers_(answers) {
        add_table(component_methods::TABLE);
        add_table(ni7344_methods::TABLE);
        set_queue_size(DEFAULT_QUEUE_SIZE);
    }
    void dispatch(const Message& message) override {
        const MethodSpec* method = find_method(message.id());
        if (method != nullptr && message.id() == ni7344_methods::GET_ID && answers_-- > 0)
            reply(*method, message, {std::int32_t(board_)});
    }

private:
    int board_;
    int answers_;
};

TEST_F(SipperCommandsTest, OwnerThatStopsAnsweringAfterTheTaskGivesTheSippersOwnLines) {
    for (const char* owner : {"LinearMC", "RotaryMC"}) {
        SipperHarness h;
        const bool linear = std::string(owner) == "LinearMC";
        h.start_peers(!linear, linear);
        ForgetfulOwner forgetful(owner, linear ? h.linear_number() : h.rotary_number(), 1);
        forgetful.open();
        forgetful.set_timeout(300);
        std::atomic<bool> stop{false};
        std::thread serving([&] {
            while (!stop) forgetful.service();
        });
        h.start_sipper();
        h.client().reset();
        EXPECT_TRUE(h.wait_state(Component::INIT_FAILED)) << h.last_state_answer() << "\n"
                                                           << read_file(h.log_path());
        if (linear)
            EXPECT_EQ(h.log_lines("initialize ERROR : failed to get board id from linear mc"), 1);
        else
            EXPECT_EQ(h.log_lines("initialize ERROR : failed to get board id from rotary mc"), 1);
        h.stop_sipper();
        stop = true;
        serving.join();
    }
}

TEST_F(SipperCommandsTest, InitializeIsRefusedWhileAnOperationRuns) {
    ready_and_homed();
    h_.client().stop();
    ASSERT_TRUE(h_.wait_state(Component::READY));
    h_.client().wash(3000, 3000);
    ASSERT_TRUE(h_.wait_status(STATE_BUSY, 5000));
    h_.client().reset();
    ASSERT_TRUE(h_.wait_state(Component::INIT_FAILED));
    EXPECT_EQ(h_.log_lines("initialize ERROR : sipper task is currently active"), 1);
    // The operation goes on until it is stopped.
    EXPECT_EQ(h_.status(), STATE_BUSY);
    h_.client().stop_all_motion();
    ASSERT_TRUE(h_.wait_status(STATE_ERROR, 5000));
}

// ---- moves and the state table --------------------------------------------------

TEST_F(SipperCommandsTest, HomeThenMoveToNamedPositions) {
    ready_and_homed();
    expect_near(here(), 0, 0, 0);
    h_.client().goto_position(POSITION_WASHSTATION2);
    ASSERT_TRUE(h_.wait_status(STATE_IDLE)) << read_file(h_.log_path());
    expect_near(here(), 20, 50, 60);

    // Matrix 1 at the safe height of the active 96-well plate.
    h_.client().goto_position_safe(POSITION_MATRIX1);
    ASSERT_TRUE(h_.wait_status(STATE_IDLE));
    expect_near(here(), 50, 20, 10);

    h_.client().goto_position(POSITION_PLATE_SWAP);
    ASSERT_TRUE(h_.wait_status(STATE_IDLE));
    int at_swap = 0;
    ASSERT_EQ(h_.client().at_plate_swap_position(at_swap), call_ok);
    EXPECT_EQ(at_swap, 1);
    h_.client().goto_position(POSITION_PLATE_SWAP_APPROACH);
    ASSERT_TRUE(h_.wait_status(STATE_IDLE));
    ASSERT_EQ(h_.client().at_plate_swap_position(at_swap), call_ok);
    EXPECT_EQ(at_swap, 0);
    int configured = 0;
    ASSERT_EQ(h_.client().system_configured(configured), call_ok);
    EXPECT_EQ(configured, 1);
}

TEST_F(SipperCommandsTest, PositionChecksComeInOrder) {
    h_.write_config({{"WASHSTATION3_POSITION", ""}});
    ready_and_homed();
    h_.client().goto_position(0);
    h_.client().goto_position(POSITION_WASHSTATION3);
    h_.sync();
    EXPECT_EQ(h_.log_lines("goto_position() ERROR, position invalid"), 2);
    // After a plate change every id has an entry: now it is only undefined.
    h_.client().set_active_plate("plate384");
    h_.client().goto_position(POSITION_WASHSTATION3);
    h_.client().goto_position_safe(POSITION_WASHSTATION3);
    h_.sync();
    EXPECT_EQ(h_.log_lines("goto_position() ERROR, position is undefined"), 1);
    EXPECT_EQ(h_.log_lines("goto_position_safe() ERROR, position is undefined"), 1);
    // A plate without a safe height refuses safe moves before anything else.
    h_.client().set_active_plate("unknown");
    h_.client().goto_position_safe(POSITION_WASHSTATION1);
    h_.sync();
    EXPECT_EQ(h_.log_lines("goto_position_safe() ERROR, safe z position undefined"), 1);
    // Not configured: sips and washes are refused.
    h_.client().sip("A1", 1, 0, 0, 1.0, 100, 100);
    h_.client().wash(100, 100);
    h_.sync();
    EXPECT_EQ(h_.log_lines("sip Error, Sipper not configured"), 1);
    EXPECT_EQ(h_.log_lines("wash Error, sipper not configured"), 1);
    EXPECT_EQ(h_.status(), STATE_IDLE);
}

TEST_F(SipperCommandsTest, BusyAndErrorStatesRefuseCommandsWithTheirReasons) {
    ready_and_homed();
    SipperIF& c = h_.client();
    c.wash(3000, 3000);
    ASSERT_TRUE(h_.wait_status(STATE_BUSY, 5000));
    int result = -1;
    c.goto_position(1);
    c.goto_position_safe(1);
    c.sip("A1", 1, 0, 0, 1.0, 100, 100);
    c.wash(100, 100);
    c.home();
    ASSERT_EQ(c.set_position("W1", 1, result), call_ok);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(h_.log_lines("goto_position() Error, Sipper is in busy state"), 1);
    EXPECT_EQ(h_.log_lines("goto_position_safe() Error, Sipper is in busy state"), 1);
    EXPECT_EQ(h_.log_lines("sip Error, Sipper is in busy state"), 1);
    EXPECT_EQ(h_.log_lines("wash Error, Sipper is in busy state"), 1);
    EXPECT_EQ(h_.log_lines("homing Error, sipper busy"), 1);
    EXPECT_EQ(h_.log_lines("set_position Error, Sipper is in busy state"), 1);

    // reset_error_state under the running wash records idle, yet the worker
    // still runs: every start is refused before it can overwrite the request
    // (a sip row near INT_MAX once reached the running sip that way).
    c.reset_error_state();
    int status = -1;
    ASSERT_EQ(c.get_status(status), call_ok);
    EXPECT_EQ(status, STATE_BUSY);
    c.sip("A1", 1, INT_MAX, 0, 1.0, 100, 100);
    c.goto_position(1);
    c.home();
    ASSERT_EQ(c.set_position("W1", 1, result), call_ok);
    EXPECT_EQ(h_.log_lines("sip Error, Sipper is in busy state"), 2);
    EXPECT_EQ(h_.log_lines("goto_position() Error, Sipper is in busy state"), 2);
    EXPECT_EQ(h_.log_lines("homing Error, sipper busy"), 2);
    EXPECT_EQ(h_.log_lines("set_position Error, Sipper is in busy state"), 2);

    // A stop request ends the operation with an error.
    c.stop_all_motion();
    ASSERT_TRUE(h_.wait_status(STATE_ERROR, 5000));
    EXPECT_TRUE(h_.wait_log_line("SipperTask SipperTask Error : Quitflagged Exception : operation interrupted"))
        << read_file(h_.log_path());
    c.goto_position(1);
    c.sip("A1", 1, 0, 0, 1.0, 100, 100);
    ASSERT_EQ(c.set_position("W1", 1, result), call_ok);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(h_.log_lines("goto_position() Error, Sipper is in error state"), 1);
    EXPECT_EQ(h_.log_lines("sip Error, Sipper is in error state"), 1);
    EXPECT_EQ(h_.log_lines("set_position Error, Sipper is in error state"), 1);

    c.reset_error_state();
    EXPECT_EQ(h_.status(), STATE_IDLE);
    // home from the error state clears it and homes.
    ASSERT_EQ(c.emergency(3, result), call_ok);
    EXPECT_EQ(result, 3);
    EXPECT_EQ(h_.status(), STATE_ERROR);
    c.home();
    ASSERT_TRUE(h_.wait_status(STATE_IDLE)) << read_file(h_.log_path());
    EXPECT_EQ(h_.log_lines("homing Error"), 2);  // the two refusals while busy
    int homed = 0;
    c.is_homed(homed);
    EXPECT_EQ(homed, 1);
}

TEST_F(SipperCommandsTest, EmergencyKillsAllAxesAndStopAllMotionDecelerates) {
    ready_and_homed();
    h_.linear().set_trace(true);
    h_.linear().clear_trace();
    int result = 0;
    ASSERT_EQ(h_.client().emergency(-4, result), call_ok);
    EXPECT_EQ(result, -4);
    EXPECT_EQ(h_.status(), STATE_ERROR);
    const SimBoardView view = h_.linear().view();
    for (int axis = 1; axis <= 3; ++axis) EXPECT_TRUE(view.axes[axis].status & FLEX_AXIS_OFF) << axis;
    h_.client().reset_error_state();
    h_.linear().clear_trace();
    h_.client().stop_all_motion();
    h_.sync();
    int decelerate_stops = 0;
    for (const SimTraceRecord& r : h_.linear().trace())
        if (r.function == "flex_stop_motion" && r.text.find(", 0, 0)") != std::string::npos) ++decelerate_stops;
    EXPECT_EQ(decelerate_stops, 3);
}

// A stop about 0.4 s into homing, at board time factor 1 (Z is still
// searching its reverse limit): homing ends at once in error, with no further attempt
// and no move started after the stop, every axis stopped, not homed.
TEST_F(SipperCommandsTest, StopDuringHomingEndsItInErrorWithEveryAxisStopped) {
    h_.start_peers();
    h_.start_sipper();
    h_.initialise_and_run();
    h_.linear().set_time_factor(1);
    h_.linear().set_trace(true);
    const double z0 = h_.linear().view().axes[3].stage_position;
    h_.client().home();
    // About 0.4 s in: Z has searched one revolution (400 steps) up.
    ASSERT_TRUE(wait_for([&] { return std::fabs(h_.linear().view().axes[3].stage_position - z0) > 400; }, 5000));
    h_.linear().clear_trace();
    h_.client().stop_all_motion();
    ASSERT_TRUE(h_.wait_status(STATE_ERROR, 5000)) << read_file(h_.log_path());
    ASSERT_TRUE(wait_for(
        [&] {
            const SimBoardView v = h_.linear().view();
            return v.axes[1].velocity == 0 && v.axes[2].velocity == 0 && v.axes[3].velocity == 0;
        },
        5000));
    // The worker has ended: what the trace holds after the stop is all it did.
    bool stopped = false;
    for (const SimTraceRecord& r : h_.linear().trace()) {
        if (r.function == "flex_stop_motion") stopped = true;
        if (stopped) {
            EXPECT_TRUE(r.function != "flex_start" && r.function != "flex_find_reference") << r.text;
        }
    }
    EXPECT_TRUE(stopped);
    int homed = -1;
    ASSERT_EQ(h_.client().is_homed(homed), call_ok);
    EXPECT_EQ(homed, 0);
    ASSERT_TRUE(h_.wait_log_line("SipperTask SipperTask Error : Quitflagged Exception : operation interrupted"))
        << read_file(h_.log_path());
    EXPECT_EQ(h_.log_lines("SipperTask Begin homing operation"), 1);
    EXPECT_EQ(h_.status(), STATE_ERROR);
}

// position(8) read by at_plate_swap_position gives the id its entry; and a
// re-initialisation that could not build the worker leaves moves with a
// line saying so, not with a claim that a worker is active.
TEST_F(SipperCommandsTest, PlateSwapQueryCreatesItsEntryAndMovesWithoutWorkerSaySo) {
    h_.write_config({{"PLATE_SWAP_POSITION", ""}});
    ready_and_homed();
    h_.client().goto_position(POSITION_PLATE_SWAP);
    h_.sync();
    EXPECT_EQ(h_.log_lines("goto_position() ERROR, position invalid"), 1);
    int at_swap = -1;
    ASSERT_EQ(h_.client().at_plate_swap_position(at_swap), call_ok);
    EXPECT_EQ(at_swap, 0);
    h_.client().goto_position(POSITION_PLATE_SWAP);
    h_.sync();
    EXPECT_EQ(h_.log_lines("goto_position() ERROR, position is undefined"), 1);
    EXPECT_EQ(h_.log_lines("goto_position() ERROR, position invalid"), 1);

    // The linear board owner is gone: the new task cannot get its board.
    h_.client().stop();
    ASSERT_TRUE(h_.wait_state(Component::READY));
    h_.stop_peers();
    NI7344IF absent("LinearMC");
    absent.open();
    absent.set_timeout(300);
    h_.start_peers(false, true);
    h_.client().reset();
    ASSERT_TRUE(h_.wait_state(Component::INIT_FAILED)) << read_file(h_.log_path());
    h_.client().goto_position(POSITION_WASHSTATION1);
    h_.sync();
    EXPECT_EQ(h_.log_lines("Sipper: no worker task exists"), 1) << read_file(h_.log_path());
    EXPECT_EQ(h_.log_lines("Thread::start failed"), 0);
    EXPECT_EQ(h_.status(), STATE_IDLE);
}

TEST_F(SipperCommandsTest, BoardFailuresInCommandsAreLoggedAndServingGoesOn) {
    h_.write_config({{"CHECK_KILL_SW", "1"}});
    ready_and_homed();
    h_.client().stop();
    ASSERT_TRUE(h_.wait_state(Component::READY));
    h_.client().goto_position(POSITION_WASHSTATION1);
    ASSERT_TRUE(h_.wait_status(STATE_IDLE));
    const std::string cfg_before = read_file(h_.cfg_path());

    // A failed position read: nothing computed is reported, nothing stored.
    h_.linear().fail_function("flex_read_pos_rtn", -70006, 1);
    double x = 0, y = 0, z = 0;
    ASSERT_EQ(h_.client().get_current_positions(x, y, z), call_ok);
    EXPECT_EQ(x, DBL_MAX);
    EXPECT_EQ(y, DBL_MAX);
    EXPECT_EQ(z, DBL_MAX);
    EXPECT_EQ(h_.log_lines("Sipper::get_current_positions(): ERROR Pci7344::read_pos_rtn -- "), 1);
    h_.linear().fail_function("flex_read_pos_rtn", -70006, 1);
    int result = -1;
    ASSERT_EQ(h_.client().set_position("W3", POSITION_WASHSTATION3, result), call_ok);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(h_.cfg_path()), cfg_before);

    // One axis that cannot be stopped does not keep the others going.
    h_.linear().set_trace(true);
    h_.linear().clear_trace();
    h_.linear().fail_function("flex_stop_motion", -70006, 1);
    h_.client().stop_all_motion();
    h_.sync();
    EXPECT_EQ(h_.log_lines("stop_all_motion() ERROR : Pci7344::stop_motion  -- "), 1);
    int stops = 0;
    for (const SimTraceRecord& r : h_.linear().trace())
        if (r.function == "flex_stop_motion" && r.status == 0) ++stops;
    EXPECT_EQ(stops, 2);

    // The emergency stop reports its own failure and still sets the error.
    h_.linear().fail_function("flex_stop_motion", -70006, 1);
    ASSERT_EQ(h_.client().emergency(6, result), call_ok);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(h_.status(), STATE_ERROR);
    EXPECT_EQ(h_.log_lines("Sipper::emergency() failed: Pci7344::stop_motion  -- "), 1);
    EXPECT_EQ(h_.log_lines("Sipper::emergency() motors killed"), 0);

    // An inhibit query that cannot read the board answers 0.
    h_.linear().fail_function("flex_read_adc16_rtn", -70006, 1);
    int bits = -1;
    ASSERT_EQ(h_.client().get_inhibit_state(bits), call_ok);
    EXPECT_EQ(bits, 0);
    EXPECT_EQ(h_.log_lines("get_inhibit_state() ERROR : Pci7344::read_adc_rtn  -- "), 1);
    int state = -1;
    ASSERT_EQ(h_.client().get_state(state), call_ok);
    EXPECT_EQ(state, Component::READY);
}

TEST_F(SipperCommandsTest, SetPositionOfStationRewritesTheConfigurationFile) {
    ready_and_homed();
    h_.client().goto_position(POSITION_WASHSTATION1);
    ASSERT_TRUE(h_.wait_status(STATE_IDLE));
    int result = 0;
    ASSERT_EQ(h_.client().set_position("W3", POSITION_WASHSTATION3, result), call_ok);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(h_.log_lines("set_position() W3 id = 3"), 1);
    const std::string cfg = read_file(h_.cfg_path());
    EXPECT_NE(cfg.find("WASHSTATION3_POSITION=\"20.0000000000 20.0000000000 60.0000000000\";"),
              std::string::npos)
        << cfg;
    // The plate files are not touched.
    EXPECT_EQ(read_file(h_.plate_path("plate96")),
              read_file(std::string(SIPPER_SOURCE_DIR) + "/examples/plate96.platecfg"));
}

TEST_F(SipperCommandsTest, SetPositionOfPlateReferenceRewritesThePlateFile) {
    ready_and_homed();
    h_.client().goto_position(POSITION_WASHSTATION2);
    ASSERT_TRUE(h_.wait_status(STATE_IDLE));
    int result = 0;
    ASSERT_EQ(h_.client().set_position("A1", POSITION_PLATE_REF0, result), call_ok);
    EXPECT_EQ(result, 1);
    const std::string plate = read_file(h_.plate_path("plate96"));
    EXPECT_NE(plate.find("POSITION0=\"20.0000000000 50.0000000000 60.0000000000\";"), std::string::npos)
        << plate;
    EXPECT_NE(plate.find("POSITION1=\"183.0000000000 60.0000000000 70.0000000000\";"), std::string::npos);
    EXPECT_NE(plate.find("PLATE_TYPE=96;"), std::string::npos);
}

TEST_F(SipperCommandsTest, SetPositionWithBrokenPlateFileIsRefusedAndServingGoesOn) {
    ready_and_homed();
    write_file(h_.plate_path("plate96"), "PLATE_TYPE=96\nPOSITION0=\"1 2 3\";\n");
    int result = -1;
    ASSERT_EQ(h_.client().set_position("A1", POSITION_PLATE_REF0, result), call_ok);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(h_.log_lines("set_position() ERROR : "), 1);
    int state = -1;
    ASSERT_EQ(h_.client().get_state(state), call_ok);
    EXPECT_EQ(state, Component::RUNNING);
    EXPECT_EQ(h_.log_lines("QUITTING MAIN COMPONENT THREAD"), 0);
}

TEST_F(SipperCommandsTest, SipOfAWellRunsTheSampleCycleAndReturnsToIdle) {
    h_.write_config({{"SIP_SENSOR_PRESENT", "0"}});
    ready_and_homed();
    h_.client().sip("sample 7", 42, 2, 3, 1.5, 100, 100);
    ASSERT_TRUE(h_.wait_status(STATE_BUSY, 5000));
    ASSERT_TRUE(h_.wait_status(STATE_IDLE, 30000)) << read_file(h_.log_path());
    bool started = false;
    for (const SampleCall& call : h_.sample_interface().calls()) {
        if (call.method != "start_sipping") continue;
        started = true;
        EXPECT_EQ(call.text, "sample 7");
        ASSERT_GE(call.ints.size(), 3u);
        EXPECT_EQ(call.ints[0], 42);
        EXPECT_EQ(call.ints[1], 3);
        EXPECT_EQ(call.ints[2], 4);
    }
    EXPECT_TRUE(started);
    EXPECT_EQ(h_.log_lines("SipperTask Error"), 0);
}

TEST_F(SipperCommandsTest, FlagCommandsReachTheSharedRecord) {
    h_.start_sipper();
    SipperIF& c = h_.client();
    c.twister_arm_clear_of_stage(2);
    c.sample_interface_states_changed();
    c.reset_run_stats();
    h_.sync();
    EXPECT_TRUE(h_.sipper().data().twister_arm_clear());
    EXPECT_TRUE(h_.sipper().data().sample_interface_changed());
    EXPECT_EQ(h_.sipper().data().missed_sip_count(), 0);
    c.twister_arm_clear_of_stage(0);
    h_.sync();
    EXPECT_FALSE(h_.sipper().data().twister_arm_clear());
}

// ---- the properties area ----------------------------------------------------------

TEST_F(SipperCommandsTest, RepliesLandAtTheirOffsetsAndLeaveTheComponentBlockAlone) {
    h_.start_sipper();
    SipperIF& c = h_.client();
    // Sentinels in the component block.
    ASSERT_TRUE(c.write_slot(Field{FieldType::string, 12}, std::string_view("name sentinel")));
    ASSERT_TRUE(c.write_slot(Field{FieldType::i32, 4108}, std::int32_t{-77}));
    ASSERT_TRUE(c.write_slot(Field{FieldType::i32, 4120}, std::int32_t{-78}));
    ASSERT_TRUE(c.write_slot(Field{FieldType::string, 8220}, std::string_view("dir sentinel")));

    int value = 0;
    std::string text;
    double x = 0, y = 0, z = 0;
    c.set_missed_sip_tol(11);
    ASSERT_EQ(c.get_missed_sip_tol(value), call_ok);
    ASSERT_EQ(c.get_plate_info(text, value, value), call_ok);
    ASSERT_EQ(c.get_all_plate_configs(text), call_ok);
    ASSERT_EQ(c.get_current_positions(x, y, z), call_ok);
    ASSERT_EQ(c.emergency(1234, value), call_ok);
    ASSERT_EQ(c.get_plate_type("plate384", value), call_ok);
    ASSERT_EQ(c.get_num_plate_rows(value), call_ok);
    ASSERT_EQ(c.get_num_plate_cols(value), call_ok);
    ASSERT_EQ(c.get_status(value), call_ok);

    std::int32_t i = 0;
    double d = 0;
    std::string s;
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 12316}, i));
    EXPECT_EQ(i, STATE_ERROR);  // get_status after the emergency stop
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 12324}, i));
    EXPECT_EQ(i, 384);
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 12328}, i));
    EXPECT_EQ(i, 11);
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 12336}, i));
    EXPECT_EQ(i, 1234);
    for (std::uint32_t offset : {12340u, 12348u, 12356u}) {
        ASSERT_TRUE(c.read_slot(Field{FieldType::f64, offset}, d));
        EXPECT_EQ(d, DBL_MAX) << offset;
    }
    ASSERT_TRUE(c.read_slot(Field{FieldType::string, 12364}, s));
    EXPECT_EQ(s, "plate96");
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 16460}, i));
    EXPECT_EQ(i, 8);
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 16464}, i));
    EXPECT_EQ(i, 12);
    ASSERT_TRUE(c.read_slot(Field{FieldType::string, 16468}, s));
    EXPECT_EQ(s, "plate384,plate96");
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 20568}, i));
    EXPECT_EQ(i, 8);
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 20572}, i));
    EXPECT_EQ(i, 12);

    ASSERT_TRUE(c.read_slot(Field{FieldType::string, 12}, s));
    EXPECT_EQ(s, "name sentinel");
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 4108}, i));
    EXPECT_EQ(i, -77);
    ASSERT_TRUE(c.read_slot(Field{FieldType::i32, 4120}, i));
    EXPECT_EQ(i, -78);
    ASSERT_TRUE(c.read_slot(Field{FieldType::string, 8220}, s));
    EXPECT_EQ(s, "dir sentinel");
}

TEST_F(SipperCommandsTest, ComponentMethodsStillServedAndUnknownIdsIgnored) {
    h_.start_sipper();
    SipperIF& c = h_.client();
    std::string name;
    ASSERT_EQ(c.get_name(name), call_ok);
    EXPECT_EQ(name, "Sipper");
    std::string dir;
    ASSERT_EQ(c.get_cfg_dir(dir), call_ok);
    EXPECT_EQ(dir, h_.dir().path());

    // A query with id 40 gets no reply: the call times out.
    c.set_timeout(300);
    const MethodSpec unknown = query_method("unknown", 40, {}, {});
    std::vector<InterfaceClient::Value> results;
    EXPECT_EQ(c.query(unknown, {}, results), call_timeout);
    c.set_timeout(5000);
    EXPECT_EQ(h_.status(), 0);
}

TEST_F(SipperCommandsTest, LongPlateListIsCutToTheReplyField) {
    // 300 plate names of 20 characters: far more than 4095 characters joined.
    for (int i = 0; i < 300; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "p%019d", i);
        write_file(h_.plate_path(name), "PLATE_TYPE=96;\n");
    }
    h_.start_sipper();
    std::string text;
    ASSERT_EQ(h_.client().get_all_plate_configs(text), call_ok);
    EXPECT_EQ(text.size(), 4095u);
    EXPECT_EQ(text.rfind("p0000000000000000000,p0000000000000000001,", 0), 0u);
}

}  // namespace
