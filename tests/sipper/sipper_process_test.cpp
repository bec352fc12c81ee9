// The real sipper executable: started with the example configuration on the
// simulated stage, commanded through its interface, and ended by signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "sipper/SipperConstants.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ForeignObjects.h"
#include "tests/sipper/sipper_harness.h"

using sipper_test::read_file;
using sipper_test::SipperHarness;
using sipper_test::wait_for;
using sipper_test::write_file;

namespace {

// The sipper executable in a child process; killed and reaped on
// destruction if the test did not see it end.
class SipperProcess : public ChildProcess {
public:
    // With `stderr_path`, the process's standard error goes to that file;
    // with `stderr_fd` (when no path is given), to that descriptor.
    SipperProcess(const std::string& log, const std::string& cfg, const std::string& name = "Sipper",
                  const std::string& stderr_path = "", int stderr_fd = -1)
        : ChildProcess([&] {
              if (!stderr_path.empty()) {
                  const int fd = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                  if (fd < 0 || ::dup2(fd, 2) < 0) return 126;
              } else if (stderr_fd >= 0 && ::dup2(stderr_fd, 2) < 0) {
                  return 126;
              }
              std::vector<std::string> args = {"sipper", name, log, cfg};
              std::vector<char*> argv;
              for (std::string& a : args) argv.push_back(a.data());
              argv.push_back(nullptr);
              ::execv(SIPPER_BUILD_DIR "/bin/sipper", argv.data());
              return 127;
          }) {}
};

class SipperProcessTest : public ::testing::Test {
protected:
    int state() {
        int s = -1;
        return h_.client().get_state(s) == call_ok ? s : -1;
    }

    SipperHarness h_;
};

TEST_F(SipperProcessTest, ExampleInstallationInitialisesHomesMovesSipsAndEndsOnSigterm) {
    h_.write_config({{"SIP_SENSOR_PRESENT", "0"}});
    h_.start_peers();
    SipperProcess process(h_.log_path(), h_.cfg_path());
    ASSERT_TRUE(process.started());
    h_.open_client();
    ASSERT_TRUE(wait_for([&] { return state() == Component::CREATED; }, 10000)) << read_file(h_.log_path());

    h_.initialise_and_run();
    h_.home();
    h_.client().goto_position(POSITION_WASHSTATION1);
    ASSERT_TRUE(h_.wait_status(STATE_IDLE));
    double x = 0, y = 0, z = 0;
    ASSERT_EQ(h_.client().get_current_positions(x, y, z), call_ok);
    EXPECT_NEAR(x, 20, 0.05);
    EXPECT_NEAR(y, 20, 0.05);
    EXPECT_NEAR(z, 60, 0.05);
    h_.client().sip("demo", 1, 0, 0, 1.0, 100, 100);
    ASSERT_TRUE(h_.wait_status(STATE_BUSY, 5000));
    ASSERT_TRUE(h_.wait_status(STATE_IDLE)) << read_file(h_.log_path());
    EXPECT_EQ(h_.log_lines("SipperTask SipperTask Error"), 0);

    process.signal(SIGTERM);
    ASSERT_TRUE(process.ended_within(10000));
    EXPECT_EQ(process.exit_code(), 0);
    const std::string log = read_file(h_.log_path());
    EXPECT_EQ(h_.log_lines("kill -- setting _exit to true"), 1);
    EXPECT_EQ(h_.log_lines("QUITTING MAIN COMPONENT THREAD - INTERFACES NO LONGER SERVICED"), 1);
    EXPECT_NE(log.find("Log file: " + h_.log_path() + " closed"), std::string::npos) << log;
}

TEST_F(SipperProcessTest, SigintStopsARunningOperationAndEnds) {
    h_.start_peers();
    SipperProcess process(h_.log_path(), h_.cfg_path());
    ASSERT_TRUE(process.started());
    h_.open_client();
    ASSERT_TRUE(wait_for([&] { return state() == Component::CREATED; }, 10000));
    h_.initialise_and_run();
    h_.home();
    // Two wash pauses of 8 s each: only a stop request ends it early.
    h_.client().wash(8000, 8000);
    ASSERT_TRUE(h_.wait_status(STATE_BUSY, 5000));
    sleep_ms(300);
    process.signal(SIGINT);
    ASSERT_TRUE(process.ended_within(4000)) << read_file(h_.log_path());
    EXPECT_EQ(process.exit_code(), 0);
    EXPECT_EQ(h_.log_lines("QUITTING MAIN COMPONENT THREAD - INTERFACES NO LONGER SERVICED"), 1);
    EXPECT_NE(read_file(h_.log_path()).find(" closed"), std::string::npos);
}

// Every way of ending the process, in the middle of homing (board time
// factor 1, so homing is still searching) and in the middle of a sensed sip
// that waits out a 20 s sample state: the operation is stopped with its axes
// and the process ends within seconds, in order. Standard error is a pipe
// nobody reads, and the configuration has a character the reader reports
// there: the report must not end the process.
TEST_F(SipperProcessTest, AnyShutdownDuringAnOperationStopsItAndEndsInOrder) {
    h_.write_config({});
    write_file(h_.cfg_path(), read_file(h_.cfg_path()) + "\x01\n");
    h_.start_peers(true, true, {20000, 150, 150});
    const std::vector<std::string> ways = {"kill", "SIGTERM", "SIGINT", "SIGHUP"};
    for (const bool homing : {true, false}) {
        for (const std::string& way : ways) {
            SCOPED_TRACE(way + (homing ? " during homing" : " during a sip"));
            h_.linear().set_time_factor(SipperHarness::TIME_FACTOR);
            h_.rotary().set_time_factor(SipperHarness::TIME_FACTOR);
            int err[2];
            ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
            SipperProcess process(h_.log_path(), h_.cfg_path(), "Sipper", "", err[1]);
            ::close(err[0]);
            ::close(err[1]);
            ASSERT_TRUE(process.started());
            h_.open_client();
            ASSERT_TRUE(wait_for([&] { return state() == Component::CREATED; }, 10000))
                << read_file(h_.log_path());
            h_.initialise_and_run();
            if (homing) {
                // Z well away from its reverse limit, whatever the last round left.
                h_.home();
                h_.client().goto_position(POSITION_WASHSTATION1);
                ASSERT_TRUE(h_.wait_status(STATE_IDLE)) << read_file(h_.log_path());
                h_.linear().set_time_factor(1);
                const double z0 = h_.linear().view().axes[3].stage_position;
                h_.client().home();
                // Under way: Z has searched one revolution toward its reverse limit.
                ASSERT_TRUE(wait_for(
                    [&] { return std::fabs(h_.linear().view().axes[3].stage_position - z0) > 400; }, 5000));
            } else {
                h_.home();
                // 20 mm short of the well: the sensor never sees the sample,
                // so the sip goes on watching it for the whole state 1.
                h_.client().sip("A1", 1, 0, 0, 20.0, 100, 100);
                ASSERT_TRUE(h_.wait_log_line("SipperTask SIP SENSOR 0 , ", 10000)) << read_file(h_.log_path());
            }
            if (way == "kill")
                h_.client().kill();
            else
                process.signal(way == "SIGTERM" ? SIGTERM : way == "SIGINT" ? SIGINT : SIGHUP);
            ASSERT_TRUE(process.ended_within(5000)) << read_file(h_.log_path());
            EXPECT_EQ(process.exit_code(), 0);
            EXPECT_EQ(h_.log_lines("QUITTING MAIN COMPONENT THREAD - INTERFACES NO LONGER SERVICED"), 1);
            EXPECT_NE(read_file(h_.log_path()).find("Log file: " + h_.log_path() + " closed"), std::string::npos);
            EXPECT_TRUE(wait_for(
                [&] {
                    const SimBoardView v = h_.linear().view();
                    return v.axes[1].velocity == 0 && v.axes[2].velocity == 0 && v.axes[3].velocity == 0;
                },
                5000));
        }
    }
}

TEST_F(SipperProcessTest, SecondSignalEndsAProcessStuckInItsPass) {
    // A board owner for the linear board that holds its name but never
    // answers: initialisation waits for its answer, and the main loop with it.
    h_.start_peers(false, true);
    BoardOwnerStub silent("LinearMC", 0);
    ASSERT_TRUE(silent.open()) << silent.error();
    SipperProcess process(h_.log_path(), h_.cfg_path());
    ASSERT_TRUE(process.started());
    h_.open_client();
    ASSERT_TRUE(wait_for([&] { return state() == Component::CREATED; }, 10000));
    h_.client().reset();
    sleep_ms(300);
    process.signal(SIGTERM);
    EXPECT_FALSE(process.ended_within(500));
    process.signal(SIGTERM);
    ASSERT_TRUE(process.ended_within(2000));
    EXPECT_EQ(process.exit_code(), 128 + SIGTERM);
}

// A sipper that cannot own its channel says why in its log and on standard
// error and ends; the death of a live sipper frees its name for a restart.
TEST_F(SipperProcessTest, RefusesAChannelItCannotOwnSayingWhyAndEnds) {
    const std::string name = "SipGuard" + std::to_string(::getpid());
    const std::string long_name(235, 'g');
    struct Cleanup {
        std::vector<std::string> names;
        ~Cleanup() {
            for (const std::string& n : names) ComponentInterface::remove_objects(n);
        }
    } cleanup{{name, long_name}};
    int runs = 0;
    auto expect_refusal = [&](const std::string& sipper_name, const std::vector<std::string>& reasons) {
        const std::string log = h_.log_path() + "." + std::to_string(++runs);
        const std::string err = log + ".stderr";
        SipperProcess refused(log, h_.cfg_path(), sipper_name, err);
        ASSERT_TRUE(refused.ended_within(10000)) << "run " << runs << " still serves";
        const std::string log_text = read_file(log);
        const std::string err_text = read_file(err);
        // A log line is cut to 250 characters, which a long name fills.
        if (sipper_name.size() < 100) {
            EXPECT_NE(log_text.find("Component::set_interface_server -- cannot open interface"),
                      std::string::npos)
                << log_text;
        }
        EXPECT_NE(err_text.find("Component::set_interface_server -- cannot open interface"), std::string::npos)
            << err_text;
        // The log line may be cut before the end of the reason; stderr has it whole.
        for (const std::string& reason : reasons)
            EXPECT_NE(err_text.find(reason), std::string::npos) << "run " << runs << ": " << err_text;
    };
    auto answers = [](SipperIF& client) {
        return wait_for([&] {
            int state = -1;
            return client.get_state(state) == call_ok && state == Component::CREATED;
        }, 10000);
    };

    {
        ComponentIF early(name);  // a component-sized client made the channel,
        ASSERT_TRUE(early.open()) << early.error();
        // which the sipper grows to its own layout and serves.
        SipperProcess grown(h_.log_path() + ".grown", h_.cfg_path(), name);
        EXPECT_TRUE(wait_for([&] {
            int state = -1;
            return early.get_state(state) == call_ok;
        }, 10000)) << read_file(h_.log_path() + ".grown");
        EXPECT_EQ(early.kill(), call_ok);
        EXPECT_TRUE(grown.ended_within(10000));
    }
    ComponentInterface::remove_objects(name);
    if (const auto nobody = foreign_objects::nobody_account()) {
        const foreign_objects::Object signal{name + "_action_start_signal", true};
        ASSERT_TRUE(foreign_objects::plant(signal, 0666, nobody));
        expect_refusal(name, {"/dev/shm/sem." + name + "_action_start_signal belongs to nobody", "mode 0666"});
        EXPECT_TRUE(foreign_objects::untouched(signal));
        ComponentInterface::remove_objects(name);
    }

    SipperProcess first(h_.log_path() + ".first", h_.cfg_path(), name);
    SipperIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    client.set_timeout(1000);
    ASSERT_TRUE(answers(client)) << read_file(h_.log_path() + ".first");
    expect_refusal(name, {"already served by a live process"});
    int state = -1;
    EXPECT_EQ(client.get_state(state), call_ok);
    first.kill_now();
    ASSERT_TRUE(first.ended_within(5000));
    // On the objects the killed one left behind.
    SipperProcess restarted(h_.log_path() + ".restarted", h_.cfg_path(), name);
    EXPECT_TRUE(answers(client)) << read_file(h_.log_path() + ".restarted");
    EXPECT_EQ(client.kill(), call_ok);
    EXPECT_TRUE(restarted.ended_within(10000));

    expect_refusal(long_name, {"longer than 230 characters"});
    for (const std::string& object : ComponentInterface::object_names(long_name)) {
        EXPECT_FALSE(foreign_objects::exists({object, false})) << object;
        EXPECT_FALSE(foreign_objects::exists({object, true})) << object;
    }
}

}  // namespace
