#pragma once
// Runs an installation the way an engineer does, with nothing but programs
// given by path: installation-sim with cfg/installation.cfg in a run
// directory, sipperctl to reset, run and home the sipper and read its
// position, sipperctl to stop it all; then checks that no shared object of
// the installation and no process of its programs is left. Uses the fixed
// interface names and boards 1 and 2: the caller holds the fixed_names lock.
//
//   ExampleInstallation run{bin + "/installation-sim", bin + "/sipperctl", dir, {bin}};
//   run.prepare_from(examples);   // dir/cfg = a copy of the examples
//   run.run_and_stop();           // gtest checks throughout
//   run.run_and_kill_the_sipper(); // installation-sim's exit status
//
// `launcher` (optional) is put before installation-sim's command line, for
// example a sandbox that emulates its service unit.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ShellCommand.h"

namespace package_test {

using namespace shell_command;

class ExampleInstallation {
public:
    static constexpr const char* FIXED_NAMES[] = {"Installation", "LinearMC", "RotaryMC", "SampleInterface",
                                                  "LogServer",    "Supervisor", "Sipper"};

    // `program_dirs`: no process whose executable lies in one of them may be
    // left when the installation has stopped.
    ExampleInstallation(std::string installation_sim, std::string sipperctl, std::string run_dir,
                        std::vector<std::string> program_dirs, std::vector<std::string> launcher = {})
        : sim_(std::move(installation_sim)),
          ctl_(std::move(sipperctl)),
          run_(std::move(run_dir)),
          program_dirs_(std::move(program_dirs)),
          launcher_(std::move(launcher))
    {
    }

    ~ExampleInstallation()
    {
        if (sim_child_ && sim_child_->running()) {
            ADD_FAILURE() << "installation-sim still running at the end; terminating it";
            sim_child_->signal(SIGTERM);
            if (!sim_child_->ended_within(20000))
                sim_child_->kill_now();
        }
    }

    std::string cfg(const std::string& file) const { return run_ + "/cfg/" + file; }

    void prepare_from(const std::string& examples)
    {
        ASSERT_EQ(run_command("mkdir -p " + quote(run_) + " && cp -r " + quote(examples) + " " + quote(run_ + "/cfg"))
                      .status,
                  0);
        ASSERT_TRUE(exists(cfg("installation.cfg")));
    }

    CommandResult ctl(const std::string& args) const { return run_command(quote(ctl_) + " " + args); }

    // Stale objects of an earlier run that was killed would be reused.
    void clean_machine() const
    {
        std::string names;
        for (const char* n : FIXED_NAMES)
            names += std::string(" ") + n;
        EXPECT_EQ(ctl("clean" + names).status, 0);
        EXPECT_EQ(ctl("clean --board 1 2").status, 0);
    }

    void run_and_stop()
    {
        clean_machine();
        start();
        if (::testing::Test::HasFatalFailure())
            return;
        drive();
        stop();
        check_nothing_left();
    }

    // Starts it again, SIGKILLs the sipper and returns installation-sim's
    // exit status (-1: it did not end); then checks that nothing is left.
    int run_and_kill_the_sipper()
    {
        start();
        if (::testing::Test::HasFatalFailure())
            return -1;
        sipper_pid_ = component_pid();
        EXPECT_GT(sipper_pid_, 0) << read_file(run_ + "/logs/installation.log");
        if (sipper_pid_ > 0)
            ::kill(sipper_pid_, SIGKILL);
        if (!sim_child_->ended_within(60000)) {
            ADD_FAILURE() << "installation-sim did not end after its sipper was killed";
            return -1;
        }
        check_nothing_left();
        return sim_child_->exit_code();
    }

    // The position read after homing, X Y Z in millimetres.
    std::vector<double> position;

private:
    void start()
    {
        std::vector<std::string> args = launcher_;
        args.push_back(sim_);
        args.push_back("cfg/installation.cfg");
        const std::string run = run_;
        sim_child_.emplace([args, run]() mutable {
            if (::chdir(run.c_str()) != 0)
                return 126;
            std::freopen("installation-sim.out", "a", stdout);
            ::dup2(::fileno(stdout), 2);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            return 127;
        });
        ASSERT_TRUE(sim_child_->started());
        // Generous: a loaded machine may take long to start a fresh program.
        ASSERT_TRUE(eventually([&] { return ctl("get_state").status == 0; }, 60.0))
            << "the sipper never answered\n"
            << read_file(run_ + "/installation-sim.out") << read_file(run_ + "/logs/installation.log");
    }

    void drive()
    {
        const CommandResult reset = ctl("reset");
        ASSERT_EQ(reset.status, 0) << reset.output;
        ASSERT_TRUE(eventually([&] { return ctl("get_state").output.find("state = 1") != std::string::npos; }, 30.0))
            << ctl("get_state").output << read_file(run_ + "/logs/sipper.log");
        ASSERT_EQ(ctl("run").status, 0);
        ASSERT_TRUE(eventually([&] { return ctl("get_state").output.find("state = 2") != std::string::npos; }, 10.0));
        ASSERT_EQ(ctl("home").status, 0);
        const CommandResult waited = ctl("wait --max 120");
        ASSERT_EQ(waited.status, 0) << waited.output << read_file(run_ + "/logs/sipper.log");

        const CommandResult read = ctl("get_current_positions");
        ASSERT_EQ(read.status, 0) << read.output;
        std::smatch m;
        const std::regex xyz(R"(X = (-?[0-9.]+)\s+Y = (-?[0-9.]+)\s+Z = (-?[0-9.]+))");
        ASSERT_TRUE(std::regex_search(read.output, m, xyz)) << read.output;
        position = {std::stod(m[1]), std::stod(m[2]), std::stod(m[3])};
    }

    void stop()
    {
        sipper_pid_ = component_pid();
        EXPECT_GT(sipper_pid_, 0) << read_file(run_ + "/logs/installation.log");
        EXPECT_EQ(ctl("--interface Installation kill").status, 0);
        ASSERT_TRUE(sim_child_->ended_within(60000)) << "installation-sim did not stop after kill";
        EXPECT_EQ(sim_child_->exit_code(), 0) << read_file(run_ + "/installation-sim.out");
    }

    // The pid installation-sim logged when it started the sipper.
    pid_t component_pid() const
    {
        std::smatch m;
        const std::string log = read_file(run_ + "/logs/installation.log");
        const std::regex started(R"(started \S+ as pid ([0-9]+) \(interface Sipper\))");
        return std::regex_search(log, m, started) ? static_cast<pid_t>(std::stol(m[1])) : -1;
    }

    void check_nothing_left() const
    {
        std::vector<std::string> left;
        if (DIR* d = ::opendir("/dev/shm")) {
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                for (const char* n : FIXED_NAMES) {
                    const std::string fixed = n;
                    // The eight objects of an interface: "<name>_...", "<name>unique", "sem.<name>...".
                    if (name.rfind(fixed + "_", 0) == 0 || name.rfind(fixed + "unique", 0) == 0 ||
                        name.rfind("sem." + fixed, 0) == 0)
                        left.push_back(name);
                }
                for (const char* board : {"flexsim-board-1", "flexsim-board-2", "pci7344-1MUTEX", "pci7344-2MUTEX"})
                    if (name == board)
                        left.push_back(name);
            }
            ::closedir(d);
        }
        EXPECT_TRUE(left.empty()) << "left in /dev/shm: " << join(left);

        if (sipper_pid_ > 0) {
            EXPECT_TRUE(eventually([&] { return ::kill(sipper_pid_, 0) != 0; }, 10.0))
                << "the sipper (pid " << sipper_pid_ << ") outlived its installation";
        }
        std::vector<std::string> running;
        EXPECT_TRUE(eventually(
            [&] {
                running = processes_of_programs();
                return running.empty();
            },
            10.0))
            << "processes left: " << join(running);
    }

    // Processes whose executable lies in one of the program directories.
    std::vector<std::string> processes_of_programs() const
    {
        std::vector<std::string> found;
        DIR* d = ::opendir("/proc");
        if (d == nullptr)
            return found;
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] < '0' || e->d_name[0] > '9')
                continue;
            char exe[4096];
            const ssize_t n = ::readlink(("/proc/" + std::string(e->d_name) + "/exe").c_str(), exe, sizeof exe - 1);
            if (n <= 0)
                continue;
            exe[n] = '\0';
            for (const std::string& dir : program_dirs_)
                if (std::string(exe).rfind(dir + "/", 0) == 0)
                    found.push_back(std::string(e->d_name) + " " + exe);
        }
        ::closedir(d);
        return found;
    }

    template <class F>
    static bool eventually(F condition, double seconds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return condition();
    }

    static std::string join(const std::vector<std::string>& items)
    {
        std::string s;
        for (const std::string& i : items)
            s += (s.empty() ? "" : ", ") + i;
        return s;
    }

    std::string sim_, ctl_, run_;
    std::vector<std::string> program_dirs_;
    std::vector<std::string> launcher_;
    std::optional<ChildProcess> sim_child_;
    pid_t sipper_pid_ = -1;
};

}  // namespace package_test
