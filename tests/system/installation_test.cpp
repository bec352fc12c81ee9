#include <cmath>
#include <regex>

#include "tests/system/InstallationHarness.h"

// End-to-end scenarios on the simulated installation: one behaviour each,
// driven through the sipper's interface as a peer would drive it.

namespace {

int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

TEST_F(InstallationTest, DemoFlowHomesSipsWashesParksAndLeavesNothingBehind)
{
    start_installation();
    initialise();
    home();
    ASSERT_EQ(sipper().set_active_plate("plate96"), call_ok);
    std::string plate;
    int rows = 0, cols = 0;
    ASSERT_EQ(sipper().get_plate_info(plate, rows, cols), call_ok);
    EXPECT_EQ(plate, "plate96");
    EXPECT_EQ(rows, 8);
    EXPECT_EQ(cols, 12);

    ASSERT_EQ(sipper().sip("A1", 11, 0, 0, 0.0, 100, 100), call_ok);
    ASSERT_EQ(wait_done(), 0) << log("sipper.log");
    ASSERT_EQ(sipper().sip("H12", 12, 7, 11, 0.0, 100, 100), call_ok);
    ASSERT_EQ(wait_done(), 0) << log("sipper.log");
    ASSERT_EQ(sipper().sip("matrix", 13, 1000, 3, 0.0, 100, 100), call_ok);
    ASSERT_EQ(wait_done(), 0) << log("sipper.log");
    ASSERT_EQ(sipper().wash(100, 100), call_ok);
    ASSERT_EQ(wait_done(), 0) << log("sipper.log");
    ASSERT_EQ(sipper().goto_position(8), call_ok);
    ASSERT_EQ(wait_done(), 0) << log("sipper.log");
    int at_swap = 0;
    ASSERT_EQ(sipper().at_plate_swap_position(at_swap), call_ok);
    EXPECT_EQ(at_swap, 1);
    double x = 0, y = 0, z = 0;
    positions(x, y, z);
    EXPECT_NEAR(x, 350.0, 0.25);
    EXPECT_NEAR(y, 250.0, 0.25);

    // The sample interface saw the wells one-based, as the sipper sends them.
    std::string si = log("SampleInterface.log");
    EXPECT_NE(si.find("text=\"A1\" tag=11 row=1 column=1"), std::string::npos) << si;
    EXPECT_NE(si.find("text=\"H12\" tag=12 row=8 column=12"), std::string::npos) << si;
    EXPECT_NE(si.find("text=\"matrix\" tag=13 row=1001 column=4"), std::string::npos) << si;
    // The log server got the sipper's lines.
    EXPECT_NE(log("collected.log").find("<Sipper>: SipperTask Homing complete"), std::string::npos);

    sipper_.reset();
    stop_installation();
    for (const char* n : FIXED_NAMES)
        for (const std::string& obj : ComponentInterface::object_names(n)) {
            EXPECT_FALSE(exists("/dev/shm/" + obj)) << obj;
            EXPECT_FALSE(exists("/dev/shm/sem." + obj)) << obj;
        }
    EXPECT_FALSE(exists("/dev/shm/flexsim-board-1"));
    EXPECT_FALSE(exists("/dev/shm/pci7344-1MUTEX"));
    EXPECT_NE(log("sipper.log").find("QUITTING MAIN COMPONENT THREAD"), std::string::npos);
}

TEST_F(InstallationTest, SensedSipInLiquidIsSeenAndOneAboveItIsMissed)
{
    start_installation();
    initialise();
    home();
    ASSERT_EQ(sipper().set_active_plate("plate96"), call_ok);
    // Wells lie at Z 70; the simulated liquid starts below Z 58.75.
    ASSERT_EQ(sipper().sip("wet", 1, 2, 2, 0.0, 100, 100), call_ok);
    ASSERT_EQ(wait_done(), 0) << log("sipper.log");
    ASSERT_EQ(sipper().sip("dry", 2, 2, 3, 15.0, 100, 100), call_ok);
    ASSERT_EQ(wait_done(), 0) << log("sipper.log");
    std::string si = log("SampleInterface.log");
    EXPECT_NE(si.find("text=\"wet\" tag=1 row=3 column=3 sample_seen=1"), std::string::npos) << si;
    EXPECT_NE(si.find("text=\"dry\" tag=2 row=3 column=4 sample_seen=0"), std::string::npos) << si;
    EXPECT_NE(log("sipper.log").find("NEVER SAW SIP SENSOR OUTPUT"), std::string::npos);
}

TEST_F(InstallationTest, InhibitTripDuringAMoveKillsTheAxesAndReleaseResets)
{
    start_installation();
    initialise();
    home();
    ASSERT_EQ(sipper().goto_position(8), call_ok);
    ASSERT_TRUE(eventually([&] { return status() == 2; }, 5.0));
    SimBoard board(1);
    ASSERT_TRUE(board.valid());
    ASSERT_TRUE(board.set_analog(0x54, 0));  // the kill switch opens
    EXPECT_TRUE(eventually([&] { return status() == 1; }, 10.0)) << log("sipper.log");
    int inhibit = 0;
    ASSERT_EQ(sipper().get_inhibit_state(inhibit), call_ok);
    EXPECT_EQ(inhibit, 8);
    EXPECT_NE(log("sipper.log").find("Sipper::emergency() motors killed"), std::string::npos);
    SimBoardView v = board.view();
    for (int axis = 1; axis <= 3; ++axis)
        EXPECT_EQ(v.axes[axis].velocity, 0.0) << "axis " << axis;

    ASSERT_TRUE(board.set_analog(0x54, 2000));  // released
    EXPECT_TRUE(eventually([&] { return status() == 0; }, 10.0)) << log("sipper.log");
    EXPECT_TRUE(eventually([&] { return log("sipper.log").find("Sipper has been successfully reset.") !=
                                        std::string::npos; },
                           5.0));
}

TEST_F(InstallationTest, MotorFaultInjectedWithTheBoardToolStopsTheSipper)
{
    start_installation();
    initialise();
    home();
    ASSERT_EQ(sipper().goto_position(8), call_ok);
    ASSERT_TRUE(eventually([&] { return status() == 2; }, 5.0));
    std::string cmd = bin("boardsim") + " fault 1 motor-off 1 on > /dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_TRUE(eventually([&] { return status() == 1; }, 10.0)) << log("sipper.log");
    EXPECT_TRUE(eventually([&] { return log("sipper.log").find("Motor off: 1") != std::string::npos; }, 5.0))
        << log("sipper.log");
    EXPECT_NE(log("sipper.log").find("Sipper::emergency() motors killed"), std::string::npos);
}

TEST_F(InstallationTest, StopAllMotionDuringAWashEndsItInTheErrorState)
{
    start_installation();
    initialise();
    home();
    ASSERT_EQ(sipper().wash(3000, 3000), call_ok);
    ASSERT_TRUE(eventually([&] { return status() == 2; }, 5.0));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(sipper().stop_all_motion(), call_ok);
    EXPECT_EQ(wait_done(10.0), 1) << log("sipper.log");
    EXPECT_NE(log("sipper.log").find("Quitflagged Exception : operation interrupted"), std::string::npos)
        << log("sipper.log");
    // The next command is accepted after the error is cleared.
    ASSERT_EQ(sipper().reset_error_state(), call_ok);
    EXPECT_EQ(status(), 0);
}

TEST_F(InstallationTest, SetPositionTeachesAPlateReferenceAndRewritesThePlateFile)
{
    start_installation();
    initialise();
    home();
    ASSERT_EQ(sipper().set_active_plate("plate96"), call_ok);
    ASSERT_EQ(sipper().goto_position(3), call_ok);  // wash station 3 at 20 80 60
    ASSERT_EQ(wait_done(), 0) << log("sipper.log");
    std::string before = read_file(path("cfg/plate96.platecfg"));
    int result = -1;
    ASSERT_EQ(sipper().set_position("A1", 10, result), call_ok);
    EXPECT_EQ(result, 1);
    std::string after = read_file(path("cfg/plate96.platecfg"));
    EXPECT_NE(after, before);
    EXPECT_NE(after.find("POSITION0=\"20.0000000000 80.0000000000 60.0000000000\""), std::string::npos) << after;
    // The other references stay as they were.
    EXPECT_NE(after.find("POSITION1=\"183"), std::string::npos) << after;
}

TEST_F(InstallationTest, SaveAndLoadConfigThroughTheInterface)
{
    start_installation();
    int result = -1;
    ASSERT_EQ(sipper().save_config(path("saved/copy.cfg"), result), call_ok);
    EXPECT_EQ(result, 0) << log("sipper.log");
    std::string saved = read_file(path("saved/copy.cfg"));
    EXPECT_NE(saved.find("FREQ="), std::string::npos) << saved;
    EXPECT_NE(saved.find("MATRIX2_POSITION="), std::string::npos) << saved;

    ASSERT_EQ(sipper().load_config(path("saved/copy.cfg"), result), call_ok);
    EXPECT_EQ(result, 0) << log("sipper.log");

    std::ofstream(path("broken.cfg")) << "FREQ = 10;\nLOGSERVERIF = \"LogServer\"\nthis is not a line\n";
    ASSERT_EQ(sipper().load_config(path("broken.cfg"), result), call_ok);
    EXPECT_EQ(result, -1);
    EXPECT_NE(log("sipper.log").find("load_config() failed: "), std::string::npos) << log("sipper.log");
    // Still serving after the failure.
    EXPECT_EQ(state(), 0);
}

TEST_F(InstallationTest, SipperKilledMidMoveIsRestartedDiscardsStaleCommandsAndHomesAgain)
{
    start_installation(false, "SampleInterface");
    own_sipper_ = spawn({bin("sipper"), "Sipper", path("logs/sipper.log"), path("cfg/sipper.cfg")},
                        path("sipper1.out"));
    ASSERT_TRUE(answers("Sipper", 10.0));
    initialise();
    home();
    ASSERT_EQ(sipper().goto_position(8), call_ok);
    ASSERT_TRUE(eventually([&] { return status() == 2; }, 5.0));
    kill(own_sipper_, SIGKILL);
    waitpid(own_sipper_, nullptr, 0);
    own_sipper_ = -1;

    // Commands sent while nobody serves stay queued and must not run later.
    ASSERT_EQ(sipper().goto_position(1), call_ok);
    ASSERT_EQ(sipper().home(), call_ok);
    int s = 0;
    EXPECT_EQ(sipper().get_status(s), call_not_connected);

    own_sipper_ = spawn({bin("sipper"), "Sipper", path("logs/sipper2.log"), path("cfg/sipper.cfg")},
                        path("sipper2.out"));
    ASSERT_TRUE(answers("Sipper", 10.0));
    EXPECT_EQ(state(), 0);  // CREATED: the queued home was discarded, not served
    initialise();
    int homed = 1;
    ASSERT_EQ(sipper().is_homed(homed), call_ok);
    EXPECT_EQ(homed, 0);
    EXPECT_EQ(status(), 0);
    EXPECT_EQ(count(log("sipper2.log"), "Begin homing operation"), 0);
    home();
    ASSERT_EQ(sipper().goto_position(8), call_ok);
    ASSERT_EQ(wait_done(), 0) << log("sipper2.log");
    ASSERT_EQ(sipper().kill(), call_ok);
    int st = 0;
    ASSERT_TRUE(wait_exit(own_sipper_, 10.0, st));
    own_sipper_ = -1;
}

TEST_F(InstallationTest, BadArgumentsAndABrokenConfigurationFileGiveTheirMessages)
{
    std::string out = path("args.out");
    std::string cmd = bin("sipper") + " Sipper " + path("x.log") + " > " + out + " 2>&1";
    ASSERT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 2);  // a supervisor must not restart it
    EXPECT_NE(read_file(out).find(" caught exception: Must specify interface name, logfile, and config file"),
              std::string::npos)
        << read_file(out);

    std::ofstream(path("cfg/broken.cfg")) << "FREQ = 10;\nLOGSERVERIF = \"LogServer\"\n= = ;\n";
    out = path("broken.out");
    cmd = bin("sipper") + " Sipper " + path("broken.log") + " " + path("cfg/broken.cfg") + " > " + out + " 2>&1";
    ASSERT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 2);
    std::string text = read_file(out);
    EXPECT_NE(text.find("caught exception: Sipper Constructor -- Failed to load config file " +
                        path("cfg/broken.cfg")),
              std::string::npos)
        << text;
    // The log names where the file went wrong.
    EXPECT_NE(read_file(path("broken.log")).find("Component::load_config() failed:  line 2 column 26"), std::string::npos)
        << read_file(path("broken.log"));

    // The installation refuses a broken installation file before it makes anything.
    std::ofstream(path("bad-installation.cfg")) << "LINEAR_BOARD = \"one\";\n";
    out = path("bad-installation.out");
    cmd = bin("installation-sim") + " " + path("bad-installation.cfg") + " > " + out + " 2>&1";
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 2);
    EXPECT_NE(read_file(out).find("LINEAR_BOARD must be an integer"), std::string::npos) << read_file(out);
    EXPECT_FALSE(exists("/dev/shm/Installation_properties"));
}

TEST_F(InstallationTest, SignalStopsTheInstallationAndAComponentEndingUnaskedFailsIt)
{
    start_installation();
    kill(sim_, SIGTERM);
    int status = 0;
    ASSERT_TRUE(wait_exit(sim_, 20.0, status));
    sim_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(log("sipper.log").find("kill -- setting _exit to true"), std::string::npos)
        << "the sipper was stopped by kill, not by a signal";

    // Started again as a service manager would: the first run's logs are kept.
    start_installation();
    EXPECT_NE(read_file(path("logs/previous.1/sipper.log")).find("kill -- setting _exit to true"), std::string::npos);
    std::smatch m;
    const std::string started = log("installation.log");
    ASSERT_TRUE(std::regex_search(started, m, std::regex(R"(as pid ([0-9]+) \(interface Sipper\))"))) << started;
    kill(static_cast<pid_t>(std::stol(m[1])), SIGKILL);
    ASSERT_TRUE(wait_exit(sim_, 30.0, status));
    sim_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    EXPECT_NE(read_file(path("installation-sim.out"))
                  .find("installation-sim: component Sipper (pid " + m[1].str() + ") was ended by signal 9"),
              std::string::npos)
        << read_file(path("installation-sim.out"));
    for (const char* object : {"Sipper_properties", "SampleInterface_properties", "flexsim-board-2"})
        EXPECT_FALSE(exists(std::string("/dev/shm/") + object)) << object;
}

}  // namespace

namespace {

TEST_F(InstallationTest, SecondInstallationIsRefusedWhileTheFirstServes)
{
    start_installation(false, "SampleInterface");
    std::string out = path("second.out");
    std::string cmd = bin("installation-sim") + " --log-dir " + path("logs2") + " " + path("installation.cfg") +
                      " > " + out + " 2>&1";
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 3);
    EXPECT_NE(read_file(out).find("another installation runs on this machine (one per machine)"), std::string::npos)
        << read_file(out);
    EXPECT_FALSE(exists(path("logs2"))) << "refused before it made anything";
    // The first one is untouched: its boards and peers still answer.
    EXPECT_TRUE(answers("SampleInterface", 2.0));
    EXPECT_TRUE(exists("/dev/shm/flexsim-board-1"));
}

}  // namespace
