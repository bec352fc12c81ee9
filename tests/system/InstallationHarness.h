#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <utility>

#include "interfaces/ComponentIF.h"
#include "interfaces/SipperIF.h"
#include "sim/board/SimBoard.h"
#include "tests/sipper/fixed_names_lock.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Spawn.h"
#include "utilities/Mutex.h"
#include "utilities/Timer.h"

// Runs the simulated installation as the user does: installation-sim from
// the build with a copy of examples/ in a run directory of its own, the
// sipper started by it (or by the test), and every call through the real
// channels. The fixed names are used, so these tests hold a resource lock;
// each one starts from a clean machine and leaves one behind.
class InstallationTest : public ::testing::Test {
protected:
    static constexpr const char* FIXED_NAMES[] = {"Installation", "LinearMC", "RotaryMC", "SampleInterface",
                                                  "LogServer",    "Supervisor", "Sipper"};

    static std::string bin(const std::string& program) { return std::string(SIPPER_BUILD_DIR) + "/bin/" + program; }

    static void clean_machine()
    {
        for (const char* n : FIXED_NAMES)
            ComponentInterface::remove_objects(n);
        for (int b : {1, 2}) {
            SimBoard::remove(b);
            Mutex::remove("pci7344-" + std::to_string(b) + "MUTEX");
        }
    }

    static std::string read_file(const std::string& path)
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    static bool exists(const std::string& path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }

    void SetUp() override
    {
        clean_machine();
        char pattern[] = "/tmp/system_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        run_ = pattern;
        std::string cmd = "cp -r '" + std::string(SIPPER_SOURCE_DIR) + "/examples' '" + run_ + "/cfg'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    void TearDown() override
    {
        sipper_.reset();
        stop_installation();
        stop_own_sipper();
        clean_machine();
        if (!HasFailure()) {
            std::string cmd = "rm -rf '" + run_ + "'";
            EXPECT_EQ(std::system(cmd.c_str()), 0);
        } else {
            std::printf("run directory kept: %s\n", run_.c_str());
        }
    }

    std::string path(const std::string& file) const { return run_ + "/" + file; }
    std::string log(const std::string& file) const { return read_file(run_ + "/logs/" + file); }

    std::string sipper_command() const
    {
        return bin("sipper") + " Sipper " + path("logs/sipper.log") + " " + path("cfg/sipper.cfg");
    }

    // The installation file's line that makes the sipper its component.
    std::string sipper_component() const { return "COMPONENTS = [\"" + sipper_command() + "\"];\n"; }

    // Writes the installation file (the default stage, these settings, the
    // run's log directory) and starts installation-sim; returns when the
    // interface `ready` answers.
    void launch_installation(const std::string& settings, const std::string& ready = "Sipper")
    {
        std::ofstream f(path("installation.cfg"));
        f << "STAGE_FILE = \"" << SIPPER_SOURCE_DIR << "/sim/board/stage-default.cfg\";\n"
          << settings << "LOG_DIR = \"" << path("logs") << "\";\n"
          << "STOP_TIMEOUT = 5.0;\n";
        f.close();
        sim_ = spawn({bin("installation-sim"), path("installation.cfg")}, path("installation-sim.out"));
        ASSERT_GT(sim_, 0);
        ASSERT_TRUE(answers(ready, 10.0)) << read_file(path("installation-sim.out"));
    }

    // The whole installation at time factor 10, the sipper its component
    // unless `with_sipper` is false.
    void start_installation(bool with_sipper = true, const std::string& ready = "Sipper")
    {
        launch_installation("TIME_FACTOR = 10.0;\nCYCLE_STATE_DURATIONS = [300, 150, 150];\n" +
                                (with_sipper ? sipper_component() : std::string()),
                            ready);
    }

    static pid_t spawn(std::vector<std::string> args, const std::string& out)
    {
        return spawn_program(std::move(args), out);
    }

    static bool answers(const std::string& name, double seconds)
    {
        Timer t;
        t.start();
        while (t.elapsed() < seconds) {
            if (exists("/dev/shm/" + name + "_properties")) {
                ComponentIF c(name);
                if (c.open()) {
                    c.set_timeout(300);
                    int state = 0;
                    if (c.get_state(state) == call_ok)
                        return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Waits for the child with a deadline; true when it ended, its status in `status`.
    static bool wait_exit(pid_t pid, double seconds, int& status)
    {
        const std::optional<int> ended = wait_status(pid, static_cast<int>(seconds * 1000));
        if (ended)
            status = *ended;
        return ended.has_value();
    }

    void stop_installation()
    {
        if (sim_ <= 0)
            return;
        ComponentIF c("Installation");
        if (c.open())
            c.kill();
        int status = 0;
        if (!wait_exit(sim_, 20.0, status)) {
            ADD_FAILURE() << "installation-sim did not stop after kill";
            kill(sim_, SIGKILL);
            waitpid(sim_, &status, 0);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "installation-sim status " << status;
        }
        sim_ = -1;
    }

    void stop_own_sipper()
    {
        if (own_sipper_ <= 0)
            return;
        kill(own_sipper_, SIGKILL);
        waitpid(own_sipper_, nullptr, 0);
        own_sipper_ = -1;
    }

    SipperIF& sipper()
    {
        if (!sipper_) {
            sipper_ = std::make_unique<SipperIF>("Sipper");
            EXPECT_TRUE(sipper_->open());
            sipper_->set_timeout(3000);
        }
        return *sipper_;
    }

    int state()
    {
        int s = -1;
        EXPECT_EQ(sipper().get_state(s), call_ok);
        return s;
    }

    int status()
    {
        int s = -1;
        EXPECT_EQ(sipper().get_status(s), call_ok);
        return s;
    }

    // Polls get_status until the sipper is no longer busy; its last status.
    int wait_done(double seconds = 30.0)
    {
        Timer t;
        t.start();
        int s = 2;
        while (t.elapsed() < seconds) {
            if (sipper().get_status(s) != call_ok)
                s = -1;
            if (s != 2)
                return s;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return s;
    }

    // Polls until `condition` holds; false at the deadline.
    template <class F>
    static bool eventually(F condition, double seconds)
    {
        Timer t;
        t.start();
        while (t.elapsed() < seconds) {
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return condition();
    }

    // reset, READY, run: the sipper is RUNNING with its boards open.
    void initialise()
    {
        ASSERT_EQ(sipper().reset(), call_ok);
        ASSERT_TRUE(eventually([&] { return state() == 1; }, 10.0)) << log("sipper.log");
        ASSERT_EQ(sipper().run(), call_ok);
        ASSERT_TRUE(eventually([&] { return state() == 2; }, 5.0));
    }

    void home()
    {
        ASSERT_EQ(sipper().home(), call_ok);
        ASSERT_EQ(wait_done(30.0), 0) << log("sipper.log");
        int homed = 0;
        ASSERT_EQ(sipper().is_homed(homed), call_ok);
        ASSERT_EQ(homed, 1);
    }

    void positions(double& x, double& y, double& z)
    {
        ASSERT_EQ(sipper().get_current_positions(x, y, z), call_ok);
    }

    // Also keeps a second test run on this machine away from the names and
    // boards 1 and 2 (CTest's resource lock covers only its own run).
    sipper_test::FixedNamesLock names_lock_;
    std::string run_;
    pid_t sim_ = -1;
    pid_t own_sipper_ = -1;
    std::unique_ptr<SipperIF> sipper_;
};
