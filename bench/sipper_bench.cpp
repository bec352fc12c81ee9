// Measures the interface layer and the main loop in one run on one machine
// and prints a table:
//   - query round trip (get_state against a component served in another
//     process), median and 99th percentile, next to a socketpair ping-pong of
//     the same message size between the same two processes, the two taking
//     turns sample by sample;
//   - one-way commands served per second by a component's main loop;
//   - idle CPU of the sipper process over 10 s, from /proc: in CREATED
//     (serving its interface only), and RUNNING and homed on the simulated
//     installation (its task loop watching the kill switch at FREQ 10);
//   - task-loop rate for FREQ 10 and FREQ 100;
//   - loading a configuration file of 10,000 entries.
//
//   sipper_bench [--quick]      (--quick: fewer samples, 2 s of idle CPU)
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
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
#include "utilities/Exception.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool quick = false;

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
    while (client.get_state(state) != call_ok && Clock::now() < deadline) {
    }
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
    while (!(up = client.get_state(state) == call_ok) && Clock::now() < deadline) {
    }
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

// The sipper started by installation-sim under the fixed names, after reset,
// run and home: its idle state in use. Skipped when another installation
// serves the names.
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

void bench_running_sipper(const std::string& dir)
{
    const std::string what = "sipper idle CPU (RUNNING, homed)";
    const std::string sim = SIPPER_BUILD_DIR "/bin/installation-sim";
    const std::string exe = SIPPER_BUILD_DIR "/bin/sipper";
    if (!fs::exists(sim) || !fs::exists(exe)) {
        add(what, "not measured (no installation-sim or sipper in the build)");
        return;
    }
    if (fs::exists("/dev/shm/Installation_properties") || fs::exists("/dev/shm/Sipper_properties")) {
        ComponentIF probe("Sipper");
        int state = 0;
        probe.open();
        probe.set_timeout(300);
        if (probe.get_state(state) == call_ok) {
            add(what, "not measured (another sipper serves \"Sipper\")");
            return;
        }
    }
    const std::string idir = dir + "installation/";
    fs::create_directories(idir + "logs");
    fs::copy(fs::path(SIPPER_SOURCE_DIR) / "examples", idir + "cfg", fs::copy_options::recursive);
    const std::string command = exe + " Sipper " + idir + "logs/sipper.log " + idir + "cfg/sipper.cfg";
    write_file(idir + "installation.cfg", "STAGE_FILE = \"" SIPPER_SOURCE_DIR "/sim/board/stage-default.cfg\";\n"
                                          "TIME_FACTOR = 10.0;\nLOG_DIR = \"" + idir + "logs\";\n"
                                          "STOP_TIMEOUT = 5.0;\nCOMPONENTS = [\"" + command + "\"];\n");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string out = idir + "installation-sim.out";
        if (std::freopen(out.c_str(), "w", stdout) == nullptr || std::freopen(out.c_str(), "a", stderr) == nullptr)
            ::_exit(126);
        ::execl(sim.c_str(), sim.c_str(), (idir + "installation.cfg").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string failure;
    // installation-sim removes stale objects of the names it starts with, so
    // a client opens only once the sipper has made its channel.
    const auto up_deadline = Clock::now() + std::chrono::seconds(20);
    while (!fs::exists("/dev/shm/Sipper_properties") && Clock::now() < up_deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        SipperIF s("Sipper");
        s.open();
        s.set_timeout(3000);
        int status = 2;
        if (!sipper_answers(s, -1, 20.0)) {
            failure = "the sipper did not answer";
        } else if (s.reset() != call_ok || !sipper_answers(s, Component::READY, 10.0) || s.run() != call_ok ||
                   !sipper_answers(s, Component::RUNNING, 5.0)) {
            failure = "the sipper did not reach RUNNING";
        } else if (s.home() != call_ok) {
            failure = "home was not accepted";
        } else {
            const auto deadline = Clock::now() + std::chrono::seconds(30);
            do
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            while ((s.get_status(status) != call_ok || status == 2) && Clock::now() < deadline);
            const pid_t sipper = started_pid(idir + "logs/installation.log", "Sipper");
            if (status != 0) {
                failure = "homing did not succeed";
            } else if (sipper <= 0) {
                failure = "the sipper process was not found";
            } else {
                const double seconds = quick ? 2.0 : 10.0;
                const double c0 = cpu_seconds(sipper);
                const auto t0 = Clock::now();
                std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
                const double c1 = cpu_seconds(sipper);
                add("sipper idle CPU (RUNNING, homed, " + fmt("%.0f", seconds) + " s)",
                    fmt("%.2f %% of a core", 100.0 * (c1 - c0) / (us_since(t0) / 1e6)), "<= 1 %");
            }
        }
    }
    ComponentIF installation("Installation");
    if (!installation.open() || installation.kill() != call_ok)
        ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!failure.empty())
        add(what, "FAILED (" + failure + ")");
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

int main(int argc, char** argv)
{
    quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const std::string dir = scratch_dir();
    std::fprintf(stderr, "measuring%s...\n", quick ? " (quick)" : "");
    bench_channel(dir);
    bench_task_rate(dir, 10);
    bench_task_rate(dir, 100);
    bench_idle_sipper(dir);
    bench_running_sipper(dir);
    bench_config(dir);
    std::error_code ec;
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
