#include "sim/installation/Installation.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "config/PathUtils.h"
#include "interfaces/ComponentIF.h"
#include "interfaces/ComponentIFS.h"
#include "sim/installation/BoardOwnerSim.h"
#include "sim/installation/LogServerSim.h"
#include "sim/installation/SampleInterfaceSim.h"
#include "sim/board/SimBoard.h"
#include "sim/installation/SupervisorSim.h"
#include "utilities/Exception.h"
#include "utilities/Format.h"
#include "utilities/Mutex.h"
#include "utilities/Timer.h"

namespace {

// Every component opens its log afresh, so the last run's logs (a crashed
// run's above all) are moved to previous.1 first; previous.N goes.
// collected.log appends across runs and is logrotate's to rotate.
void keep_previous_logs(const InstallationConfig& c)
{
    namespace fs = std::filesystem;
    std::error_code e;
    const fs::path dir(c.log_dir);
    std::vector<fs::path> files;
    if (c.keep_log_runs == 0 || !fs::is_directory(dir, e))
        return;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, e))
        if (entry.is_regular_file(e) && entry.path().filename() != c.collected_log)
            files.push_back(entry.path());
    if (files.empty())
        return;
    const auto run = [&dir](int n) { return dir / ("previous." + std::to_string(n)); };
    const auto fail = [](const std::string& what, const std::error_code& error) {
        throw Exception("cannot keep the last run's logs: " + what + ": " + error.message());
    };
    fs::remove_all(run(c.keep_log_runs), e);
    if (e)
        fail("removing " + run(c.keep_log_runs).string(), e);
    for (int n = c.keep_log_runs - 1; n >= 1; --n)
        if (fs::exists(run(n), e)) {
            fs::rename(run(n), run(n + 1), e);
            if (e)
                fail("renaming " + run(n).string(), e);
        }
    fs::create_directory(run(1), e);
    if (e)
        fail("creating " + run(1).string(), e);
    for (const fs::path& f : files) {
        fs::rename(f, run(1) / f.filename(), e);
        if (e)
            fail("moving " + f.string(), e);
    }
}

// The log directory must exist before the base class opens the log in it.
std::string prepared_log(const InstallationConfig& c)
{
    if (!make_dirs(c.log_dir))
        throw Exception("cannot create the log directory " + c.log_dir);
    keep_previous_logs(c);
    return c.log_dir + "/installation.log";
}

std::string describe_status(int status)
{
    if (WIFEXITED(status))
        return "exited with code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("was ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "ended";
}

bool channel_exists(const std::string& name)
{
    struct stat st;
    return stat(("/dev/shm/" + name + "_properties").c_str(), &st) == 0;
}

std::string board_lock_name(int board) { return "pci7344-" + std::to_string(board) + "MUTEX"; }

}  // namespace

Installation::Installation(const InstallationConfig& config)
    : SimPeer(config.installation_name, prepared_log(config)), config_(config)
{
    config_.check();
    claim_names();
    owned_names_.push_back(config_.installation_name);
    try {
        if (config_.prepare_boards)
            prepare_boards();
        start_peers();
        if (!set_interface_server(std::make_unique<ComponentIFS>(config_.installation_name, this)))
            throw Exception("cannot open the installation's own interface " + config_.installation_name);
        watching_ = true;
        watcher_ = std::thread([this] { watch_signals(); });
        start_components();
    } catch (...) {
        shutdown();
        throw;
    }
}

Installation::~Installation() { shutdown(); }

namespace {

bool answers(const std::string& name)
{
    if (!channel_exists(name))
        return false;
    ComponentIF probe(name);
    if (!probe.open())
        return false;
    std::uint32_t saved = probe.timeout();
    probe.set_timeout(300);
    int state = 0;
    int rc = probe.get_state(state);
    probe.set_timeout(saved);
    return rc == call_ok;
}

}  // namespace

std::string Installation::served_name(const InstallationConfig& config)
{
    for (const std::string& n : config.interface_names())
        if (answers(n))
            return n;
    return "";
}

void Installation::claim_names()
{
    for (const std::string& n : config_.interface_names()) {
        if (!channel_exists(n))
            continue;
        // Two servers on one channel would take each other's commands.
        if (answers(n))
            throw Exception("the interface " + n + " is already served by a running process; stop it first");
        ComponentInterface::remove_objects(n);
        log_msg("removed the stale shared objects of " + n, 0);
    }
}

std::string Installation::log_path(const std::string& file) const { return config_.log_dir + "/" + file; }

void Installation::prepare_boards()
{
    if (config_.stage_file.empty())
        throw Exception("no stage description given (STAGE_FILE or --stage)");
    std::map<int, StageDescription> stage = read_stage_file(config_.stage_file);
    if (!stage.count(config_.stage_linear_board) || !stage.count(config_.stage_rotary_board))
        throw Exception("the stage description " + config_.stage_file + " has no board " +
                        std::to_string(config_.stage_linear_board) + " or " +
                        std::to_string(config_.stage_rotary_board));
    stage = renumber_boards(stage, {{config_.stage_linear_board, config_.linear_board},
                                    {config_.stage_rotary_board, config_.rotary_board}});
    for (auto& [number, description] : stage) {
        if (number != config_.linear_board && number != config_.rotary_board)
            continue;
        if (config_.time_factor > 0)
            description.time_factor = config_.time_factor;
        std::string error;
        // A board left by an earlier run is reset to its power-up state.
        if (!SimBoard::create(number, description, &error))
            throw Exception("cannot prepare simulated board " + std::to_string(number) + ": " + error);
        owned_boards_.push_back(number);
        log_msg("board " + std::to_string(number) + " prepared from " + config_.stage_file + ", time factor " +
                    format_fixed(description.time_factor, 2),
                0);
    }
}

void Installation::start_peers()
{
    using C = InstallationConfig;
    for (const std::string& role : config_.serve) {
        std::unique_ptr<Component> peer;
        if (role == C::LINEAR_OWNER)
            peer = std::make_unique<BoardOwnerSim>(role, log_path(role + ".log"), config_.linear_board);
        else if (role == C::ROTARY_OWNER)
            peer = std::make_unique<BoardOwnerSim>(role, log_path(role + ".log"), config_.rotary_board);
        else if (role == C::SAMPLE_INTERFACE)
            peer = std::make_unique<SampleInterfaceSim>(role, log_path(role + ".log"), config_.cycle_durations);
        else if (role == C::LOG_SERVER)
            peer = std::make_unique<LogServerSim>(config_.log_server_name,
                                                  log_path(config_.log_server_name + ".log"),
                                                  log_path(config_.collected_log));
        else if (role == C::SUPERVISOR)
            peer = std::make_unique<SupervisorSim>(config_.supervisor_name,
                                                   log_path(config_.supervisor_name + ".log"));
        if (peer)
            start_peer(std::move(peer));
    }
}

void Installation::start_peer(std::unique_ptr<Component> peer)
{
    owned_names_.push_back(peer->name());
    Peer p;
    p.component = std::move(peer);
    p.ended = std::make_shared<std::atomic<bool>>(false);
    Component* c = p.component.get();
    auto ended = p.ended;
    p.thread = std::thread([c, ended] {
        c->main();
        *ended = true;
    });
    peers_.push_back(std::move(p));
    log_msg("serving " + c->name(), 0);
}

std::string Installation::program_path(const std::string& program) const
{
    if (program.find('/') != std::string::npos)
        return program;
    // A bare name is first looked for beside this program (the build's bin/).
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string candidate = dir_of(self) + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return program;  // execvp searches PATH
}

void Installation::start_components()
{
    for (const std::string& text : config_.components)
        start_component(ComponentCommand::parse(text));
}

void Installation::start_component(const ComponentCommand& command)
{
    std::string path = program_path(command.program);
    std::vector<std::string> argv_text;
    argv_text.push_back(path);
    argv_text.insert(argv_text.end(), command.args.begin(), command.args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    if (!command.interface_name().empty())
        owned_names_.push_back(command.interface_name());

    std::lock_guard<std::mutex> guard(children_lock_);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        throw Exception("cannot start " + path + ": " + std::strerror(errno));
    if (pid == 0) {
        // Its own process group keeps a terminal's Ctrl-C away from it: the
        // installation stops it in order. If the installation dies, so does it.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (getppid() != parent)  // the installation died before the request took hold
            _exit(126);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "installation-sim: cannot start %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    Child c;
    c.command = command;
    c.pid = pid;
    c.running = true;
    children_.push_back(c);
    log_msg("started " + path + " as pid " + std::to_string(pid) + " (interface " + command.interface_name() + ")",
            0);
}

void Installation::watch_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGCHLD);
    timespec slice{0, 200 * 1000 * 1000};
    bool stop_sent = false;
    while (watching_) {
        int sig = sigtimedwait(&set, nullptr, &slice);
        if (sig == SIGCHLD || sig < 0) {
            reap_children();
            if (ended_unasked_ && !stop_sent) {
                request_stop("a component ended unasked: stopping the installation");
                stop_sent = true;
            }
            continue;
        }
        if (stop_sent) {
            // A second signal: the kill sent through the interface was not
            // taken (its objects were removed under it), so end directly.
            log_msg(std::string("signal ") + strsignal(sig) + " again: ending the main loop directly", 0);
            kill();
        } else {
            request_stop(std::string("signal ") + strsignal(sig) + ": stopping the installation");
            stop_sent = true;
        }
    }
}

void Installation::request_stop(const std::string& reason)
{
    log_msg(reason, 0);
    // The main loop ends through its own interface, like any component.
    ComponentIF self(config_.installation_name);
    if (!self.open() || self.kill() != call_ok)
        log_msg("could not send kill to " + config_.installation_name, 0);
}

int Installation::reap_children()
{
    std::lock_guard<std::mutex> guard(children_lock_);
    int running = 0;
    for (Child& c : children_) {
        if (!c.running)
            continue;
        int status = 0;
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) {
            c.running = false;
            c.status = status;
            const bool unasked = !stopping_;
            const std::string line = "component " + c.command.interface_name() + " (pid " + std::to_string(c.pid) +
                                     ") " + describe_status(status) + (unasked ? " unasked" : "");
            log_msg(line, 0);
            // The journal's record of the end, when it happens.
            std::fprintf(stderr, "installation-sim: %s\n", line.c_str());
            if (unasked && !ended_unasked_.exchange(true)) {
                const bool configuration = WIFEXITED(status) && WEXITSTATUS(status) == EXIT_CONFIGURATION;
                exit_status_ = configuration ? EXIT_CONFIGURATION : EXIT_FAILED;
            }
        } else if (r < 0 && errno == ECHILD) {
            c.running = false;
        } else {
            ++running;
        }
    }
    return running;
}

std::vector<std::string> Installation::component_lines()
{
    reap_children();
    std::lock_guard<std::mutex> guard(children_lock_);
    std::vector<std::string> lines;
    for (const Child& c : children_)
        lines.push_back(c.command.interface_name() + " pid " + std::to_string(c.pid) +
                        (c.running ? " running" : " " + describe_status(c.status)));
    return lines;
}

void Installation::stop_components()
{
    stopping_ = true;
    {
        std::lock_guard<std::mutex> guard(children_lock_);
        for (Child& c : children_) {
            if (!c.running || c.command.interface_name().empty() || !channel_exists(c.command.interface_name()))
                continue;
            ComponentIF client(c.command.interface_name());
            if (client.open())
                client.kill();
        }
    }
    // Escalate only for those that do not end in time.
    struct Step {
        int signal;
        double seconds;
    };
    for (Step step : {Step{0, config_.stop_timeout}, Step{SIGTERM, 2.0}, Step{SIGKILL, 5.0}}) {
        if (step.signal != 0) {
            std::lock_guard<std::mutex> guard(children_lock_);
            for (Child& c : children_)
                if (c.running) {
                    log_msg("component " + c.command.interface_name() + " did not end; sending " +
                                strsignal(step.signal),
                            0);
                    ::kill(c.pid, step.signal);
                }
        }
        Timer t;
        t.start();
        while (reap_children() > 0 && t.elapsed() < step.seconds)
            sleep_ms(20);
        if (reap_children() == 0)
            return;
    }
}

void Installation::stop_peers()
{
    for (Peer& p : peers_) {
        ComponentIF client(p.component->name());
        if (client.open())
            client.kill();
    }
    for (Peer& p : peers_) {
        Timer t;
        t.start();
        while (!*p.ended && t.elapsed() < 3.0)
            sleep_ms(10);
        if (!*p.ended) {
            // Someone removed or replaced the peer's channel objects, so the
            // kill went elsewhere. Ending it directly is the last resort.
            log_msg(p.component->name() + " did not take kill through its interface; ending it directly", 0);
            p.component->kill();
        }
        if (p.thread.joinable())
            p.thread.join();
        p.component.reset();
    }
    peers_.clear();
}

void Installation::remove_objects()
{
    for (const std::string& n : owned_names_)
        ComponentInterface::remove_objects(n);
    for (int b : owned_boards_) {
        SimBoard::remove(b);
        Mutex::remove(board_lock_name(b));
    }
    log_msg("removed the shared objects of " + std::to_string(owned_names_.size()) + " interfaces and " +
                std::to_string(owned_boards_.size()) + " boards",
            0);
}

void Installation::shutdown()
{
    if (shut_down_)
        return;
    shut_down_ = true;
    stop_components();
    watching_ = false;
    if (watcher_.joinable())
        watcher_.join();
    // Children that ended after the watcher stopped are collected here.
    reap_children();
    stop_peers();
    remove_objects();
}
