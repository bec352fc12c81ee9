// The sipper on the simulated installation with its log server and sample
// interface absent, or present but hung (their channels exist, nobody serves
// them): it keeps serving its interface and running its task loop, and an
// operation that needs a peer comes to an end.

#include <signal.h>

#include "interfaces/LogServerIF.h"
#include "interfaces/SampleInterfaceIF.h"
#include "tests/system/InstallationHarness.h"

namespace {

enum class Peers { absent, hung };

class SipperPeersTest : public InstallationTest, public ::testing::WithParamInterface<Peers> {
protected:
    // installation-sim serving the board owners and the supervisor only.
    void start_without_peers()
    {
        launch_installation("TIME_FACTOR = 10.0;\nSERVE = [\"LinearMC\", \"RotaryMC\", \"Supervisor\"];\n" +
                            sipper_component());
    }

    // A process that holds the two peers' channels open and never serves
    // them, with the call timeout a registered peer has.
    void start_hung_peers()
    {
        std::fflush(nullptr);
        hung_ = fork();
        if (hung_ == 0) {
            SampleInterfaceIF si("SampleInterface");
            LogServerIF ls("LogServer");
            if (!si.open() || !ls.open())
                _exit(2);
            si.set_timeout(1000);
            ls.set_timeout(1000);
            for (;;)
                pause();
        }
        ASSERT_GT(hung_, 0);
        ASSERT_TRUE(eventually([] { return exists("/dev/shm/LogServer_properties"); }, 5.0));
    }

    void TearDown() override
    {
        if (hung_ > 0) {
            kill(hung_, SIGKILL);
            waitpid(hung_, nullptr, 0);
        }
        InstallationTest::TearDown();
    }

    // get_state answers within the client's timeout, whatever else happens.
    void expect_answers()
    {
        int s = -1;
        EXPECT_EQ(sipper().get_state(s), call_ok);
        EXPECT_EQ(s, 2);
    }

    pid_t hung_ = -1;
};

TEST_P(SipperPeersTest, SipperServesAndWatchesWhileLogServerAndSampleInterfaceDoNotAnswer)
{
    if (GetParam() == Peers::hung)
        start_hung_peers();
    start_without_peers();
    initialise();
    home();
    expect_answers();

    // Many more log lines than a hung log server's queue holds.
    for (int i = 0; i < 300; ++i) {
        // The sipper's own queue holds 243 such messages; wait for room.
        int rc = call_queue_full;
        for (int tries = 0; tries < 500 && rc == call_queue_full; ++tries) {
            rc = sipper().log_msg("filler line " + std::to_string(i), 0);
            if (rc == call_queue_full)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(rc, call_ok);
    }
    expect_answers();

    // The task loop still watches the kill switch.
    SimBoard board(1);
    ASSERT_TRUE(board.valid());
    ASSERT_TRUE(board.set_analog(0x54, 0));
    EXPECT_TRUE(eventually([&] { return status() == 1; }, 10.0)) << log("sipper.log");
    ASSERT_TRUE(board.set_analog(0x54, 2000));
    EXPECT_TRUE(eventually([&] { return status() == 0; }, 10.0)) << log("sipper.log");
    expect_answers();

    // A sip needs the sample interface: it ends in the error state, with its
    // reason in the log, while the interface keeps answering.
    ASSERT_EQ(sipper().set_active_plate("plate96"), call_ok);
    ASSERT_EQ(sipper().sip("A1", 1, 0, 0, 0.0, 100, 100), call_ok);
    Timer t;
    t.start();
    int s = 2;
    while (t.elapsed() < 60.0) {
        int state = -1;
        ASSERT_EQ(sipper().get_state(state), call_ok) << "at " << t.elapsed() << " s";
        ASSERT_EQ(sipper().get_status(s), call_ok);
        if (s != 2)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string text = log("sipper.log");
    ASSERT_NE(s, 2) << "the sip never ended\n" << text;
    // Absent or hung, the sample interface never answers its cycle-state
    // queries: the sip must give up with its reason, never report a sample
    // nobody took as done.
    EXPECT_EQ(s, 1) << text;
    EXPECT_NE(text.find("SipperTask Error : "), std::string::npos) << text;
    EXPECT_NE(text.find("filler line 299"), std::string::npos);
    EXPECT_EQ(text.find("Component::main Error"), std::string::npos) << text;

    // It recovers once told to.
    ASSERT_EQ(sipper().reset_error_state(), call_ok);
    EXPECT_TRUE(eventually([&] { return status() == 0; }, 5.0)) << log("sipper.log");
    expect_answers();
}

INSTANTIATE_TEST_SUITE_P(Peers, SipperPeersTest, ::testing::Values(Peers::absent, Peers::hung),
                         [](const ::testing::TestParamInfo<Peers>& info) {
                             return info.param == Peers::absent ? "Absent" : "Hung";
                         });

}  // namespace
