// sipperctl: the operator's command-line client of the installation.
//
//   sipperctl [--interface NAME] [--timeout MS] METHOD [ARGS...]
//   sipperctl [--interface NAME] wait [--max SECONDS]
//   sipperctl [--interface NAME] status
//   sipperctl clean NAME... | clean --board N...
//   sipperctl list | methods
//
// Every method of the component and peer tables can be called by its name;
// the arguments are converted to the types of the method's fields, and a
// query prints its results as "name = value" lines. A call that fails exits
// with its call result (1 to 6) and one readable line on standard error.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "interfaces/ComponentIF.h"
#include "interfaces/InterfaceClient.h"
#include "interfaces/LogServerIF.h"
#include "interfaces/NI7344IF.h"
#include "interfaces/SampleInterfaceIF.h"
#include "interfaces/SipperIF.h"
#include "interfaces/SupervisorIF.h"
#include "utilities/Exception.h"
#include "utilities/Mutex.h"
#include "utilities/Timer.h"

namespace {

// Exit codes beyond the call results 0..6.
constexpr int EXIT_ERROR_STATE = 7;   // wait: the sipper ended in its error state
constexpr int EXIT_WAIT_EXPIRED = 8;  // wait: --max passed while still busy
constexpr int EXIT_USAGE = 64;

struct UsageError {
    std::string text;
};

// The kinds of interface this tool knows; each opens with its own client
// class so that the channel is mapped with the layout its server uses.
enum class Kind { sipper, sample_interface, board_owner, log_server, supervisor, component };

struct KindInfo {
    Kind kind;
    const InterfaceTable* table;
    const char* label;
};

const KindInfo KINDS[] = {
    {Kind::sipper, &sipper_methods::TABLE, "sipper"},
    {Kind::sample_interface, &sample_interface_methods::TABLE, "sample interface"},
    {Kind::board_owner, &ni7344_methods::TABLE, "board owner"},
    {Kind::log_server, &log_server_methods::TABLE, "log server"},
    {Kind::supervisor, &supervisor_methods::TABLE, "supervisor"},
};

const KindInfo& info_of(Kind kind)
{
    for (const KindInfo& k : KINDS)
        if (k.kind == kind)
            return k;
    return KINDS[0];
}

// The installation's usual names; any other name takes its kind from the
// method called.
bool kind_from_name(const std::string& name, Kind& kind)
{
    if (name == "Sipper") kind = Kind::sipper;
    else if (name == "SampleInterface") kind = Kind::sample_interface;
    else if (name == "LinearMC" || name == "RotaryMC") kind = Kind::board_owner;
    else if (name == "LogServer") kind = Kind::log_server;
    else if (name == "Supervisor") kind = Kind::supervisor;
    else return false;
    return true;
}

std::unique_ptr<InterfaceClient> make_client(Kind kind, const std::string& name)
{
    switch (kind) {
    case Kind::sipper: return std::make_unique<SipperIF>(name);
    case Kind::sample_interface: return std::make_unique<SampleInterfaceIF>(name);
    case Kind::board_owner: return std::make_unique<NI7344IF>(name);
    case Kind::log_server: return std::make_unique<LogServerIF>(name);
    case Kind::supervisor: return std::make_unique<SupervisorIF>(name);
    case Kind::component: return std::make_unique<ComponentIF>(name);
    }
    return std::make_unique<SipperIF>(name);
}

struct Target {
    Kind kind = Kind::sipper;
    const MethodSpec* method = nullptr;
};

// Finds the method among the component methods and the tables of the
// interface's kind (or of every kind when the name is not a usual one).
Target resolve(const std::string& interface_name, const std::string& method_name)
{
    Target t;
    Kind by_name{};
    bool named = kind_from_name(interface_name, by_name);
    // Every interface carries the component layout; a larger one would not
    // open on a smaller interface's channel.
    t.kind = named ? by_name : Kind::component;
    if (const MethodSpec* m = component_methods::TABLE.find(method_name)) {
        t.method = m;
        return t;
    }
    for (const KindInfo& k : KINDS) {
        const MethodSpec* m = k.table->find(method_name);
        if (m == nullptr)
            continue;
        if (named && k.kind != by_name)
            throw UsageError{"\"" + method_name + "\" is a " + k.label + " method, but " + interface_name +
                             " is the " + info_of(by_name).label + " interface"};
        t.kind = k.kind;
        t.method = m;
        return t;
    }
    throw UsageError{"unknown method \"" + method_name + "\" (sipperctl methods lists them)"};
}

const char* type_name(FieldType type)
{
    switch (type) {
    case FieldType::i32: return "integer";
    case FieldType::f64: return "real";
    case FieldType::string: return "text";
    case FieldType::none: break;
    }
    return "?";
}

std::string call_text(const MethodSpec& m)
{
    std::string s(m.name);
    for (int k = 0; k < m.arg_count; ++k)
        s += std::string(" <") + type_name(m.args[k].type) + ">";
    return s;
}

std::string signature(const MethodSpec& m)
{
    std::string s = call_text(m);
    if (!m.layout_known())
        s += "   (layout not known: cannot be sent)";
    else if (m.is_query())
        s += "   -> query";
    return s;
}

std::int32_t parse_int(const std::string& text, const std::string& what)
{
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        throw UsageError{what + ": \"" + text + "\" is not an integer"};
    return static_cast<std::int32_t>(v);
}

double parse_real(const std::string& text, const std::string& what)
{
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        throw UsageError{what + ": \"" + text + "\" is not a number"};
    return v;
}

Message build_message(const MethodSpec& m, const std::vector<std::string>& args)
{
    if (!m.layout_known())
        throw UsageError{"\"" + std::string(m.name) +
                         "\" has no message layout known to this system; it cannot be sent"};
    if (static_cast<int>(args.size()) != m.arg_count)
        throw UsageError{"\"" + std::string(m.name) + "\" takes " + std::to_string(m.arg_count) +
                         " argument(s): " + signature(m)};
    Message msg(m);
    for (int k = 0; k < m.arg_count; ++k) {
        const std::string& a = args[static_cast<std::size_t>(k)];
        std::string what = "argument " + std::to_string(k + 1) + " of " + std::string(m.name);
        switch (m.args[k].type) {
        case FieldType::i32: msg.set_int(m, k, parse_int(a, what)); break;
        case FieldType::f64: msg.set_real(m, k, parse_real(a, what)); break;
        case FieldType::string:
            if (a.size() > STRING_FIELD_SIZE - 1)
                throw UsageError{what + " is longer than " + std::to_string(STRING_FIELD_SIZE - 1) +
                                 " characters"};
            msg.set_string(m, k, a);
            break;
        case FieldType::none: break;
        }
    }
    return msg;
}

std::string describe_failure(int rc, const std::string& name, const ComponentInterface& channel)
{
    std::string ms = std::to_string(channel.timeout()) + " ms";
    switch (rc) {
    case call_no_memory: return "no memory: the message could not be allocated";
    case call_busy: return "busy: another caller held " + name + "'s interface for more than " + ms;
    case call_queue_full: return "queue full: " + name + "'s command queue has no room (is it serving?)";
    case call_timeout: return "timeout: no answer from " + name + " within " + ms;
    case call_wrong_reply: return "wrong reply: " + name + " answered another call (was it restarted?)";
    case call_not_connected:
        // An open channel is not connected to anything when nobody serves it.
        if (channel.connected())
            return "not connected: no process serves " + name + " (is its component running?)";
        return "not connected: the interface " + name + " cannot be opened" +
               (channel.error().empty() ? std::string() : " (" + channel.error() + ")");
    }
    return "call result " + std::to_string(rc);
}

std::string format_value(const InterfaceClient::Value& v)
{
    if (const std::int32_t* i = std::get_if<std::int32_t>(&v))
        return std::to_string(*i);
    if (const double* d = std::get_if<double>(&v)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.4f", *d);
        return buf;
    }
    return "\"" + std::get<std::string>(v) + "\"";
}

// Names printed for the results of a query.
std::vector<std::string> result_names(const MethodSpec& m)
{
    std::string n(m.name);
    if (n == "get_current_positions") return {"X", "Y", "Z"};
    if (n == "get_plate_info") return {"plate", "rows", "columns"};
    if (n.rfind("get_", 0) == 0) n = n.substr(4);
    std::vector<std::string> names;
    for (int k = 0; k < m.result_count; ++k)
        names.push_back(m.result_count == 1 ? n : n + "[" + std::to_string(k) + "]");
    return names;
}

// Meanings appended to well-known integer results.
std::string annotation(const MethodSpec& m, const InterfaceClient::Value& v)
{
    const std::int32_t* i = std::get_if<std::int32_t>(&v);
    if (i == nullptr)
        return "";
    if (m.name == "get_status") return std::string(" (") + sipper_methods::status_name(*i) + ")";
    if (m.name == "get_state") return std::string(" (") + component_methods::state_name(*i) + ")";
    return "";
}

bool channel_exists(const std::string& name)
{
    struct stat st;
    return stat(("/dev/shm/" + name + "_properties").c_str(), &st) == 0;
}

// An open client; a timeout word changed with --timeout is shared by every
// caller of the interface, so it is put back when the tool is done.
struct Connection {
    std::unique_ptr<InterfaceClient> client;
    bool restore = false;
    std::uint32_t saved_timeout = 0;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection()
    {
        if (client && restore)
            client->set_timeout(saved_timeout);
    }
    explicit operator bool() const { return client != nullptr; }
    InterfaceClient& operator*() const { return *client; }
    InterfaceClient* operator->() const { return client.get(); }
};

// Opens the client without creating a channel for an interface nobody
// serves: a channel made here would carry this tool's layout and outlive it.
void connect(Connection& conn, Kind kind, const std::string& name, long timeout_ms, int& rc,
             std::string& why)
{
    rc = call_ok;
    std::string problem = SharedMemory::name_problem(name);
    if (!problem.empty()) {
        rc = call_not_connected;
        why = "not connected: bad interface name \"" + name + "\": " + problem;
        return;
    }
    if (!channel_exists(name)) {
        rc = call_not_connected;
        why = "not connected: no interface named " + name + " on this machine (is its component running?)";
        return;
    }
    std::unique_ptr<InterfaceClient> client = make_client(kind, name);
    if (!client->open()) {
        rc = call_not_connected;
        why = describe_failure(rc, name, *client);
        return;
    }
    if (timeout_ms >= 0) {
        conn.restore = true;
        conn.saved_timeout = client->timeout();
        client->set_timeout(static_cast<std::uint32_t>(timeout_ms));
    }
    conn.client = std::move(client);
}

struct Options {
    std::string interface_name = "Sipper";
    long timeout_ms = -1;
    std::vector<std::string> words;  // a method call: the method's name, then its arguments
    double max_seconds = -1;         // wait: give up after this long (negative: never)
    std::vector<std::string> clean_names;
    std::vector<int> clean_boards;
};

int call_method(const Options& o)
{
    Target t = resolve(o.interface_name, o.words[0]);
    std::vector<std::string> args(o.words.begin() + 1, o.words.end());
    Message msg = build_message(*t.method, args);
    int rc = 0;
    std::string why;
    Connection client;
    connect(client, t.kind, o.interface_name, o.timeout_ms, rc, why);
    if (!client) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return rc;
    }
    if (!t.method->is_query()) {
        // A command queued while nobody serves would be dropped by the next
        // server to start; the channel itself queues it, so ask here.
        rc = client->send_if_served(msg);
        if (rc != call_ok) {
            std::fprintf(stderr, "%s\n", describe_failure(rc, o.interface_name, *client).c_str());
            return rc;
        }
        return 0;
    }
    std::vector<InterfaceClient::Value> results;
    rc = client->send_query(*t.method, msg, results);
    if (rc != call_ok) {
        std::fprintf(stderr, "%s\n", describe_failure(rc, o.interface_name, *client).c_str());
        return rc;
    }
    std::vector<std::string> names = result_names(*t.method);
    for (std::size_t k = 0; k < results.size(); ++k) {
        std::string label = k < names.size() ? names[k] : "result" + std::to_string(k);
        std::printf("%s = %s%s\n", label.c_str(), format_value(results[k]).c_str(),
                    annotation(*t.method, results[k]).c_str());
    }
    return 0;
}

// One query of the sipper by method id; false (and rc set) when it failed.
bool ask(InterfaceClient& c, std::uint16_t id, std::vector<InterfaceClient::Value>& out, int& rc)
{
    const MethodSpec* m = c.find_method(id);
    if (m == nullptr) {
        rc = call_not_connected;
        return false;
    }
    Message msg(*m);
    rc = c.send_query(*m, msg, out);
    return rc == call_ok;
}

int ask_int(InterfaceClient& c, std::uint16_t id, int& rc)
{
    std::vector<InterfaceClient::Value> out;
    if (!ask(c, id, out, rc) || out.empty())
        return 0;
    const std::int32_t* v = std::get_if<std::int32_t>(&out[0]);
    return v ? *v : 0;
}

std::string positions_text(InterfaceClient& c, int& rc)
{
    std::vector<InterfaceClient::Value> out;
    if (!ask(c, sipper_methods::GET_CURRENT_POSITIONS, out, rc) || out.size() != 3)
        return "X ? Y ? Z ?";
    // The sipper reports an undefined position (not homed) as huge values.
    auto axis = [](const char* name, double v) {
        char buf[64];
        if (std::fabs(v) > 1e9)
            std::snprintf(buf, sizeof buf, "%s %9s", name, "undefined");
        else
            std::snprintf(buf, sizeof buf, "%s %9.3f", name, v);
        return std::string(buf);
    };
    return axis("X", std::get<double>(out[0])) + "  " + axis("Y", std::get<double>(out[1])) + "  " +
           axis("Z", std::get<double>(out[2]));
}

int wait_command(const Options& o)
{
    const double max_seconds = o.max_seconds;
    int rc = 0;
    std::string why;
    Connection c;
    connect(c, Kind::sipper, o.interface_name, o.timeout_ms, rc, why);
    if (!c) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return rc;
    }
    const bool live = isatty(STDOUT_FILENO) != 0;
    Timer timer;
    timer.start();
    int last_status = -1;
    double last_line = -100.0;
    for (;;) {
        int status = ask_int(*c, sipper_methods::GET_STATUS, rc);
        if (rc != call_ok) {
            if (live) std::printf("\n");
            std::fprintf(stderr, "%s\n", describe_failure(rc, o.interface_name, *c).c_str());
            return rc;
        }
        double t = timer.elapsed();
        bool done = status != 2;
        if (live) {
            int prc = 0;
            std::string pos = positions_text(*c, prc);
            std::printf("\r%-5s  %s  %6.1f s ", sipper_methods::status_name(status), pos.c_str(), t);
            if (done) std::printf("\n");
            std::fflush(stdout);
        } else if (status != last_status || t - last_line >= 5.0 || done) {
            int prc = 0;
            std::string pos = positions_text(*c, prc);
            std::printf("%6.1f s  %-5s  %s\n", t, sipper_methods::status_name(status), pos.c_str());
            std::fflush(stdout);
            last_line = t;
        }
        last_status = status;
        if (status == 1) {
            std::fprintf(stderr, "error: %s is in its error state (its log says why)\n",
                         o.interface_name.c_str());
            return EXIT_ERROR_STATE;
        }
        if (done)
            return 0;
        if (max_seconds >= 0 && t > max_seconds) {
            if (live) std::printf("\n");
            std::fprintf(stderr, "still busy after %.1f s\n", t);
            return EXIT_WAIT_EXPIRED;
        }
        sleep_ms(100);
    }
}

int status_command(const Options& o)
{
    int rc = 0;
    std::string why;
    Connection c;
    connect(c, Kind::sipper, o.interface_name, o.timeout_ms, rc, why);
    if (!c) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return rc;
    }
    int first_failure = 0;
    auto note = [&](int r) {
        if (r != call_ok && first_failure == 0)
            first_failure = r;
        return r == call_ok;
    };
    auto int_text = [&](std::uint16_t id, const char* (*text)(int)) -> std::string {
        int r = 0;
        int v = ask_int(*c, id, r);
        if (!note(r)) return "?";
        return text ? std::string(text(v)) : std::to_string(v);
    };
    auto yes_no = [](int v) -> const char* { return v ? "yes" : "no"; };

    std::string component = int_text(component_methods::GET_STATE, component_methods::state_name);
    if (first_failure != 0) {
        // Nothing answers: say so once instead of a page of question marks.
        std::fprintf(stderr, "%s\n", describe_failure(first_failure, o.interface_name, *c).c_str());
        return first_failure;
    }
    std::string status = int_text(sipper_methods::GET_STATUS, sipper_methods::status_name);
    std::string homed = int_text(sipper_methods::IS_HOMED, yes_no);
    std::string configured = int_text(sipper_methods::SYSTEM_CONFIGURED, yes_no);
    std::string inhibit = int_text(sipper_methods::GET_INHIBIT_STATE, nullptr);
    std::string plate = "?";
    {
        std::vector<InterfaceClient::Value> out;
        int r = 0;
        ask(*c, sipper_methods::GET_PLATE_INFO, out, r);
        if (note(r) && out.size() == 3)
            plate = "\"" + std::get<std::string>(out[0]) + "\" (" + std::to_string(std::get<std::int32_t>(out[1])) +
                    " x " + std::to_string(std::get<std::int32_t>(out[2])) + ")";
    }
    int r = 0;
    std::string pos = positions_text(*c, r);
    note(r);
    std::printf("interface   %s\n", o.interface_name.c_str());
    std::printf("component   %s\n", component.c_str());
    std::printf("sipper      %s\n", status.c_str());
    std::printf("homed       %s\n", homed.c_str());
    std::printf("configured  %s\n", configured.c_str());
    std::printf("plate       %s\n", plate.c_str());
    std::printf("position    %s mm\n", pos.c_str());
    std::printf("inhibit     %s\n", inhibit.c_str());
    if (first_failure != 0)
        std::fprintf(stderr, "%s\n", describe_failure(first_failure, o.interface_name, *c).c_str());
    return first_failure;
}

bool shm_present(const std::string& object)
{
    struct stat st;
    return stat(("/dev/shm/" + object).c_str(), &st) == 0;
}

int clean_command(const Options& o)
{
    if (o.clean_names.empty() && o.clean_boards.empty())
        throw UsageError{"clean needs an interface name (or --board N)"};
    // Every name is checked before anything is removed.
    for (const std::string& w : o.clean_names) {
        std::string problem = SharedMemory::name_problem(w);
        if (!problem.empty())
            throw UsageError{"bad interface name \"" + w + "\": " + problem};
    }
    std::vector<std::pair<bool, std::string>> targets;  // (is a board, name or number)
    for (const std::string& w : o.clean_names)
        targets.emplace_back(false, w);
    for (int n : o.clean_boards)
        targets.emplace_back(true, std::to_string(n));
    for (const auto& [boards, w] : targets) {
        std::vector<std::string> objects;
        if (boards)
            objects = {"flexsim-board-" + w, "pci7344-" + w + "MUTEX"};
        else
            objects = ComponentInterface::object_names(w);
        int present = 0;
        for (const std::string& obj : objects)
            if (shm_present(obj) || shm_present("sem." + obj))
                ++present;
        if (boards) {
            ::shm_unlink(("/" + objects[0]).c_str());
            Mutex::remove(objects[1]);
        } else {
            ComponentInterface::remove_objects(w);
        }
        int left = 0;
        for (const std::string& obj : objects)
            if (shm_present(obj) || shm_present("sem." + obj))
                ++left;
        std::printf("%s %s: removed %d object(s)%s\n", boards ? "board" : "interface", w.c_str(),
                    present - left, left ? (", " + std::to_string(left) + " left (permissions?)").c_str() : "");
        if (left)
            return 1;
    }
    return 0;
}

int list_command()
{
    DIR* d = opendir("/dev/shm");
    if (d == nullptr) {
        std::fprintf(stderr, "cannot read /dev/shm: %s\n", std::strerror(errno));
        return 1;
    }
    std::set<std::string> interfaces, boards;
    const std::string suffix = "_properties";
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            interfaces.insert(n.substr(0, n.size() - suffix.size()));
        else if (n.rfind("flexsim-board-", 0) == 0)
            boards.insert(n.substr(14));
    }
    closedir(d);
    for (const std::string& i : interfaces) {
        // Objects outlive their processes, so only an answer shows a live server.
        std::string state = "no answer within 200 ms (its server is busy)";
        ComponentIF probe(i);
        if (probe.open() && probe.properties().created()) {
            // It went away between the listing and the probe; do not leave
            // a channel behind that this probe made.
            ComponentInterface::remove_objects(i);
            continue;
        }
        if (!probe.connected()) {
            state = "not usable: " + probe.error();
        } else {
            std::uint32_t saved = probe.timeout();
            probe.set_timeout(200);
            int value = 0;
            const int rc = probe.get_state(value);
            if (rc == call_ok)
                state = std::string("served, state ") + component_methods::state_name(value);
            else if (rc == call_not_connected)
                state = "not served (left by a process that ended)";
            probe.set_timeout(saved);
        }
        std::printf("interface %-24s %s\n", i.c_str(), state.c_str());
    }
    for (const std::string& b : boards)
        std::printf("board     %s\n", b.c_str());
    if (interfaces.empty() && boards.empty())
        std::printf("no interfaces or boards on this machine\n");
    return 0;
}

int methods_command()
{
    std::printf("component methods (every interface):\n");
    for (const MethodSpec& m : component_methods::METHODS)
        std::printf("  %2d %s\n", m.id, signature(m).c_str());
    for (const KindInfo& k : KINDS) {
        std::printf("%s methods:\n", k.label);
        for (const MethodSpec& m : k.table->methods)
            std::printf("  %2d %s\n", m.id, signature(m).c_str());
    }
    return 0;
}

// A finite, non-negative number of seconds; CLI11's range checks let NaN through.
CLI::Validator seconds_validator()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            double v = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(v) || v < 0)
                return "\"" + text + "\" is not a number of seconds";
            return "";
        },
        "SECONDS");
}

std::string kind_label(const MethodSpec& m)
{
    if (component_methods::TABLE.find(m.name) != nullptr)
        return "component method (every interface)";
    for (const KindInfo& k : KINDS)
        if (k.table->find(m.name) != nullptr)
            return std::string(k.label) + " method";
    return "method";
}

// One subcommand per method name, hidden from the command list (there are
// many; "methods" lists them) so that "sipperctl METHOD --help" shows the
// method's arguments. The arguments are taken unparsed: a negative number
// or a text starting with '-' is an argument, not an option, and they are
// converted to the method's field types with the method in hand.
void add_method_commands(CLI::App& app, Options& o)
{
    std::set<std::string> seen;
    auto add = [&](const MethodSpec& m) {
        std::string name(m.name);
        if (!seen.insert(name).second)
            return;
        CLI::App* sub = app.add_subcommand(name, kind_label(m));
        sub->group("");
        sub->prefix_command();
        std::string help = name + ": " + kind_label(m) +
                           (!m.layout_known() ? "; no message layout is known for it, it cannot be sent"
                            : m.is_query()    ? ", a query: prints its results"
                                              : ", a one-way call") +
                           "\nUsage: sipperctl [--interface NAME] [--timeout MS] " + call_text(m) + "\n";
        sub->formatter_fn([help](const CLI::App*, std::string, CLI::AppFormatMode) { return help; });
        sub->callback([&o, sub, name] {
            o.words = sub->remaining();
            o.words.insert(o.words.begin(), name);
        });
    };
    for (const MethodSpec& m : component_methods::METHODS)
        add(m);
    for (const KindInfo& k : KINDS)
        for (const MethodSpec& m : k.table->methods)
            add(m);
}

const char* const FOOTER =
    "Any method of the component, sipper and peer interfaces is a command too:\n"
    "  sipperctl [--interface NAME] [--timeout MS] METHOD [ARGS...]\n"
    "converts ARGS to the method's types and prints a query's results; \"sipperctl methods\"\n"
    "lists them, \"sipperctl METHOD --help\" shows one. The interface defaults to \"Sipper\".\n"
    "Exit: 0 done, 1-6 the call's result (6 not connected), 7 wait ended in the error\n"
    "state, 8 wait --max passed, 64 bad arguments. Examples:\n"
    "  sipperctl reset; sipperctl run; sipperctl home; sipperctl wait\n"
    "  sipperctl sip A1 0 0 0 0.0 500 500     (text tag row column depth wash1 wash2)\n"
    "  sipperctl --interface LinearMC get_ID\n";

enum class Command { method, wait, status, clean, list, methods };

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    Command command = Command::method;
    CLI::App app("Calls the methods of the installation's components and peers by name.", "sipperctl");
    app.add_option("-i,--interface", o.interface_name, "interface to call (default Sipper)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--timeout", o.timeout_ms, "call timeout in milliseconds, for this call only")
        ->check(CLI::Range(0L, static_cast<long>(INT32_MAX)))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    auto builtin = [&](const std::string& name, const std::string& what, Command which) {
        CLI::App* sub = app.add_subcommand(name, what);
        sub->callback([&command, which] { command = which; });
        return sub;
    };
    builtin("wait", "poll the sipper until idle (exit 0) or in error (exit 7)", Command::wait)
        ->add_option("--max", o.max_seconds, "give up after SECONDS with exit 8")
        ->check(seconds_validator());
    builtin("status", "state, homed, configured, plate, position, inhibit of the sipper", Command::status);
    CLI::App* clean = builtin("clean", "remove every shared object of interfaces or boards", Command::clean);
    clean->add_option("NAME", o.clean_names, "interface whose objects are removed");
    clean->add_option("--board", o.clean_boards, "simulated board and its board lock to remove")
        ->check(CLI::Range(0, 255));
    builtin("list", "interfaces (and whether they answer) and boards present", Command::list);
    builtin("methods", "every method with its arguments", Command::methods);
    add_method_commands(app, o);
    app.footer(FOOTER);
    // A word that names no command is taken, with what follows, as a call
    // of a method this tool does not know, and refused below with a reason.
    app.prefix_command();

    // Usage errors point at the help of the command they concern.
    std::string help = "sipperctl";
    try {
        try {
            app.parse(argc, argv);
        } catch (const CLI::Success& e) {
            return app.exit(e);
        } catch (const CLI::ParseError& e) {
            for (const CLI::App* sub : app.get_subcommands())
                help += " " + sub->get_name();
            throw UsageError{e.what()};
        }
        for (const CLI::App* sub : app.get_subcommands())
            help += " " + sub->get_name();
        if (!o.words.empty() || command != Command::method) {
            // The top level takes unknown words instead of refusing them, so an
            // unknown option before a known command is left over here.
            if (!app.remaining().empty())
                throw UsageError{"unknown option " + app.remaining()[0]};
        } else {
            o.words = app.remaining();
            if (o.words.empty())
                throw UsageError{"no method given"};
            const std::string& w = o.words[0];
            if (w.size() > 1 && w[0] == '-')
                throw UsageError{"unknown option " + w};
        }
        switch (command) {
        case Command::wait: return wait_command(o);
        case Command::status: return status_command(o);
        case Command::clean: return clean_command(o);
        case Command::list: return list_command();
        case Command::methods: return methods_command();
        case Command::method: break;
        }
        return call_method(o);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "sipperctl: %s\n(%s --help shows the usage)\n", e.text.c_str(), help.c_str());
        return EXIT_USAGE;
    } catch (const Exception& e) {
        std::fprintf(stderr, "sipperctl: %s\n", e.message().c_str());
        return 1;
    }
}
