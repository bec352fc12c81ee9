// A soak: several client processes send random valid and invalid commands to
// the running sipper on the simulated stage for a bounded time, while the
// test watches that the process lives, answers get_state within its timeout
// with a valid state, leaks no descriptors or shared objects, and numbers its
// log lines without a gap. Afterwards the sipper must still home and move.
//
// SIPPER_SOAK_SECONDS sets the duration (default 90), SIPPER_SOAK_SEED the
// seed (default: from the clock; the seed in use is printed).
// SIPPER_SOAK_FAULTS=1 mixes in faults: board calls failing (any call, the
// read-back error, following errors), the kill switch tripped and released,
// and the peers (board owners, sample interface, log server, served by a
// process of their own) killed with SIGKILL and restarted. Each trip while
// the sipper runs must be followed by its emergency stop.

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "interfaces/ComponentMethods.h"
#include "interfaces/Message.h"
#include "interfaces/SipperMethods.h"
#include "sim/board/flexsim_status.h"
#include "tests/system/InstallationHarness.h"

namespace {

// The component states get_state reports.
constexpr int CREATED = 0, READY = 1, RUNNING = 2, INIT_FAILED = 3;

using Rng = std::mt19937_64;

long count_of(const std::string& in, const std::string& what)
{
    long n = 0;
    for (std::size_t at = in.find(what); at != std::string::npos; at = in.find(what, at + 1))
        ++n;
    return n;
}

// A line the sample interface logs for each start_sipping it was sent.
const std::string SIP_SEEN = "start_sipping text=\"";

double soak_seconds()
{
    const char* text = std::getenv("SIPPER_SOAK_SECONDS");
    const double s = text != nullptr ? std::atof(text) : 0.0;
    return s > 0.0 ? s : 90.0;
}

std::uint64_t soak_seed()
{
    if (const char* text = std::getenv("SIPPER_SOAK_SEED"))
        return std::strtoull(text, nullptr, 10);
    return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

bool soak_faults()
{
    const char* text = std::getenv("SIPPER_SOAK_FAULTS");
    return text != nullptr && std::string(text) == "1";
}

int pick(Rng& rng, int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
bool chance(Rng& rng, double p) { return std::bernoulli_distribution(p)(rng); }

// Anything a peer might put in a string field: empty, printable, any byte
// but NUL, or longer than the field.
std::string random_text(Rng& rng)
{
    switch (pick(rng, 0, 4)) {
    case 0: return "";
    case 1: return std::string(static_cast<std::size_t>(pick(rng, 4000, 6000)), 'w');
    case 2: {
        std::string s(static_cast<std::size_t>(pick(rng, 1, 40)), ' ');
        for (char& c : s)
            c = static_cast<char>(pick(rng, 1, 255));
        return s;
    }
    default: {
        std::string s(static_cast<std::size_t>(pick(rng, 1, 20)), ' ');
        for (char& c : s)
            c = static_cast<char>(pick(rng, 'A', 'z'));
        return s;
    }
    }
}

int random_int(Rng& rng)
{
    static constexpr int odd[] = {0, -1, 1, 2, 7, 10, 11, 40, 1000, 99999, INT_MIN, INT_MAX};
    return chance(rng, 0.5) ? odd[pick(rng, 0, 11)] : pick(rng, INT_MIN, INT_MAX);
}

const std::string& random_plate(Rng& rng)
{
    static const std::string plates[] = {"plate96", "plate384"};
    return plates[pick(rng, 0, 1)];
}

// What one client process saw, written to its report file for the test.
struct ClientTally {
    std::map<std::string, long> results;  // "<kind> <call result>" -> count
    long commands = 0;
    long resets = 0;
    long wrong_replies = 0;
    std::vector<std::string> problems;

    void count(const char* kind, int rc) { ++results[std::string(kind) + " " + std::to_string(rc)]; }
    void problem(const std::string& text)
    {
        if (problems.size() < 20)
            problems.push_back(text);
    }
};

std::size_t method_length(std::uint16_t id)
{
    return id < sipper_methods::GET_STATUS ? component_methods::TABLE.method(id).length
                                           : sipper_methods::TABLE.method(id).length;
}

// A raw one-way message the typed calls cannot produce: an unknown method
// id, a known one cut short, or a full one with string fields left without
// their NUL. Query ids are left out (their replies would wake other clients'
// queries) and so are the component's state commands, kill among them.
Message raw_message(Rng& rng)
{
    using namespace sipper_methods;
    static constexpr std::uint16_t one_way[] = {HOME,        SET_ACTIVE_PLATE, SET_PLATE_TYPE,    SET_MISSED_SIP_TOL,
                                                GOTO_POSITION, GOTO_POSITION_SAFE, RESET_ERROR_STATE, SIP,
                                                WASH,        RESET_RUN_STATS,  TWISTER_ARM_CLEAR_OF_STAGE,
                                                LOG_SIP_SENSOR, component_methods::LOG_MSG};
    std::uint16_t id;
    std::size_t length;
    switch (pick(rng, 0, 2)) {
    case 0:
        id = static_cast<std::uint16_t>(pick(rng, LOG_SIP_SENSOR + 1, 0xFFFF));
        length = 4 * static_cast<std::size_t>(pick(rng, 1, 40));
        break;
    case 1: {
        id = one_way[pick(rng, 0, static_cast<int>(std::size(one_way)) - 1)];
        const std::size_t full = method_length(id);
        length = 4 * static_cast<std::size_t>(pick(rng, 1, static_cast<int>(full / 4)));
        break;
    }
    default:
        id = chance(rng, 0.5) ? std::uint16_t{SET_ACTIVE_PLATE} : std::uint16_t{component_methods::LOG_MSG};
        length = method_length(id);
        break;
    }
    std::vector<std::uint8_t> bytes(length);
    for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>(pick(rng, 1, 255));
    wire::store_u16(bytes.data(), static_cast<std::uint16_t>(length));
    wire::store_u16(bytes.data() + 2, id);
    return Message(std::move(bytes));
}

// One random command; queries check what they answered.
void random_command(SipperIF& s, Rng& rng, const std::string& scratch, ClientTally& t)
{
    auto one_way = [&](const char* kind, int rc) {
        t.count(kind, rc);
        if (rc != call_ok && rc != call_queue_full)
            t.problem(std::string(kind) + " returned " + std::to_string(rc));
        if (rc == call_ok && std::string(kind) == "reset")
            ++t.resets;
    };
    // A channel object of the interface destroyed while a query waits wakes
    // that query, which then returns call_wrong_reply: the sipper's worker
    // keeps a client of its own interface and a reset replaces the worker.
    // The test bounds how often that may happen.
    auto query = [&](const char* kind, int rc) {
        if (rc == call_wrong_reply) {
            t.count(kind, rc);
            ++t.wrong_replies;
            return false;
        }
        one_way(kind, rc);
        return rc == call_ok;
    };
    auto expect = [&](const char* kind, bool holds, const std::string& value) {
        if (!holds)
            t.problem(std::string(kind) + " answered " + value);
    };

    ++t.commands;
    // Per mille: the kinds of command and how often each comes.
    const int k = pick(rng, 0, 999);
    if (k < 250) {
        // The many read-only queries an integrating process makes.
        int v = -1;
        switch (pick(rng, 0, 9)) {
        case 0:
            if (query("get_state", s.get_state(v)))
                expect("get_state", v >= CREATED && v <= INIT_FAILED, std::to_string(v));
            // Like a supervisor, bring it back to RUNNING now and then, so
            // that the commands are not all refused for the wrong state.
            if (v == INIT_FAILED && chance(rng, 0.2))
                one_way("reset", s.reset());
            else if (v == READY && chance(rng, 0.5))
                one_way("run", s.run());
            break;
        case 1:
            if (query("get_status", s.get_status(v)))
                expect("get_status", v >= 0 && v <= 2, std::to_string(v));
            break;
        case 2:
            if (query("is_homed", s.is_homed(v)))
                expect("is_homed", v == 0 || v == 1, std::to_string(v));
            if (v == 0 && chance(rng, 0.1))
                one_way("home", s.home());
            break;
        case 3:
            if (query("system_configured", s.system_configured(v)))
                expect("system_configured", v == 0 || v == 1, std::to_string(v));
            break;
        case 4:
            if (query("at_plate_swap_position", s.at_plate_swap_position(v)))
                expect("at_plate_swap_position", v == 0 || v == 1, std::to_string(v));
            break;
        case 5: {
            double x = 0, y = 0, z = 0;
            if (query("get_current_positions", s.get_current_positions(x, y, z)))
                expect("get_current_positions", !std::isnan(x) && !std::isnan(y) && !std::isnan(z),
                       std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(z));
            break;
        }
        case 6: {
            std::string name;
            if (query("get_name", s.get_name(name)))
                expect("get_name", name == "Sipper", name);
            break;
        }
        case 7: {
            std::string text;
            int rows = 0, cols = 0;
            query("get_plate_info", s.get_plate_info(text, rows, cols));
            break;
        }
        case 8:
            query("get_inhibit_state", s.get_inhibit_state(v));
            break;
        default: {
            std::string text;
            query("get_all_plate_configs", s.get_all_plate_configs(text));
            break;
        }
        }
    } else if (k < 450) {
        // Valid operations: they start motions, washes and sips.
        switch (pick(rng, 0, 5)) {
        case 0: one_way("goto_position", s.goto_position(pick(rng, 1, 9))); break;
        case 1: one_way("goto_position_safe", s.goto_position_safe(pick(rng, 1, 9))); break;
        case 2: one_way("wash", s.wash(pick(rng, 0, 200), pick(rng, 0, 200))); break;
        case 3: {
            const int row = pick(rng, 0, 7), col = pick(rng, 0, 11);
            const std::string well = std::string(1, static_cast<char>('A' + row)) + std::to_string(col + 1);
            one_way("sip", s.sip(well, pick(rng, 0, 1000), row, col, 0.0, pick(rng, 0, 100), pick(rng, 0, 100)));
            break;
        }
        case 4: one_way("set_active_plate", s.set_active_plate(random_plate(rng))); break;
        default: one_way("reset_error_state", s.reset_error_state()); break;
        }
    } else if (k < 550) {
        // Settings and bookkeeping.
        int v = 0;
        switch (pick(rng, 0, 7)) {
        case 0: one_way("set_missed_sip_tol", s.set_missed_sip_tol(pick(rng, 0, 5))); break;
        case 1: query("get_missed_sip_tol", s.get_missed_sip_tol(v)); break;
        case 2: one_way("reset_run_stats", s.reset_run_stats()); break;
        case 3: one_way("twister_arm_clear_of_stage", s.twister_arm_clear_of_stage(pick(rng, 0, 1))); break;
        case 4: one_way("sample_interface_states_changed", s.sample_interface_states_changed()); break;
        case 5: one_way("log_sip_sensor", s.log_sip_sensor(pick(rng, 0, 1))); break;
        case 6: one_way("log_msg", s.log_msg("soak line " + std::to_string(t.commands), pick(rng, 0, 3))); break;
        default:
            // Any number a peer set is kept as the type; nothing to check.
            query("get_plate_type", s.get_plate_type(random_plate(rng), v));
            break;
        }
    } else if (k < 600) {
        // Configuration files: a scratch copy, the loaded file, a missing one.
        int result = -1;
        const std::string file = scratch + "/soak-" + std::to_string(pick(rng, 0, 3)) + ".cfg";
        switch (pick(rng, 0, 3)) {
        case 0:
            if (query("save_config", s.save_config(file, result)))
                expect("save_config", result == 0, std::to_string(result));
            break;
        case 1: query("delete_config", s.delete_config(file, result)); break;
        case 2:
            if (query("load_config", s.load_config(scratch + "/missing/none.cfg", result)))
                expect("load_config of a missing file", result != 0, std::to_string(result));
            break;
        default: {
            std::string dir;
            query("get_cfg_dir", s.get_cfg_dir(dir));
            break;
        }
        }
    } else if (k < 900) {
        // Invalid arguments to every kind of command.
        int v = 0;
        switch (pick(rng, 0, 9)) {
        case 0: one_way("goto_position bad", s.goto_position(random_int(rng))); break;
        case 1: one_way("goto_position_safe bad", s.goto_position_safe(random_int(rng))); break;
        case 2: one_way("wash bad", s.wash(-pick(rng, 1, 1000), -pick(rng, 0, 1000))); break;
        case 3: {
            static constexpr double depths[] = {NAN, INFINITY, -INFINITY, 1e300, -5.0, DBL_MAX};
            one_way("sip bad", s.sip(random_text(rng), random_int(rng), random_int(rng), random_int(rng),
                                     depths[pick(rng, 0, 5)], -pick(rng, 1, 100), -pick(rng, 1, 100)));
            break;
        }
        case 4: one_way("set_active_plate bad", s.set_active_plate(random_text(rng))); break;
        case 5: one_way("set_plate_type bad", s.set_plate_type(random_text(rng), random_int(rng))); break;
        case 6: query("get_plate_type bad", s.get_plate_type(random_text(rng), v)); break;
        case 7: one_way("log_msg bad", s.log_msg(random_text(rng), random_int(rng))); break;
        case 8: one_way("set_missed_sip_tol bad", s.set_missed_sip_tol(random_int(rng))); break;
        default: one_way("raw", s.send(raw_message(rng))); break;
        }
    } else if (k < 995) {
        // Teaching with positions the sipper may not be at; refused unless
        // homed and idle.
        int result = -1;
        if (query("set_position", s.set_position(random_text(rng), pick(rng, 10, 30), result)))
            expect("set_position", result == 0 || result == 1, std::to_string(result));
    } else {
        // Rare and disruptive: halting everything, an emergency, homing,
        // leaving RUNNING and coming back, a reset.
        int result = 0;
        switch (pick(rng, 0, 4)) {
        case 0: one_way("stop_all_motion", s.stop_all_motion()); break;
        case 1:
            if (query("emergency", s.emergency(1, result)))
                expect("emergency", result == 1, std::to_string(result));
            one_way("reset_error_state", s.reset_error_state());
            break;
        case 2: one_way("home", s.home()); break;
        case 3:
            one_way("stop", s.stop());
            one_way("run", s.run());
            break;
        default:
            one_way("stop", s.stop());
            one_way("reset", s.reset());
            std::this_thread::sleep_for(std::chrono::milliseconds(pick(rng, 0, 200)));
            one_way("run", s.run());
            break;
        }
    }
}

// A client process: random commands with short random pauses until the
// time is up. Exit code 0 when every call came back as expected.
int soak_client(int index, std::uint64_t seed, double seconds, const std::string& scratch, const std::string& report)
{
    Rng rng(seed + static_cast<std::uint64_t>(index));
    SipperIF s("Sipper");
    ClientTally t;
    if (!s.open())
        t.problem("cannot open the channel");
    s.set_timeout(3000);
    Timer timer;
    timer.start();
    while (t.problems.empty() && timer.elapsed() < seconds) {
        random_command(s, rng, scratch, t);
        std::this_thread::sleep_for(std::chrono::microseconds(pick(rng, 0, 20000)));
    }
    FILE* f = std::fopen(report.c_str(), "w");
    if (f != nullptr) {
        std::fprintf(f, "client %d: %ld commands, %ld resets, %ld wrong replies\n", index, t.commands, t.resets,
                     t.wrong_replies);
        for (const auto& [kind, n] : t.results)
            std::fprintf(f, "  %s: %ld\n", kind.c_str(), n);
        for (const std::string& p : t.problems)
            std::fprintf(f, "  PROBLEM: %s\n", p.c_str());
        std::fclose(f);
    }
    return t.problems.empty() ? 0 : 1;
}

int count_entries(const std::string& dir)
{
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

// The numbered lines of a log file ("N mm/dd/yy hh:mm:ss text"): the first
// number and any place where the next line is not the one after.
struct LogNumbers {
    long lines = 0;
    long first = 0;
    std::vector<std::string> gaps;
};

LogNumbers check_numbers(const std::string& text)
{
    static const std::regex numbered(R"(^(\d+) \d\d/\d\d/\d\d \d\d:\d\d:\d\d )");
    LogNumbers r;
    long last = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        std::smatch m;
        if (!std::regex_search(line, m, numbered))
            continue;
        const long n = std::stol(m[1]);
        if (r.lines == 0)
            r.first = n;
        else if (n != last + 1 && r.gaps.size() < 10)
            r.gaps.push_back(std::to_string(last) + " -> " + std::to_string(n));
        last = n;
        ++r.lines;
    }
    return r;
}

class SipperSoakTest : public InstallationTest {
protected:
    static constexpr int CLIENTS = 4;
    static constexpr int QUERY_TIMEOUT_MS = 3000;

    // The installation starts the sipper, so that it also stops it and
    // removes its objects as in use; it logs the pid it started.
    void start_sipper()
    {
        start_installation();
        static const std::regex started(R"(started \S+ as pid (\d+) \(interface Sipper\))");
        const std::string text = log("installation.log");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(text, m, started)) << text;
        sipper_pid_ = std::stoi(m[1]);
    }

    // get_state and get_status asked again once when a reset woke the query
    // (see the clients' tally); -1 when they do not answer.
    template <class Query>
    static int answered(Query query)
    {
        int value = -1;
        int rc = query(value);
        if (rc == call_wrong_reply)
            rc = query(value);
        return rc == call_ok ? value : -1;
    }
    int answered_state() { return answered([this](int& v) { return sipper().get_state(v); }); }
    int answered_status() { return answered([this](int& v) { return sipper().get_status(v); }); }

    // Alive and not a zombie; the installation would start a new process,
    // never under the same pid.
    bool sipper_alive() const
    {
        const std::string stat = read_file("/proc/" + std::to_string(sipper_pid_) + "/stat");
        const std::size_t close = stat.rfind(')');
        return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
    }
    int sipper_fds() const { return count_entries("/proc/" + std::to_string(sipper_pid_) + "/fd"); }

    pid_t sipper_pid_ = -1;

    // ---- faults mixed in (SIPPER_SOAK_FAULTS=1) ----

    static constexpr const char* PEERS_NAME = "SoakPeers";
    static constexpr int INHIBIT_CHANNEL = 0x54;
    static constexpr int32_t INHIBIT_CLOSED = 2000;
    static constexpr double TRIP_CHECK_S = 2.5;

    // The installation with the board owners, the sample interface and the
    // log server in a second installation-sim, so that they can be killed
    // and restarted while the sipper runs.
    void start_with_separate_peers()
    {
        std::ofstream peers(path("peers.cfg"));
        peers << "INSTALLATION_IF = \"" << PEERS_NAME << "\";\n"
              << "PREPARE_BOARDS = 0;\n"
              << "SERVE = [\"LinearMC\", \"RotaryMC\", \"SampleInterface\", \"LogServer\"];\n"
              << "CYCLE_STATE_DURATIONS = [300, 150, 150];\n"
              << "LOG_DIR = \"" << path("peer-logs") << "\";\n";
        peers.close();
        launch_installation("TIME_FACTOR = 10.0;\nSERVE = [\"Supervisor\"];\n" + sipper_component());
        if (HasFatalFailure())
            return;
        start_peers();
        static const std::regex started(R"(started \S+ as pid (\d+) \(interface Sipper\))");
        const std::string text = log("installation.log");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(text, m, started)) << text;
        sipper_pid_ = std::stoi(m[1]);
    }

    void start_peers()
    {
        peers_ = spawn({bin("installation-sim"), path("peers.cfg")}, path("peers-sim.out"));
        ASSERT_GT(peers_, 0);
        ASSERT_TRUE(answers("LinearMC", 10.0)) << read_file(path("peers-sim.out"));
    }

    void kill_peers()
    {
        kill(peers_, SIGKILL);
        waitpid(peers_, nullptr, 0);
        peers_ = -1;
        // The restarted peers start their logs afresh.
        sips_in_earlier_peer_logs_ += count_of(read_file(path("peer-logs/SampleInterface.log")), SIP_SEEN);
    }

    void stop_peers()
    {
        if (peers_ <= 0)
            return;
        ComponentIF c(PEERS_NAME);
        if (c.open())
            c.kill();
        int status = 0;
        if (!wait_exit(peers_, 20.0, status)) {
            ADD_FAILURE() << "the peers' installation-sim did not stop after kill";
            kill_peers();
        }
        peers_ = -1;
    }

    void TearDown() override
    {
        if (peers_ > 0)
            kill_peers();
        ComponentInterface::remove_objects(PEERS_NAME);
        InstallationTest::TearDown();
    }

    // The sipper log's text written since the last call.
    std::string new_log_text()
    {
        std::ifstream in(path("logs/sipper.log"));
        in.seekg(static_cast<std::streamoff>(log_offset_));
        std::stringstream s;
        s << in.rdbuf();
        const std::string text = s.str();
        log_offset_ += text.size();
        return text;
    }

    struct FaultTally {
        long call_failures = 0, readback_errors = 0, following_errors = 0;
        long trips = 0, trips_checked = 0, trips_stopped = 0;
        long peer_kills = 0, peer_restarts = 0, supervisor_resets = 0;
        std::vector<std::string> problems;
    };

    // One step of the fault schedule, called from the watcher's loop.
    void mix_faults(Rng& rng, double now, SipperIF& watcher, FaultTally& f)
    {
        SimBoard linear(1), rotary(2);
        if (now >= next_board_fault_) {
            next_board_fault_ = now + pick(rng, 500, 3000) / 1000.0;
            if (following_axis_ > 0) {
                linear.set_following_error_fault(following_axis_, false);
                following_axis_ = 0;
            }
            const int kind = pick(rng, 0, 9);
            if (kind == 0) {
                if (linear.set_readback_error())
                    ++f.readback_errors;
            } else if (kind == 1) {
                following_axis_ = pick(rng, 1, 3);
                if (linear.set_following_error_fault(following_axis_, true))
                    ++f.following_errors;
            } else {
                static constexpr int32_t statuses[] = {-70123, FLEX_ERR_BAD_VALUE, FLEX_ERR_BAD_AXIS};
                SimBoard& b = kind < 8 ? linear : rotary;
                if (b.fail_call(pick(rng, 1, 300), statuses[pick(rng, 0, 2)]))
                    ++f.call_failures;
            }
        }

        if (!tripped_ && now >= next_trip_) {
            new_log_text();  // only lines after the trip count
            int state = -1;
            trip_running_ = watcher.get_state(state) == call_ok && state == RUNNING;
            if (linear.set_analog(INHIBIT_CHANNEL, 0)) {
                tripped_ = true;
                trip_at_ = now;
                trip_checked_ = false;
                trip_lines_.clear();
                ++f.trips;
            }
        }
        if (tripped_) {
            trip_lines_ += new_log_text();
            if (!trip_checked_ && now >= trip_at_ + TRIP_CHECK_S) {
                trip_checked_ = true;
                int state = -1;
                // A client may have taken the sipper out of RUNNING meanwhile:
                // then its task loop did not watch the switch.
                if (trip_running_ && watcher.get_state(state) == call_ok && state == RUNNING) {
                    ++f.trips_checked;
                    if (trip_lines_.find("Sipper::emergency()") != std::string::npos)
                        ++f.trips_stopped;
                    else if (f.problems.size() < 10)
                        f.problems.push_back("no emergency stop within " + std::to_string(TRIP_CHECK_S) +
                                             " s of the trip at " + std::to_string(trip_at_) + " s");
                }
            }
            if (trip_checked_ && now >= trip_at_ + TRIP_CHECK_S + pick(rng, 0, 3000) / 1000.0) {
                if (linear.set_analog(INHIBIT_CHANNEL, INHIBIT_CLOSED))
                    tripped_ = false;
                next_trip_ = now + pick(rng, 5000, 25000) / 1000.0;
            }
        }

        // As the installation's supervisor would: once the peers are back,
        // a sipper whose reset failed without them is reset and run again.
        if (peers_ > 0 && now >= next_supervision_) {
            next_supervision_ = now + 1.0;
            int state = -1;
            if (watcher.get_state(state) == call_ok) {
                if (state == INIT_FAILED && watcher.reset() == call_ok)
                    ++f.supervisor_resets;
                else if (state == READY)
                    watcher.run();
            }
        }

        if (peers_ > 0 && now >= next_peer_kill_) {
            kill_peers();
            ++f.peer_kills;
            peers_back_at_ = now + pick(rng, 200, 5000) / 1000.0;
        } else if (peers_ <= 0 && now >= peers_back_at_) {
            peers_ = spawn({bin("installation-sim"), path("peers.cfg")}, path("peers-sim.out"));
            if (answers("LinearMC", 10.0))
                ++f.peer_restarts;
            else if (f.problems.size() < 10)
                f.problems.push_back("the peers did not come back at " + std::to_string(now) + " s");
            next_peer_kill_ = now + pick(rng, 20000, 60000) / 1000.0;
        }
    }

    // Faults off, kill switch closed, peers up: the end of the soak checks
    // the sipper's recovery, not the faults.
    void end_faults()
    {
        SimBoard linear(1), rotary(2);
        linear.set_analog(INHIBIT_CHANNEL, INHIBIT_CLOSED);
        linear.clear_faults();
        rotary.clear_faults();
        if (peers_ <= 0) {
            peers_ = spawn({bin("installation-sim"), path("peers.cfg")}, path("peers-sim.out"));
            ASSERT_TRUE(answers("LinearMC", 10.0)) << read_file(path("peers-sim.out"));
        }
    }

    pid_t peers_ = -1;
    long sips_in_earlier_peer_logs_ = 0;
    std::size_t log_offset_ = 0;
    double next_board_fault_ = 1.0;
    double next_trip_ = 5.0;
    double next_peer_kill_ = 15.0;
    double peers_back_at_ = 0.0;
    double next_supervision_ = 0.0;
    int following_axis_ = 0;
    bool tripped_ = false;
    bool trip_running_ = false;
    bool trip_checked_ = false;
    double trip_at_ = 0.0;
    std::string trip_lines_;

    // The system's shared objects present now.
    static std::set<std::string> system_objects()
    {
        std::set<std::string> present;
        for (const char* n : FIXED_NAMES)
            for (const std::string& obj : ComponentInterface::object_names(n))
                for (const std::string& file : {"/dev/shm/" + obj, "/dev/shm/sem." + obj})
                    if (exists(file))
                        present.insert(file);
        for (const char* file : {"/dev/shm/flexsim-board-1", "/dev/shm/flexsim-board-2",
                                 "/dev/shm/pci7344-1MUTEX", "/dev/shm/pci7344-2MUTEX"})
            if (exists(file))
                present.insert(file);
        return present;
    }
};

TEST_F(SipperSoakTest, RandomValidAndInvalidCommandsFromSeveralClientsLeaveTheSipperServingAndWhole)
{
    const double seconds = soak_seconds();
    const std::uint64_t seed = soak_seed();
    const bool faults = soak_faults();
    std::printf("soak: %d clients, %.0f s, SIPPER_SOAK_SEED=%llu%s\n", CLIENTS, seconds,
                static_cast<unsigned long long>(seed), faults ? ", with faults (SIPPER_SOAK_FAULTS=1)" : "");
    RecordProperty("seed", std::to_string(seed));

    if (faults)
        start_with_separate_peers();
    else
        start_sipper();
    if (HasFatalFailure())
        return;
    initialise();
    home();
    const std::set<std::string> objects_before = system_objects();
    const int fds_before = sipper_fds();
    ASSERT_GT(fds_before, 0);
    ASSERT_EQ(mkdir(path("scratch").c_str(), 0700), 0);

    std::vector<std::unique_ptr<ChildProcess>> clients;
    for (int i = 0; i < CLIENTS; ++i) {
        const std::string scratch = path("scratch");
        const std::string report = path("client-" + std::to_string(i) + ".txt");
        clients.push_back(std::make_unique<ChildProcess>(
            [=] { return soak_client(i, seed, seconds, scratch, report); }));
        ASSERT_TRUE(clients.back()->started());
    }

    // The watcher: get_state answers in time with a valid state, all along.
    auto watcher_channel = std::make_unique<SipperIF>("Sipper");
    SipperIF& watcher = *watcher_channel;
    ASSERT_TRUE(watcher.open());
    watcher.set_timeout(QUERY_TIMEOUT_MS);
    Timer timer;
    timer.start();
    long queries = 0;
    long wrong_replies = 0;
    double slowest = 0.0;
    std::map<int, long> states;
    Rng fault_rng(seed ^ 0x5eedfa17ULL);
    FaultTally fault_tally;
    while (timer.elapsed() < seconds) {
        if (faults)
            mix_faults(fault_rng, timer.elapsed(), watcher, fault_tally);
        ASSERT_TRUE(sipper_alive()) << "the sipper ended after " << timer.elapsed() << " s\n"
                                    << read_file(path("sipper.out"));
        Timer call;
        call.start();
        int state = -1;
        int rc = watcher.get_state(state);
        if (rc == call_wrong_reply) {
            ++wrong_replies;
            rc = watcher.get_state(state);
        }
        slowest = std::max(slowest, call.elapsed());
        ASSERT_EQ(rc, call_ok) << "get_state after " << timer.elapsed() << " s";
        ASSERT_TRUE(state >= CREATED && state <= INIT_FAILED) << state;
        ++states[state];
        ++queries;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    bool clients_ok = true;
    long resets = 0;
    for (int i = 0; i < CLIENTS; ++i) {
        const int code = clients[static_cast<std::size_t>(i)]->wait(30000);
        const std::string report = read_file(path("client-" + std::to_string(i) + ".txt"));
        std::printf("%s", report.c_str());
        EXPECT_EQ(code, 0) << report;
        clients_ok = clients_ok && code == 0;
        int index = -1;
        long commands = 0, client_resets = 0, client_wrong = 0;
        EXPECT_EQ(std::sscanf(report.c_str(), "client %d: %ld commands, %ld resets, %ld wrong replies", &index,
                              &commands, &client_resets, &client_wrong),
                  4)
            << report;
        EXPECT_GT(commands, 0);
        resets += client_resets;
        wrong_replies += client_wrong;
    }
    std::printf("watcher: %ld get_state calls, slowest %.1f ms; CREATED %ld, READY %ld, RUNNING %ld, "
                "INIT_FAILED %ld\n",
                queries, slowest * 1000.0, states[0], states[1], states[2], states[3]);
    // At most one woken query per worker replaced, and one per client's
    // channel closed at its end; anything more means replies went astray.
    if (faults)
        resets += fault_tally.supervisor_resets;
    std::printf("resets sent %ld, queries woken by a closed channel object %ld\n", resets, wrong_replies);
    EXPECT_LE(wrong_replies, resets + CLIENTS);
    if (faults) {
        std::printf("faults: %ld board calls failed, %ld read-back errors, %ld following errors; kill switch: %ld "
                    "trips, %ld while RUNNING throughout, %ld of them followed by the emergency stop within %.1f s; "
                    "peers: %ld killed, %ld restarted and answering; %ld resets after a failed initialisation\n",
                    fault_tally.call_failures, fault_tally.readback_errors, fault_tally.following_errors,
                    fault_tally.trips, fault_tally.trips_checked, fault_tally.trips_stopped, TRIP_CHECK_S,
                    fault_tally.peer_kills, fault_tally.peer_restarts, fault_tally.supervisor_resets);
        for (const std::string& p : fault_tally.problems)
            std::printf("  FAULT PROBLEM: %s\n", p.c_str());
        EXPECT_TRUE(fault_tally.problems.empty());
        EXPECT_EQ(fault_tally.trips_stopped, fault_tally.trips_checked);
        end_faults();
    }

    // Whatever the clients left it in, the sipper comes back to work: out of
    // a reset into RUNNING, out of any error, homed, at the plate swap.
    ASSERT_TRUE(sipper_alive());
    ASSERT_TRUE(eventually([&] { return answered_status() != 2; }, 60.0)) << "still busy";
    if (answered_state() == RUNNING) {
        ASSERT_EQ(sipper().stop(), call_ok);
    }
    ASSERT_TRUE(eventually([&] { return answered_state() != RUNNING; }, 10.0));
    ASSERT_EQ(sipper().reset(), call_ok);
    ASSERT_TRUE(eventually([&] { return answered_state() == READY && answered_status() != 2; }, 20.0))
        << log("sipper.log");
    ASSERT_EQ(sipper().run(), call_ok);
    ASSERT_TRUE(eventually([&] { return state() == RUNNING; }, 5.0));
    ASSERT_EQ(sipper().reset_error_state(), call_ok);
    home();
    // The clients may have left a plate active that has no safe height.
    ASSERT_EQ(sipper().set_active_plate("plate96"), call_ok);
    ASSERT_EQ(sipper().goto_position(8), call_ok);
    EXPECT_EQ(wait_done(30.0), 0) << log("sipper.log");
    int at_swap = 0;
    EXPECT_EQ(sipper().at_plate_swap_position(at_swap), call_ok);
    EXPECT_EQ(at_swap, 1);

    // No descriptor (mapping, semaphore, file) kept per command, no shared
    // object added.
    const int fds_after = sipper_fds();
    EXPECT_LE(fds_after, fds_before + 2) << "descriptors before " << fds_before << ", after " << fds_after;
    EXPECT_EQ(system_objects(), objects_before);

    // A clean end: the installation stops the sipper and removes every
    // object of the system.
    sipper_.reset();
    watcher_channel.reset();
    stop_installation();
    stop_peers();
    EXPECT_FALSE(sipper_alive());
    // Exit code 0 also means no sanitizer report (leaks included) in the
    // sipper, in the sanitizer builds.
    const std::string ended = "component Sipper (pid " + std::to_string(sipper_pid_) + ") exited with code 0";
    EXPECT_NE(log("installation.log").find(ended), std::string::npos) << log("installation.log");
    EXPECT_TRUE(system_objects().empty()) << *system_objects().begin();

    const std::string text = log("sipper.log");
    const LogNumbers numbers = check_numbers(text);
    std::printf("log: %ld numbered lines; homing completed %ld times, operations ended in error %ld times, "
                "sips the sample interface saw %ld\n",
                numbers.lines, count_of(text, "Homing complete"), count_of(text, "SipperTask Error"),
                faults ? sips_in_earlier_peer_logs_ +
                             count_of(read_file(path("peer-logs/SampleInterface.log")), SIP_SEEN)
                       : count_of(log("SampleInterface.log"), SIP_SEEN));
    EXPECT_EQ(numbers.first, 1);
    EXPECT_GT(numbers.lines, 100);
    EXPECT_TRUE(numbers.gaps.empty()) << numbers.gaps.front();
    EXPECT_NE(text.find("QUITTING MAIN COMPONENT THREAD"), std::string::npos);
    EXPECT_EQ(text.find("Component::main Error"), std::string::npos);
    EXPECT_TRUE(clients_ok);
}

}  // namespace
