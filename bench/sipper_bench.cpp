// Measures the interface layer, the main loop and the stage in use in one
// run on one machine and prints a table:
//   - query round trip (get_state against a component served in another
//     process), median and 99th percentile, next to a socketpair ping-pong of
//     the same message size between the same two processes, the two taking
//     turns sample by sample;
//   - one-way commands served per second by a component's main loop;
//   - idle CPU of the sipper process over 10 s, from /proc: in CREATED
//     (serving its interface only), and RUNNING and homed on the simulated
//     installation;
//   - task-loop rate for FREQ 10 and FREQ 100;
//   - kill-switch reaction on the simulated installation at board time
//     factor 1, FREQ 10 and FREQ 100, idle and with four processes polling
//     get_status: from the input change to the kill of the moving axes, in
//     board time (from the board's trace) and wall-clock (the bench seeing
//     the axes killed); and at FREQ 100 with the switch opened during
//     homing's index search, next to the index search's own time;
//   - time per sip, sensed and timed, over every 8th well of the 96-well
//     plate at board time factor 1, next to the floor the moves' trapezoid
//     profiles, the wash dwells and the sample cycle impose, and where the
//     rest went (from the boards' traces);
//   - loading a configuration file of 10,000 entries;
//   - sipper-web's answer to GET /api/v1/status with no sipper behind it
//     (each on a new connection), alone and with 200 event streams and 100
//     connections sending their header a byte at a time open.
// The installation rows hold the fixed-names lock and are skipped while
// another sipper serves "Sipper".
//
//   sipper_bench [--quick] [--full-plate] [--only GROUP,...]
//     --quick: fewer samples, 2 s of idle CPU, 10 trips, 3 wells
//     --full-plate: all 96 wells
//     --keep: leave the scratch directory with the installations' logs
//     GROUP: channel rate idle running config kill (kill10, kill100, killhome) sip (sensed, timed) web
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "component/Component.h"
#include "config/ConfigurationFile.h"
#include "interfaces/ComponentIF.h"
#include "interfaces/ComponentIFS.h"
#include "interfaces/SipperIF.h"
#include "sim/board/SimBoard.h"
#include "utilities/Exception.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool quick = false;
bool full_plate = false;
bool keep = false;  // leave the scratch directory (logs of the installation rows)

double us_since(Clock::time_point t) { return std::chrono::duration<double, std::micro>(Clock::now() - t).count(); }

std::string scratch_dir()
{
    const fs::path p = fs::temp_directory_path() / ("sipper_bench_" + std::to_string(::getpid()));
    fs::create_directories(p);
    return p.string() + "/";
}

std::string write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
    return path;
}

// A component whose task loop records the times it was called and ends the
// main loop after `run_for` seconds of task-loop calls.
class BenchComponent : public Component {
public:
    BenchComponent(const std::string& name, const std::string& log, const std::string& cfg, double run_for = 0)
        : Component(name, log, cfg), run_for_(run_for)
    {
        int result = 0;
        load_config(cfg, result);
        if (result != 0)
            throw Exception("bench: configuration " + cfg + " does not load");
        set_interface_server(std::make_unique<ComponentIFS>(name, this));
    }
    // No peers to register in a benchmark.
    bool initialize() override { return true; }
    void task_loop() override
    {
        const auto now = Clock::now();
        calls.push_back(now);
        if (run_for_ > 0 && std::chrono::duration<double>(now - calls.front()).count() >= run_for_)
            kill();
    }
    std::vector<Clock::time_point> calls;

private:
    double run_for_;
};

std::string component_cfg(const std::string& dir, const std::string& tag, double freq)
{
    return write_file(dir + tag + ".cfg", "FREQ = " + std::to_string(freq) +
                                              ";\nDEBUG_MODE = -1;\nLOGSERVERIF = \"bench_no_log_server\";\n");
}

struct Percentiles {
    double median = 0, p99 = 0;
};

Percentiles percentiles(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

struct Row {
    std::string what, value, target;
};
std::vector<Row> rows;

void add(const std::string& what, const std::string& value, const std::string& target = "")
{
    rows.push_back({what, value, target});
    std::fprintf(stderr, "  %s: %s\n", what.c_str(), value.c_str());
}

std::string fmt(const char* f, double v)
{
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

// --- query round trip and one-way throughput --------------------------------

void bench_channel(const std::string& dir)
{
    const int samples = quick ? 2000 : 20000;
    const std::string name = "bench" + std::to_string(::getpid()) + "q";
    const std::string cfg = component_cfg(dir, "served", 10);
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        std::perror("socketpair");
        return;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(sv[0]);
        // One process serves both: a thread echoes 8-byte messages until the
        // parent closes its end, the main thread serves the component.
        std::thread echo([fd = sv[1]] {
            char buf[8];
            while (::read(fd, buf, sizeof buf) == sizeof buf && ::write(fd, buf, sizeof buf) == sizeof buf) {
            }
            ::close(fd);
        });
        int code = 0;
        try {
            BenchComponent c(name, dir + "served.log", cfg);
            c.main();
        } catch (...) {
            code = 2;
        }
        echo.join();
        ::_exit(code);
    }
    ::close(sv[1]);

    ComponentIF client(name);
    client.open();
    client.set_timeout(200);
    int state = -1;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    // Until the server has opened the query says at once that nobody serves.
    while (client.get_state(state) != call_ok && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    client.set_timeout(5000);

    // The socketpair baseline (the same 8 bytes as a get_state message, each
    // way) and the query take turns, so that both meet the same machine: on
    // a shared machine the wake-up cost drifts by several times within
    // seconds.
    std::vector<double> pingpong, query;
    pingpong.reserve(samples);
    query.reserve(samples);
    char buf[8] = {8, 0, 5, 0, 1, 0, 0, 0};
    int failures = 0;
    for (int i = 0; i < samples + samples / 10; ++i) {
        auto t = Clock::now();
        if (::write(sv[0], buf, sizeof buf) != sizeof buf || ::read(sv[0], buf, sizeof buf) != sizeof buf)
            break;
        if (i >= samples / 10)
            pingpong.push_back(us_since(t));
        t = Clock::now();
        const int rc = client.get_state(state);
        const double us = us_since(t);
        if (rc != call_ok)
            ++failures;
        else if (i >= samples / 10)
            query.push_back(us);
    }
    ::close(sv[0]);

    // One-way commands: `run` in CREATED only logs a refusal, and the log is
    // off (DEBUG_MODE -1), so this is the cost of the channel and the loop.
    // The queue is filled while the server is stopped (its start signals
    // stop at 100, as in any flood), then the time to drain it is measured,
    // polling gently so as not to compete with the server for its lock.
    ::kill(child, SIGSTOP);
    int pushed = 0;
    const int most = quick ? 50000 : 1000000;
    while (pushed < most && client.run() == call_ok)
        ++pushed;
    const auto t0 = Clock::now();
    ::kill(child, SIGCONT);
    const auto drain_deadline = t0 + std::chrono::seconds(30);
    std::uint32_t left = 0;
    while ((left = client.queue().count()) > 0 && Clock::now() < drain_deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double seconds = us_since(t0) / 1e6;
    const double served = pushed - static_cast<double>(left);

    // Commands still queued behind a lost signal could hold the kill back.
    client.kill();
    int status = 0;
    const auto kill_deadline = Clock::now() + std::chrono::seconds(5);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() > kill_deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ComponentInterface::remove_objects(name);

    if (pingpong.empty() || query.empty()) {
        add("query round trip", "FAILED");
        return;
    }
    const Percentiles pp = percentiles(pingpong);
    const Percentiles q = percentiles(query);
    add("query get_state round trip, median", fmt("%.1f us", q.median));
    add("query get_state round trip, p99", fmt("%.1f us", q.p99));
    add("socketpair ping-pong 8 B, median", fmt("%.1f us", pp.median));
    add("socketpair ping-pong 8 B, p99", fmt("%.1f us", pp.p99));
    add("query median / socketpair median", fmt("%.2f", q.median / pp.median), "<= 1.5");
    if (failures > 0)
        add("query failures", std::to_string(failures));
    add("one-way commands served per second", fmt("%.0f", served / seconds), ">= 100000");
    add("  (commands queued, then drained in)", std::to_string(pushed) + ", " + fmt("%.3f s", seconds));
}

// --- idle CPU of the sipper ---------------------------------------------------

double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = s.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(s.substr(close + 2));
    std::string field;
    std::vector<std::string> f;
    while (rest >> field)
        f.push_back(field);
    // After the command: state(0) ... utime(11) stime(12).
    if (f.size() < 13)
        return -1;
    return (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void bench_idle_sipper(const std::string& dir)
{
    const std::string exe = SIPPER_BUILD_DIR "/bin/sipper";
    if (!fs::exists(exe)) {
        add("sipper idle CPU", "not measured (no " + exe + ")");
        return;
    }
    const std::string sdir = dir + "sipper/";
    fs::create_directories(sdir);
    for (const char* f : {"sipper.cfg", "plate96.platecfg", "plate384.platecfg"})
        fs::copy_file(fs::path(SIPPER_SOURCE_DIR) / "examples" / f, sdir + f, fs::copy_options::overwrite_existing);
    const std::string name = "bench" + std::to_string(::getpid()) + "s";
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(exe.c_str(), exe.c_str(), name.c_str(), (sdir + "sipper.log").c_str(),
                (sdir + "sipper.cfg").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ComponentIF client(name);
    client.open();
    client.set_timeout(200);
    int state = -1;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    bool up = false;
    while (!(up = client.get_state(state) == call_ok) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (up) {
        const double seconds = quick ? 2.0 : 10.0;
        const double c0 = cpu_seconds(pid);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double c1 = cpu_seconds(pid);
        const double wall = us_since(t0) / 1e6;
        add("sipper idle CPU (CREATED, " + fmt("%.0f", seconds) + " s)", fmt("%.2f %% of a core", 100.0 * (c1 - c0) / wall),
            "<= 1 %");
        client.kill();
    } else {
        add("sipper idle CPU", "FAILED (the sipper did not answer)");
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ComponentInterface::remove_objects(name);
}

// --- the simulated installation under the fixed names ---------------------------

// The installation's interface names and boards 1 and 2 are machine-wide;
// every process that uses them holds this flock meanwhile (the tests do the
// same), so that a test run beside the bench never takes its commands.
class FixedNames {
public:
    static constexpr const char* PATH = "/tmp/sipper-test-fixed-names.lock";

    explicit FixedNames(double wait_seconds)
    {
        fd_ = ::open(PATH, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ < 0)
            return;
        const auto deadline = Clock::now() + std::chrono::duration<double>(wait_seconds);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() > deadline)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        held_ = true;
    }
    ~FixedNames()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FixedNames(const FixedNames&) = delete;
    FixedNames& operator=(const FixedNames&) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

bool another_sipper_serves()
{
    if (!fs::exists("/dev/shm/Installation_properties") && !fs::exists("/dev/shm/Sipper_properties"))
        return false;
    ComponentIF probe("Sipper");
    int state = 0;
    probe.open();
    probe.set_timeout(300);
    return probe.get_state(state) == call_ok;
}

bool sipper_answers(SipperIF& s, int want_state, double seconds)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    int state = -1;
    while (Clock::now() < deadline) {
        if (s.get_state(state) == call_ok && (want_state < 0 || state == want_state))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Polls get_status every `poll_ms` until it is not busy (2); returns the
// status, or -1 when the deadline passed first.
int status_after_busy(SipperIF& s, double seconds, int poll_ms = 5)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    int status = 2;
    do {
        if (s.get_status(status) == call_ok && status != 2)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    } while (Clock::now() < deadline);
    return -1;
}

bool status_becomes(SipperIF& s, int want, double seconds)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    int status = -1;
    do {
        if (s.get_status(status) == call_ok && status == want)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (Clock::now() < deadline);
    return false;
}

// The pid installation-sim logged when it started the component serving
// `interface`, or -1.
pid_t started_pid(const std::string& installation_log, const std::string& interface)
{
    std::ifstream in(installation_log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::regex started(R"(started \S+ as pid (\d+) \(interface )" + interface + R"(\))");
    std::smatch m;
    return std::regex_search(text, m, started) ? std::stoi(m[1]) : -1;
}

// The example configuration with the named keys' values replaced.
void copy_sipper_config(const std::string& to, const std::vector<std::pair<std::string, std::string>>& values)
{
    std::ifstream in(fs::path(SIPPER_SOURCE_DIR) / "examples" / "sipper.cfg");
    std::ostringstream out;
    std::string line;
    while (std::getline(in, line)) {
        for (const auto& [key, value] : values)
            if (line.rfind(key + " = ", 0) == 0)
                line = key + " = " + value + ";";
        out << line << "\n";
    }
    write_file(to, out.str());
}

// installation-sim started under the fixed names with a copy of the example
// configuration, its sipper reset, running and homed.
struct Installation {
    int linear_board = -1, rotary_board = -1;
    pid_t pid = -1;
    pid_t sipper_pid = -1;
    std::string dir;
    std::string failure;
    std::unique_ptr<SipperIF> sipper;
};

constexpr int CYCLE_MS[] = {600, 300, 300};

// Homes at board time factor `home_factor` (homing at real time takes long
// and is not what is measured), then sets both boards to `factor`.
bool start_installation(Installation& run, const std::string& dir,
                        const std::vector<std::pair<std::string, std::string>>& sipper_values, double home_factor,
                        double factor, const std::string& stage_file = SIPPER_SOURCE_DIR "/sim/board/stage-default.cfg")
{
    const std::string sim = SIPPER_BUILD_DIR "/bin/installation-sim";
    const std::string exe = SIPPER_BUILD_DIR "/bin/sipper";
    if (!fs::exists(sim) || !fs::exists(exe)) {
        run.failure = "no installation-sim or sipper in the build";
        return false;
    }
    // Boards of numbers nobody uses, rather than 1 and 2: a process that
    // starts an installation of its own without the fixed-names lock would
    // otherwise replace them under the bench.
    run.linear_board = SimBoard::create_unused(StageDescription::free_running(), 200, 255);
    run.rotary_board = SimBoard::create_unused(StageDescription::free_running(), 200, 255);
    if (run.linear_board < 0 || run.rotary_board < 0) {
        run.failure = "no free board numbers";
        return false;
    }
    run.dir = dir;
    fs::remove_all(dir);
    fs::create_directories(dir + "logs");
    fs::copy(fs::path(SIPPER_SOURCE_DIR) / "examples", dir + "cfg", fs::copy_options::recursive);
    copy_sipper_config(dir + "cfg/sipper.cfg", sipper_values);
    const std::string command = exe + " Sipper " + dir + "logs/sipper.log " + dir + "cfg/sipper.cfg";
    write_file(dir + "installation.cfg",
               "STAGE_FILE = \"" + stage_file + "\";\nTIME_FACTOR = " +
                   fmt("%.1f", home_factor) + ";\nLINEAR_BOARD = " + std::to_string(run.linear_board) +
                   ";\nROTARY_BOARD = " + std::to_string(run.rotary_board) + ";\nLOG_DIR = \"" + dir + "logs\";\nCYCLE_STATE_DURATIONS = [" +
                   std::to_string(CYCLE_MS[0]) + ", " + std::to_string(CYCLE_MS[1]) + ", " +
                   std::to_string(CYCLE_MS[2]) + "];\nSTOP_TIMEOUT = 5.0;\nCOMPONENTS = [\"" + command + "\"];\n");
    std::fflush(nullptr);
    run.pid = ::fork();
    if (run.pid == 0) {
        const std::string out = dir + "installation-sim.out";
        if (std::freopen(out.c_str(), "w", stdout) == nullptr || std::freopen(out.c_str(), "a", stderr) == nullptr)
            ::_exit(126);
        ::execl(sim.c_str(), sim.c_str(), (dir + "installation.cfg").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // installation-sim removes stale objects of the names it starts with, so
    // a client opens only once the sipper has made its channel.
    const auto up_deadline = Clock::now() + std::chrono::seconds(20);
    while (!fs::exists("/dev/shm/Sipper_properties") && Clock::now() < up_deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    run.sipper = std::make_unique<SipperIF>("Sipper");
    SipperIF& s = *run.sipper;
    s.open();
    s.set_timeout(3000);
    if (!sipper_answers(s, -1, 20.0)) {
        run.failure = "the sipper did not answer";
    } else if (s.reset() != call_ok || !sipper_answers(s, Component::READY, 10.0) || s.run() != call_ok ||
               !sipper_answers(s, Component::RUNNING, 5.0)) {
        run.failure = "the sipper did not reach RUNNING";
    } else if (s.home() != call_ok) {
        run.failure = "home was not accepted";
    } else if (status_after_busy(s, 60.0, 50) != 0) {
        run.failure = "homing did not succeed";
    } else if ((run.sipper_pid = started_pid(dir + "logs/installation.log", "Sipper")) <= 0) {
        run.failure = "the sipper process was not found";
    } else {
        SimBoard linear(run.linear_board), rotary(run.rotary_board);
        if (!linear.set_time_factor(factor) || !rotary.set_time_factor(factor))
            run.failure = "the boards' time factor could not be set";
    }
    return run.failure.empty();
}

// Another process that took the installation's boards (re-created them, or
// removed them) while the rows ran; their figures then mean nothing.
std::string disturbance(const Installation& run)
{
    std::ifstream in(run.dir + "logs/sipper.log");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* sign : {"Board not found", "Board memory unusable"})
        if (text.find(sign) != std::string::npos)
            return std::string("DISTURBED: the sipper logged \"") + sign +
                   "\" (another process replaced its boards); figures not valid";
    return "";
}

void stop_installation(Installation& run)
{
    run.sipper.reset();
    if (run.pid <= 0)
        return;
    ComponentIF installation("Installation");
    if (!installation.open() || installation.kill() != call_ok)
        ::kill(run.pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (::waitpid(run.pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(run.pid, SIGKILL);
            ::waitpid(run.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.pid = -1;
    for (const int board : {run.linear_board, run.rotary_board})
        if (board >= 0)
            SimBoard::remove(board);
}

std::string loadavg()
{
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// The sipper started by installation-sim under the fixed names, after reset,
// run and home: its idle state in use.
void bench_running_sipper(const std::string& dir)
{
    const std::string what = "sipper idle CPU (RUNNING, homed)";
    Installation run;
    if (start_installation(run, dir + "installation/", {}, 10.0, 10.0)) {
        const double seconds = quick ? 2.0 : 10.0;
        const double c0 = cpu_seconds(run.sipper_pid);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double c1 = cpu_seconds(run.sipper_pid);
        add("sipper idle CPU (RUNNING, homed, " + fmt("%.0f", seconds) + " s)",
            fmt("%.2f %% of a core", 100.0 * (c1 - c0) / (us_since(t0) / 1e6)), "<= 1 %");
    }
    stop_installation(run);
    if (!run.failure.empty())
        add(what, "FAILED (" + run.failure + ")");
}

// --- kill-switch reaction -----------------------------------------------------------

// Client processes that poll the sipper's get_status as fast as they can
// until told to stop; they count their answered calls.
class StatusPollers {
public:
    explicit StatusPollers(int count)
    {
        void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return;
        shared_ = new (p) Shared{};
        std::fflush(nullptr);
        for (int i = 0; i < count && i < MOST; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                SipperIF s("Sipper");
                s.open();
                int status = 0;
                while (shared_->stop.load() == 0)
                    if (s.get_status(status) == call_ok)
                        shared_->calls[i].fetch_add(1);
                ::_exit(0);
            }
            if (pid > 0)
                pids_.push_back(pid);
        }
        started_ = Clock::now();
    }
    ~StatusPollers() { stop(); }
    StatusPollers(const StatusPollers&) = delete;
    StatusPollers& operator=(const StatusPollers&) = delete;

    // Answered calls per second over the pollers' lifetime.
    double stop()
    {
        if (shared_ == nullptr)
            return 0;
        shared_->stop.store(1);
        for (const pid_t pid : pids_) {
            int status = 0;
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            while (::waitpid(pid, &status, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    ::kill(pid, SIGKILL);
                    ::waitpid(pid, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        long calls = 0;
        for (const auto& c : shared_->calls)
            calls += c.load();
        const double rate = calls / (us_since(started_) / 1e6);
        pids_.clear();
        ::munmap(shared_, sizeof(Shared));
        shared_ = nullptr;
        return rate;
    }

private:
    static constexpr int MOST = 8;
    struct Shared {
        std::atomic<int> stop{0};
        std::atomic<long> calls[MOST] = {};
    };
    Shared* shared_ = nullptr;
    std::vector<pid_t> pids_;
    Clock::time_point started_;
};

constexpr int INHIBIT_CHANNEL = 0x54;  // the one input the example configuration watches
constexpr int INHIBIT_CLOSED = 2000;
constexpr uint16_t AXIS_OFF = 0x04;

struct Reactions {
    std::vector<double> board_ms;   // input change to the kill call, board time
    std::vector<double> wall_ms;    // input change to the kill seen on the board
    std::vector<double> detect_ms;  // input change to the first read of the input
    std::string failure;
};

constexpr double WASH1_X = 20, SWAP_X = 350;  // examples/sipper.cfg

// Opens the kill switch and measures until every axis of `moving` (a map
// of axis bits) is killed: in board time to the trace record of the
// sipper's kill, and wall-clock to the kill seen on the board.
void trip_and_measure(SimBoard& board, unsigned moving, int trip, Reactions& r)
{
    double tripped = 0;
    const auto t0 = Clock::now();
    board.set_analog(INHIBIT_CHANNEL, 0, &tripped);
    bool killed = false;
    while (!killed && us_since(t0) < 2e6) {
        const SimBoardView v = board.view();
        killed = true;
        for (int a = 1; a <= 3; ++a)
            if ((moving & (1u << a)) && ((v.axes[a].status & AXIS_OFF) == 0 || v.axes[a].velocity != 0))
                killed = false;
        if (!killed)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const double wall = us_since(t0) / 1000.0;
    double kill_at = -1, read_at = -1;
    for (const SimTraceRecord& t : board.trace()) {
        if (t.board_time < tripped)
            continue;
        if (read_at < 0 && t.text.rfind("flex_read_adc16_rtn(" + std::to_string(INHIBIT_CHANNEL) + ")", 0) == 0)
            read_at = t.board_time;
        if (t.text.rfind("flex_stop_motion(0, 2, 14)", 0) == 0) {
            kill_at = t.board_time;
            break;
        }
    }
    if (!killed || kill_at < 0) {
        r.failure = "no kill within 2 s of trip " + std::to_string(trip);
    } else {
        r.wall_ms.push_back(wall);
        r.board_ms.push_back((kill_at - tripped) * 1000.0);
        r.detect_ms.push_back((read_at - tripped) * 1000.0);
    }
}


// Moves X back and forth at its fast speed between wash station 1 and the
// plate swap position and trips the kill switch once per move while X
// cruises, at a random moment, then releases it and waits for the reset.
void trip_kill_switch(Installation& run, int trips, Reactions& r)
{
    SimBoard board(run.linear_board);
    SipperIF& s = *run.sipper;
    std::mt19937 random(16);
    // The far end is at least 165 mm away, so X cruises for 0.6 s or more.
    std::uniform_int_distribution<int> pause_us(0, 300000);
    constexpr double STEPS_PER_MM = 80.0;  // the example's 400 steps per 5 mm
    for (int i = 0; i < trips && r.failure.empty(); ++i) {
        const double x = board.view().axes[1].position / STEPS_PER_MM;
        const int target = std::fabs(x - WASH1_X) > std::fabs(x - SWAP_X) ? 1 : 8;
        if (s.goto_position(target) != call_ok) {
            r.failure = "goto_position was not accepted";
            break;
        }
        SimBoardView v;
        bool cruising = false;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!cruising && Clock::now() < deadline) {
            v = board.view();
            cruising = v.axes[1].loaded_velocity > 0 &&
                       std::fabs(v.axes[1].velocity) >= 0.99 * v.axes[1].loaded_velocity;
            if (!cruising)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!cruising) {
            r.failure = "X never reached its fast speed";
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
        v = board.view();
        unsigned moving = 0;
        for (int a = 1; a <= 3; ++a)
            if (v.axes[a].velocity != 0)
                moving |= 1u << a;
        trip_and_measure(board, moving, i + 1, r);
        // The move ends in error once the worker sees its axes killed; the
        // release resets the sipper to idle.
        const bool ended = status_becomes(s, 1, 5.0);
        board.set_analog(INHIBIT_CHANNEL, INHIBIT_CLOSED);
        if (r.failure.empty() && (!ended || !status_becomes(s, 0, 5.0)))
            r.failure = "the sipper did not return to idle after trip " + std::to_string(i + 1);
    }
}

std::string summary_ms(const std::vector<double>& v)
{
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    const Percentiles p = percentiles(s);
    return "median " + fmt("%.1f", p.median) + ", p99 " + fmt("%.1f", p.p99) + ", max " + fmt("%.1f", s.back()) +
           " ms";
}

// The rows of one set of kill-switch trips: board time, wall clock and the
// detection delay; the target is one task period + 5 ms.
void add_reactions(const std::string& what, const Reactions& r, double period_ms, const std::string& target)
{
    const auto over =
        std::count_if(r.board_ms.begin(), r.board_ms.end(), [&](double ms) { return ms > period_ms + 5; });
    add(what + ", board time", summary_ms(r.board_ms) + " (period " + fmt("%.0f", period_ms) + " ms, " +
                                  std::to_string(r.board_ms.size()) + " trips, " + std::to_string(over) + " over " +
                                  fmt("%.0f", period_ms + 5) + " ms)",
        target);
    add(what + ", wall-clock", summary_ms(r.wall_ms), target);
    add("  (input change to the task pass reading it)", summary_ms(r.detect_ms));
}

void bench_kill_switch(const std::string& dir, int freq)
{
    const int trips = quick ? 10 : 50;
    const double period_ms = 1000.0 / freq;
    const std::string target = "p99 <= " + fmt("%.0f", period_ms + 5) + " ms";
    Installation run;
    const std::string load_before = loadavg();
    if (start_installation(run, dir + "kill" + std::to_string(freq) + "/", {{"FREQ", std::to_string(freq)}}, 10.0,
                           1.0)) {
        for (const bool loaded : {false, true}) {
            const std::string what =
                "kill-switch reaction FREQ " + std::to_string(freq) + (loaded ? ", 4 clients polling" : ", idle");
            Reactions r;
            double rate = 0;
            {
                std::unique_ptr<StatusPollers> pollers;
                if (loaded)
                    pollers = std::make_unique<StatusPollers>(4);
                trip_kill_switch(run, trips, r);
                if (pollers)
                    rate = pollers->stop();
            }
            if (r.board_ms.empty()) {
                add(what, "FAILED (" + r.failure + ")");
                continue;
            }
            add_reactions(what, r, period_ms, target);
            if (loaded)
                add("  (get_status answered per second, 4 clients)", fmt("%.0f", rate));
            if (!r.failure.empty())
                add(what, "stopped early: " + r.failure);
        }
        if (const std::string d = disturbance(run); !d.empty())
            add("kill-switch reaction FREQ " + std::to_string(freq), d);
    }
    stop_installation(run);
    if (!run.failure.empty())
        add("kill-switch reaction FREQ " + std::to_string(freq), "FAILED (" + run.failure + ")");
    add("  (load average before, after)", load_before + "; " + loadavg());
}

// --- kill switch during homing's index search -------------------------------------

// The default stage with the encoder index of X, Y and Z `phase` steps past
// the reverse switch instead of a quarter turn: the index search then lasts
// about a second at the example's HOME3_RPM, most of it in the wait for the
// reference after the search's 250 ms pause.
std::string stage_with_index_phase(const std::string& dir, int phase)
{
    std::ifstream in(fs::path(SIPPER_SOURCE_DIR) / "sim" / "board" / "stage-default.cfg");
    const std::regex key(R"(^(BOARD1_AXIS[123]_INDEX_PHASE) = \d+;)");
    std::ostringstream out;
    std::string line;
    while (std::getline(in, line))
        out << std::regex_replace(line, key, "$1 = " + std::to_string(phase) + ";") << "\n";
    return write_file(dir + "stage-far-index.cfg", out.str());
}

constexpr int FAR_INDEX_PHASE = 390;  // of 400 steps per turn: X and Y find it 1.17 s after the start

// Board time of the newest trace record whose text starts with `text` and
// that is not older than `since`; -1 when there is none.
double last_record(SimBoard& board, const std::string& text, double since = 0)
{
    double at = -1;
    for (const SimTraceRecord& t : board.trace())
        if (t.board_time >= since && t.text.rfind(text, 0) == 0)
            at = t.board_time;
    return at;
}

// Homes `homings + trips` times. The first `homings` run to the end and
// give the index search's time from find_reference to the wait that saw the
// indexes found; each further one trips the kill switch at a random moment
// while every axis still searches its index, 0.35 to 0.95 s after
// find_reference (the worker waits for the reference from 0.25 s on),
// measures the reaction as the cruise rows do, and checks that homing ends
// not homed; then it releases the switch and waits for the sipper's reset.
void trip_during_index_search(Installation& run, int homings, int trips, Reactions& r, std::vector<double>& search_ms)
{
    SimBoard board(run.linear_board);
    SipperIF& s = *run.sipper;
    std::mt19937 random(17);
    std::uniform_int_distribution<int> delay_ms(350, 950);
    for (int i = 0; i < homings + trips && r.failure.empty(); ++i) {
        const bool trip = i >= homings;
        if (s.home() != call_ok) {
            r.failure = "home was not accepted";
            break;
        }
        bool searching = false;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        SimBoardView v;
        while (!searching && Clock::now() < deadline) {
            v = board.view();
            searching = v.axes[1].reference == "searching";
            if (!searching)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const double find_at = last_record(board, "flex_find_reference(0, 14, 1)");
        if (!searching || find_at < 0) {
            r.failure = "the index search of homing " + std::to_string(i + 1) + " was not seen";
            break;
        }
        if (!trip) {
            if (status_after_busy(s, 30.0) != 0) {
                r.failure = "homing " + std::to_string(i + 1) + " did not succeed";
                break;
            }
            const double found_at = last_record(board, "flex_wait_reference(0, 14, ", find_at);
            if (found_at > 0)
                search_ms.push_back((found_at - find_at) * 1000.0);
            continue;
        }
        const int trip_number = i - homings + 1;
        const double trip_at = find_at + delay_ms(random) / 1000.0;
        while (board.view().board_time < trip_at)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        v = board.view();
        unsigned moving = 0;
        for (int a = 1; a <= 3; ++a)
            if (v.axes[a].reference == "searching" && v.axes[a].velocity != 0)
                moving |= 1u << a;
        if (moving != 0xE) {
            r.failure = "an axis had ended its index search before trip " + std::to_string(trip_number);
            break;
        }
        trip_and_measure(board, moving, trip_number, r);
        // The search fails with its axes killed, and with the switch open
        // homing gives up at once: the worker ends idle, not homed.
        int homed = -1;
        if (r.failure.empty() && status_after_busy(s, 15.0) < 0)
            r.failure = "homing did not end after trip " + std::to_string(trip_number);
        else if (r.failure.empty() && (s.is_homed(homed) != call_ok || homed != 0))
            r.failure = "homing completed in spite of trip " + std::to_string(trip_number);
        // The release is seen by the task loop, whose reset kills the axes
        // once more; the next homing starts only after it.
        double released = 0;
        board.set_analog(INHIBIT_CHANNEL, INHIBIT_CLOSED, &released);
        bool reset = false;
        const auto reset_deadline = Clock::now() + std::chrono::seconds(5);
        while (!(reset = last_record(board, "flex_stop_motion(0, 2, 14)", released) >= 0) &&
               Clock::now() < reset_deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (r.failure.empty() && (!reset || !status_becomes(s, 0, 5.0)))
            r.failure = "the sipper did not reset to idle after trip " + std::to_string(trip_number);
    }
}

void bench_kill_during_homing(const std::string& dir, int freq)
{
    const int homings = quick ? 3 : 10;
    const int trips = quick ? 10 : 50;
    const double period_ms = 1000.0 / freq;
    const std::string target = "p99 <= " + fmt("%.0f", period_ms + 5) + " ms";
    const std::string what = "kill-switch reaction FREQ " + std::to_string(freq) + ", homing's index search";
    Installation run;
    const std::string load_before = loadavg();
    if (start_installation(run, dir + "killhome" + std::to_string(freq) + "/", {{"FREQ", std::to_string(freq)}}, 10.0,
                           1.0, stage_with_index_phase(dir, FAR_INDEX_PHASE))) {
        Reactions r;
        std::vector<double> search_ms;
        trip_during_index_search(run, homings, trips, r, search_ms);
        if (r.board_ms.empty()) {
            add(what, "FAILED (" + r.failure + ")");
        } else {
            add_reactions(what, r, period_ms, target);
            if (!r.failure.empty())
                add(what, "stopped early: " + r.failure);
        }
        if (!search_ms.empty())
            add("  (index search, find_reference to the wait seeing it found, " + std::to_string(search_ms.size()) +
                    " homings)",
                summary_ms(search_ms));
        if (const std::string d = disturbance(run); !d.empty())
            add(what, d);
    }
    stop_installation(run);
    if (!run.failure.empty())
        add(what, "FAILED (" + run.failure + ")");
    add("  (load average before, after)", load_before + "; " + loadavg());
}

// --- task-loop rate --------------------------------------------------------------

void bench_task_rate(const std::string& dir, double freq)
{
    const double run_for = quick ? 1.0 : 5.0;
    const std::string name = "bench" + std::to_string(::getpid()) + "t" + std::to_string(static_cast<int>(freq));
    const std::string cfg = component_cfg(dir, "rate", freq);
    double rate = 0;
    try {
        BenchComponent c(name, dir + "rate.log", cfg, run_for);
        {
            // Served on the first passes of main: reset (initialise), run.
            ComponentIF self(name);
            self.open();
            self.reset();
            self.run();
        }
        c.main();
        if (c.calls.size() >= 2)
            rate = (c.calls.size() - 1) /
                   std::chrono::duration<double>(c.calls.back() - c.calls.front()).count();
    } catch (const Exception& e) {
        std::fprintf(stderr, "task rate: %s\n", e.message().c_str());
    }
    ComponentInterface::remove_objects(name);
    const double error = 100.0 * (rate - freq) / freq;
    add("task loop FREQ " + fmt("%.0f", freq), fmt("%.2f calls/s", rate) + " (" + fmt("%+.1f %%", error) + ")",
        freq == 10 ? "within 5 %" : "");
}

// --- time per sip -----------------------------------------------------------------------

// Time of a trapezoid move over `d` mm from rest to rest at cruise speed `v`
// (mm/s) and acceleration `a` (mm/s^2), as the board profiles it.
double trapezoid(double d, double v, double a)
{
    d = std::fabs(d);
    if (d <= 0 || v <= 0 || a <= 0)
        return 0;
    return d >= v * v / a ? d / v + v / a : 2 * std::sqrt(d / a);
}

// Time such a move takes to cover its first `s` mm.
double trapezoid_until(double d, double s, double v, double a)
{
    d = std::fabs(d);
    s = std::clamp(s, 0.0, d);
    const double ramp = std::min(v * v / (2 * a), d / 2);  // distance of the acceleration
    if (s <= ramp)
        return std::sqrt(2 * s / a);
    if (s <= d - ramp)
        return std::sqrt(2 * ramp / a) + (s - ramp) / v;
    return trapezoid(d, v, a) - std::sqrt(2 * (d - s) / a);
}

struct Point {
    double x = 0, y = 0, z = 0;
};

Point vector_value(const ConfigurationFile& cfg, const std::string& key)
{
    std::string text;
    Point p;
    if (!cfg.get_value(key, text) || !(std::istringstream(text) >> p.x >> p.y >> p.z))
        throw Exception("bench: no vector " + key);
    return p;
}

double real_value(const ConfigurationFile& cfg, const std::string& key)
{
    double value = 0;
    int whole = 0;
    if (cfg.get_value(key, value))
        return value;
    if (cfg.get_value(key, whole))
        return whole;
    throw Exception("bench: no value " + key);
}

// The stage as the sipper drives it during a sip: the places from its
// configuration, the moves at FAST_VELOCITY and the acceleration the sip
// sets (1200 mm/s^2 on every axis), the depth at which the simulated sip
// sensor sees liquid.
struct SipGeometry {
    Point fast, wash1, wash2, well0, well_last_row, well_last_column;
    double safe_z = 0, sensor_z = 0, acceleration = 1200;
    int rows = 8, columns = 12;

    explicit SipGeometry(const std::string& cfg_dir)
    {
        ConfigurationFile sipper, plate, stage;
        if (sipper.load_config(cfg_dir + "sipper.cfg") != 0 || plate.load_config(cfg_dir + "plate96.platecfg") != 0 ||
            stage.load_config(SIPPER_SOURCE_DIR "/sim/board/stage-default.cfg") != 0)
            throw Exception("bench: the configuration files do not load");
        fast = vector_value(sipper, "FAST_VELOCITY");
        wash1 = vector_value(sipper, "WASHSTATION1_POSITION");
        wash2 = vector_value(sipper, "WASHSTATION2_POSITION");
        well0 = vector_value(plate, "POSITION0");
        well_last_row = vector_value(plate, "POSITION1");
        well_last_column = vector_value(plate, "POSITION2");
        safe_z = vector_value(plate, "SIPPER_SAFE_Z").z;
        // Homing puts Z's zero at the first index past the reverse switch.
        const double mm_per_step = real_value(stage, "BOARD1_AXIS3_MM_PER_REV") /
                                   real_value(stage, "BOARD1_AXIS3_STEPS_PER_REV");
        sensor_z = real_value(stage, "BOARD2_COUPLING1_BEYOND_MM") -
                   real_value(stage, "BOARD1_AXIS3_INDEX_PHASE") * mm_per_step;
    }
    Point well(int row, int column) const
    {
        const double a = row / double(rows - 1), b = column / double(columns - 1);
        auto mix = [&](double p0, double p1, double p2) { return p0 + a * (p1 - p0) + b * (p2 - p0); };
        return {mix(well0.x, well_last_row.x, well_last_column.x), mix(well0.y, well_last_row.y, well_last_column.y),
                mix(well0.z, well_last_row.z, well_last_column.z)};
    }
    double xy(const Point& from, const Point& to) const
    {
        return std::max(trapezoid(to.x - from.x, fast.x, acceleration), trapezoid(to.y - from.y, fast.y, acceleration));
    }
    double z(double from, double to) const { return trapezoid(to - from, fast.z, acceleration); }
};

// The floor of one sip from wash station 2 at the safe height, back to the
// same place: the moves in the order the sip makes them (goto_position_now:
// Z to the safe height, X and Y, the descent; the lift; wash 1 and wash 2,
// each by way of the safe height; the lift), the wash dwells, and, for a
// timed sip, state 1 of the sample cycle; the rest of the cycle overlaps
// the washes and counts only where it is longer.
struct SipFloor {
    std::vector<double> moves;  // seconds, in the order of the board's start calls
    double dwell1 = 0, dwell2 = 0, state1 = 0;
    double total = 0;
};

SipFloor sip_floor(const SipGeometry& g, const Point& well, bool sensed, int wash1_ms, int wash2_ms)
{
    SipFloor f;
    const double S = g.safe_z;
    const bool sees = sensed && well.z >= g.sensor_z;
    const double bottom = sees ? g.sensor_z : well.z;  // where the probe turns
    Point at = g.wash2;
    f.moves.push_back(0);  // up to the safe height: already there
    f.moves.push_back(g.xy(at, well));
    f.moves.push_back(sees ? trapezoid_until(well.z - S, g.sensor_z - S, g.fast.z, g.acceleration) : g.z(S, well.z));
    f.state1 = sensed ? (sees ? 0 : CYCLE_MS[0] / 1000.0) : CYCLE_MS[0] / 1000.0;
    const double before = f.moves[0] + f.moves[1] + f.moves[2] + f.state1;
    f.moves.push_back(g.z(bottom, S));
    f.moves.push_back(0);
    f.moves.push_back(g.xy(well, g.wash1));
    f.moves.push_back(g.z(S, g.wash1.z));
    f.dwell1 = wash1_ms / 1000.0;
    f.moves.push_back(g.z(g.wash1.z, S));
    f.moves.push_back(g.xy(g.wash1, g.wash2));
    f.moves.push_back(g.z(S, g.wash2.z));
    f.dwell2 = wash2_ms / 1000.0;
    f.moves.push_back(g.z(g.wash2.z, S));
    double after = f.dwell1 + f.dwell2;
    for (std::size_t i = 3; i < f.moves.size(); ++i)
        after += f.moves[i];
    const double cycle_rest = (CYCLE_MS[1] + CYCLE_MS[2]) / 1000.0;
    f.total = before + std::max(after, cycle_rest);
    return f;
}

// Where one sip's time went beyond its floor, from the linear board's trace
// (the start of each move and the poll that saw it complete) and the rotary
// board's (the sensor reads), in seconds.
struct SipBreakdown {
    bool known = false;
    double to_first_move = 0;    // command, worker start, idle check of the sample interface, set-up calls
    double completion_late = 0;  // moves seen complete after their floor: 100 ms polls
    double overrun = 0;          // the lift after a sensed descent starts below the sensor depth, still going down
    double sensor_decision = 0;  // liquid reached to the sensor decision: 5 ms polls, five hits
    double after_descent = 0;    // sample-interface calls; timed: waiting for state 2 beyond state 1 (50 ms polls)
    double between_moves = 0;    // other gaps between moves: set-up calls, logging, dwells' slack
    double to_idle = 0;          // last move to idle seen: final cycle wait, restore calls, status poll
};

SipBreakdown break_down(const std::vector<SimTraceRecord>& linear, const std::vector<SimTraceRecord>& rotary,
                        const SipFloor& f, bool sensed, double sent, double done)
{
    SipBreakdown b;
    std::vector<double> starts, seen;
    for (std::size_t i = 0; i < linear.size(); ++i) {
        const SimTraceRecord& t = linear[i];
        if (t.board_time < sent || t.board_time > done || t.text.rfind("flex_start(", 0) != 0)
            continue;
        starts.push_back(t.board_time);
        const std::string args = t.text.substr(std::strlen("flex_start"));
        double complete = -1;
        for (std::size_t k = i + 1; k < linear.size() && complete < 0; ++k)
            if (linear[k].text == "flex_check_move_complete_status" + args + " -> 1")
                complete = linear[k].board_time;
        seen.push_back(complete);
    }
    if (starts.size() != f.moves.size())
        return b;
    const std::size_t descent = 2;
    if (sensed) {
        // The decision is the last sensor read of the descent; the sip
        // reads the sensor nowhere else.
        double last_read = -1;
        for (const SimTraceRecord& t : rotary)
            if (t.board_time >= starts[descent] && t.board_time <= starts[descent + 1] &&
                t.text.rfind("flex_read_adc16_rtn(83)", 0) == 0)
                last_read = t.board_time;
        if (last_read < 0)
            return b;
        seen[descent] = last_read;
    }
    for (std::size_t i = 0; i < starts.size(); ++i)
        if (seen[i] < 0)
            return b;
    b.to_first_move = starts.front() - sent;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const double late = seen[i] - starts[i] - f.moves[i];
        if (sensed && i == descent)
            b.sensor_decision = late;
        else if (sensed && i == descent + 1)
            b.overrun = late;
        else
            b.completion_late += late;
        if (i + 1 < starts.size()) {
            double gap = starts[i + 1] - seen[i];
            if (i == descent)
                b.after_descent = gap - f.state1;
            else
                b.between_moves += gap;
        }
    }
    b.between_moves -= f.dwell1 + f.dwell2;
    b.to_idle = done - seen.back();
    b.known = true;
    return b;
}

// A board's trace read while it is written: the board keeps only its last
// 1024 calls, fewer than a sip makes.
class TraceCollector {
public:
    explicit TraceCollector(SimBoard& board) : board_(board) {}
    void restart()
    {
        board_.clear_trace();
        records_.clear();
        next_ = 0;
        lost_ = false;
    }
    void collect()
    {
        for (SimTraceRecord& r : board_.trace()) {
            if (r.sequence < next_)
                continue;
            lost_ = lost_ || r.sequence > next_;
            next_ = r.sequence + 1;
            records_.push_back(std::move(r));
        }
    }
    const std::vector<SimTraceRecord>& records() const { return records_; }
    bool lost() const { return lost_; }

private:
    SimBoard& board_;
    std::vector<SimTraceRecord> records_;
    std::uint64_t next_ = 0;
    bool lost_ = false;
};

void bench_time_per_sip(const std::string& dir, bool sensed)
{
    const int wash_ms = 500;
    const std::string kind = sensed ? "sensed" : "timed";
    const std::string load_before = loadavg();
    Installation run;
    if (start_installation(run, dir + "sip-" + kind + "/", {{"SIP_SENSOR_PRESENT", sensed ? "1" : "0"}}, 10.0,
                           1.0)) {
        try {
            const SipGeometry g(run.dir + "cfg/");
            SipperIF& s = *run.sipper;
            SimBoard linear(run.linear_board), rotary(run.rotary_board);
            TraceCollector linear_trace(linear), rotary_trace(rotary);
            // Board time runs with the monotonic clock at factor 1; this maps
            // the bench's clock onto it.
            const auto c0 = Clock::now();
            const double offset = linear.view().board_time - std::chrono::duration<double>(c0.time_since_epoch()).count();
            auto board_now = [&] {
                return std::chrono::duration<double>(Clock::now().time_since_epoch()).count() + offset;
            };
            // Every 8th well of the plate, row by row: all rows and columns
            // appear; --full-plate sips all 96.
            std::vector<std::pair<int, int>> wells;
            for (int w = 0; w < g.rows * g.columns; w += full_plate ? 1 : 8)
                wells.push_back({w / g.columns, w % g.columns});
            if (quick)
                wells.resize(3);
            std::vector<double> wall, floor;
            std::vector<SipBreakdown> parts;
            std::string failure;
            if (s.set_active_plate("plate96") != call_ok)
                failure = "set_active_plate was not accepted";
            // One sip first, so that every measured one starts from wash
            // station 2 at the safe height.
            for (int i = -1; i < static_cast<int>(wells.size()) && failure.empty(); ++i) {
                const auto [row, column] = i < 0 ? wells.back() : wells[static_cast<std::size_t>(i)];
                const std::string text = std::string(1, char('A' + row)) + std::to_string(column + 1);
                linear_trace.restart();
                rotary_trace.restart();
                const auto t0 = Clock::now();
                const double sent = board_now();
                if (s.sip(text, i + 2, row, column, 0.0, wash_ms, wash_ms) != call_ok) {
                    failure = "sip was not accepted";
                    break;
                }
                // The status as a peer polls it, every 2 ms; the traces
                // every 200 ms.
                int status = -1;
                auto collected = Clock::now();
                while (us_since(t0) < 30e6) {
                    int now = 2;
                    if (s.get_status(now) == call_ok && now != 2) {
                        status = now;
                        break;
                    }
                    if (us_since(collected) > 200e3) {
                        linear_trace.collect();
                        rotary_trace.collect();
                        collected = Clock::now();
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                const double seconds = us_since(t0) / 1e6;
                const double done = board_now();
                linear_trace.collect();
                rotary_trace.collect();
                if (status != 0) {
                    failure = "sip " + text + (status < 0 ? " did not end" : " ended in error");
                    break;
                }
                if (i < 0)
                    continue;
                const SipFloor f = sip_floor(g, g.well(row, column), sensed, wash_ms, wash_ms);
                wall.push_back(seconds);
                floor.push_back(f.total);
                if (linear_trace.lost() || rotary_trace.lost())
                    parts.push_back(SipBreakdown{});
                else
                    parts.push_back(
                        break_down(linear_trace.records(), rotary_trace.records(), f, sensed, sent, done));
            }
            const std::string what = "time per " + kind + " sip (" + std::to_string(wall.size()) + " wells of 96)";
            if (!failure.empty())
                add(what, "FAILED (" + failure + ")");
            if (!wall.empty()) {
                double w = 0, fl = 0;
                for (std::size_t i = 0; i < wall.size(); ++i) {
                    w += wall[i];
                    fl += floor[i];
                }
                add(what, "median " + fmt("%.3f s", percentiles(wall).median) + ", floor median " +
                              fmt("%.3f s", percentiles(floor).median) + ", ratio " + fmt("%.3f", w / fl),
                    "<= 1.05");
                SipBreakdown sum;
                int known = 0;
                double known_wall = 0, known_floor = 0;
                for (std::size_t i = 0; i < parts.size(); ++i) {
                    const SipBreakdown& b = parts[i];
                    if (!b.known)
                        continue;
                    ++known;
                    known_wall += wall[i];
                    known_floor += floor[i];
                    sum.to_first_move += b.to_first_move;
                    sum.completion_late += b.completion_late;
                    sum.overrun += b.overrun;
                    sum.sensor_decision += b.sensor_decision;
                    sum.after_descent += b.after_descent;
                    sum.between_moves += b.between_moves;
                    sum.to_idle += b.to_idle;
                }
                if (known > 0) {
                    auto ms = [&](double v) { return fmt("%.1f ms", 1000.0 * v / known); };
                    add("  extra per sip: command to first move", ms(sum.to_first_move));
                    add("  extra per sip: moves seen complete late (100 ms polls)", ms(sum.completion_late));
                    if (sensed) {
                        add("  extra per sip: liquid reached to sensor decision (5 ms polls)", ms(sum.sensor_decision));
                        add("  extra per sip: lift from below the sensor depth, seen complete", ms(sum.overrun));
                    }
                    add(sensed ? "  extra per sip: sample-interface calls after the descent"
                               : "  extra per sip: calls and state-2 polling (50 ms) after the descent",
                        ms(sum.after_descent));
                    add("  extra per sip: other gaps between moves (set-up calls, logging)", ms(sum.between_moves));
                    add("  extra per sip: last move to idle seen", ms(sum.to_idle));
                    // The waits the sequences define: the 100 ms move polls,
                    // the 5 ms sensor polls with the run-on of the unstopped
                    // descent, the 50 ms state-2 polls.
                    const double defined = sum.completion_late + sum.sensor_decision + sum.overrun +
                                           (sensed ? 0.0 : sum.after_descent);
                    add("  ratio without the waits the sequences define", fmt("%.3f", (known_wall - defined) / known_floor));
                }
                if (known < static_cast<int>(parts.size()))
                    add("  (sips whose trace could not be broken down)", std::to_string(parts.size() - known));
            }
        } catch (const Exception& e) {
            add("time per " + kind + " sip", "FAILED (" + e.message() + ")");
        }
        if (const std::string d = disturbance(run); !d.empty())
            add("time per " + kind + " sip", d);
    }
    stop_installation(run);
    if (!run.failure.empty())
        add("time per " + kind + " sip", "FAILED (" + run.failure + ")");
    add("  (load average before, after)", load_before + "; " + loadavg());
}

// --- configuration load ------------------------------------------------------------

void bench_config(const std::string& dir)
{
    std::ostringstream text;
    for (int i = 0; i < 10000; ++i) {
        switch (i % 4) {
        case 0: text << "INT_KEY_" << i << " = " << i << ";\n"; break;
        case 1: text << "REAL_KEY_" << i << " = " << i * 0.25 << ";\n"; break;
        case 2: text << "TEXT_KEY_" << i << " = \"value " << i << "\";\n"; break;
        default: text << "ARRAY_KEY_" << i << " = [" << i << ", " << i + 1 << ".5, \"" << i + 2 << "\"];\n"; break;
        }
    }
    const std::string path = write_file(dir + "big.cfg", text.str());
    std::vector<double> ms;
    for (int run = 0; run < (quick ? 2 : 5); ++run) {
        ConfigurationFile cfg;
        const auto t = Clock::now();
        int rc = -1;
        try {
            rc = cfg.load_config(path);
        } catch (const Exception& e) {
            add("load 10,000-entry configuration", "FAILED (" + e.message() + ")");
            return;
        }
        ms.push_back(us_since(t) / 1000.0);
        if (rc != 0) {
            add("load 10,000-entry configuration", "FAILED (" + std::to_string(rc) + ")");
            return;
        }
    }
    add("load 10,000-entry configuration, median", fmt("%.1f ms", percentiles(ms).median));
}

}  // namespace

// --- sipper-web under held connections -------------------------------------

int web_connection(int port, const std::string& source)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
                    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Microseconds from connecting to the end of the answer, one per sample.
std::vector<double> web_status_times(int port, int samples)
{
    const std::string request = "GET /api/v1/status HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nConnection: close\r\n\r\n";
    std::vector<double> us;
    for (int i = 0; i < samples; ++i) {
        const auto t0 = Clock::now();
        const int fd = web_connection(port, "127.0.0.1");
        if (fd < 0)
            return {};
        char buffer[4096];
        bool answered = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0;
        while (answered && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
        ::close(fd);
        us.push_back(us_since(t0));
    }
    return us;
}

void bench_web(const std::string& dir)
{
    const std::string exe = SIPPER_BUILD_DIR "/bin/sipper-web";
    if (!fs::exists(exe)) {
        add("sipper-web status", "not measured (no " + exe + ")");
        return;
    }
    const std::string out = dir + "sipper-web.out";
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        const std::string name = "bench" + std::to_string(::getppid()) + "w";
        ::execl(exe.c_str(), exe.c_str(), "--interface", name.c_str(), "--listen", "127.0.0.1:0",
                "--header-timeout", "600", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int port = 0;
    const std::string mark = "serving http://127.0.0.1:";
    for (const auto deadline = Clock::now() + std::chrono::seconds(10); port == 0 && Clock::now() < deadline;) {
        std::ifstream in(out);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find(mark) != std::string::npos)
            port = std::atoi(text.c_str() + text.find(mark) + mark.size());
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int samples = quick ? 200 : 2000;
    if (port > 0) {
        const Percentiles alone = percentiles(web_status_times(port, samples));
        add("sipper-web GET status, no sipper (median / p99)", fmt("%.0f", alone.median) + fmt(" / %.0f us", alone.p99));
        std::vector<int> held;
        const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
        for (int i = 0; i < 300; ++i) {
            const int fd = web_connection(port, "127.0.0." + std::to_string(2 + i % 6));
            const std::string text = i < 200 ? "GET /api/v1/events HTTP/1.1\r\n" + host + "\r\n" : "GET / HTTP/1.1\r\nX-Slow: ";
            if (fd >= 0 && ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) > 0)
                held.push_back(fd);
        }
        const Percentiles loaded = percentiles(web_status_times(port, samples));
        add("  ... with " + std::to_string(held.size()) + " streams and slow headers open",
            fmt("%.0f", loaded.median) + fmt(" / %.0f us", loaded.p99), "p99 <= 200 ms");
        for (int fd : held)
            ::close(fd);
    } else {
        add("sipper-web status", "FAILED (sipper-web did not start)");
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

int main(int argc, char** argv)
{
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            quick = true;
        } else if (a == "--full-plate") {
            full_plate = true;
        } else if (a == "--keep") {
            keep = true;
        } else if (a == "--only" && i + 1 < argc) {
            std::istringstream list(argv[++i]);
            for (std::string g; std::getline(list, g, ',');)
                only.push_back(g);
        } else {
            std::fprintf(stderr,
                         "usage: sipper_bench [--quick] [--full-plate] [--keep] [--only GROUP,...]\n"
                         "groups: channel rate idle running config kill (kill10, kill100, killhome) sip (sensed, timed) web\n");
            return 64;
        }
    }
    auto wanted = [&](const char* group) {
        return only.empty() || std::find(only.begin(), only.end(), group) != only.end();
    };
    const std::string dir = scratch_dir();
    std::fprintf(stderr, "measuring%s... (load average %s)\n", quick ? " (quick)" : "", loadavg().c_str());
    if (wanted("channel"))
        bench_channel(dir);
    if (wanted("rate")) {
        bench_task_rate(dir, 10);
        bench_task_rate(dir, 100);
    }
    if (wanted("idle"))
        bench_idle_sipper(dir);
    if (wanted("running") || wanted("kill") || wanted("kill10") || wanted("kill100") || wanted("killhome") ||
        wanted("sip") || wanted("sensed") || wanted("timed")) {
        // These rows start the installation under the fixed names.
        FixedNames names(600);
        if (!names.held()) {
            add("installation rows", "not measured (" + std::string(FixedNames::PATH) + " stayed taken)");
        } else if (another_sipper_serves()) {
            add("installation rows", "not measured (another sipper serves \"Sipper\")");
        } else {
            if (wanted("running"))
                bench_running_sipper(dir);
            if (wanted("kill") || wanted("kill10"))
                bench_kill_switch(dir, 10);
            if (wanted("kill") || wanted("kill100"))
                bench_kill_switch(dir, 100);
            if (wanted("kill") || wanted("killhome"))
                bench_kill_during_homing(dir, 100);
            if (wanted("sip") || wanted("sensed"))
                bench_time_per_sip(dir, true);
            if (wanted("sip") || wanted("timed"))
                bench_time_per_sip(dir, false);
        }
    }
    if (wanted("config"))
        bench_config(dir);
    if (wanted("web"))
        bench_web(dir);
    std::error_code ec;
    if (keep)
        std::fprintf(stderr, "kept %s\n", dir.c_str());
    else
        fs::remove_all(dir, ec);

    std::size_t w0 = 0, w1 = 0;
    for (const Row& r : rows) {
        w0 = std::max(w0, r.what.size());
        w1 = std::max(w1, r.value.size());
    }
    std::printf("| %-*s | %-*s | %s |\n", int(w0), "measurement", int(w1), "result", "target");
    std::printf("|%s|%s|%s|\n", std::string(w0 + 2, '-').c_str(), std::string(w1 + 2, '-').c_str(), "--------");
    for (const Row& r : rows)
        std::printf("| %-*s | %-*s | %s |\n", int(w0), r.what.c_str(), int(w1), r.value.c_str(), r.target.c_str());
    return 0;
}
