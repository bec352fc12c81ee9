#include "web/WebServer.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <nlohmann/json.hpp>

#include "interfaces/ComponentMethods.h"
#include "interfaces/SipperMethods.h"
#include "remote/LogFollower.h"
#include "utilities/Exception.h"
#include "web/CommandParser.h"
#include "web/DeckReader.h"
#include "web/Routes.h"
#include "web/WebAssets.h"

using nlohmann::json;

namespace {

// Threads serving requests; each open event stream keeps one.
constexpr int SERVER_THREADS = 32;
// An event stream with nothing to say sends a comment this often, so that a
// closed browser is noticed and proxies keep the connection.
constexpr std::chrono::milliseconds KEEPALIVE{10000};

void send_json(httplib::Response& res, int code, const json& body)
{
    res.status = code;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

// Every error body: {"error": {"code": <stable>, "message": <text>, "field": ...}}.
json error_body(const std::string& code, const std::string& message, const std::string& field = "")
{
    json e = {{"code", code}, {"message", message}};
    if (!field.empty())
        e["field"] = field;
    return {{"error", e}};
}

void send_error(httplib::Response& res, int status, const std::string& code, const std::string& message,
                const std::string& field = "")
{
    send_json(res, status, error_body(code, message, field));
}

// 503 with the channel's result, for every call that found no sipper.
void send_unavailable(httplib::Response& res, const SipperLink::Reply& r)
{
    json body = error_body("sipper_unavailable", r.text);
    body["error"]["result"] = r.result;
    body["error"]["result_name"] = SipperLink::result_name(r.result);
    send_json(res, 503, body);
}

// A whole number from `low` to `high` in a query parameter, or nothing.
std::optional<long> whole_number(const std::string& t, long low, long high)
{
    if (t.empty() || t.size() > 9 || !std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    const long v = std::stol(t);
    if (v < low || v > high)
        return std::nullopt;
    return v;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool json_content_type(const httplib::Request& req)
{
    std::string type = lower(req.get_header_value("Content-Type"));
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.back() == ' ')
        type.pop_back();
    return type == "application/json";
}

const web_routes::Route* route_of(const std::string& path)
{
    for (const web_routes::Route& r : web_routes::ROUTES)
        if (r.path == path)
            return &r;
    return nullptr;
}

// The plate names of get_all_plate_configs, joined by ",".
std::vector<std::string> split_names(const std::string& joined)
{
    std::vector<std::string> names;
    std::size_t start = 0;
    while (!joined.empty() && start <= joined.size()) {
        const std::size_t comma = std::min(joined.find(',', start), joined.size());
        names.push_back(joined.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

CommandTracker::Operation operation_of(const CommandParser::Command& c)
{
    CommandTracker::Operation op;
    op.name = c.name;
    op.method = c.method;
    op.args = c.args;
    op.sent = c.sent;
    if (c.sip)
        op.well = c.sip->label;
    return op;
}

}  // namespace

// Every change of a record is a "command" event; the end of a sip is also
// a "sip" event with its well, which the page paints.
void WebServer::publish_record(const CommandTracker::Record& r)
{
    const json record = r.to_json();
    hub_.publish("command", record.dump(-1, ' ', false, json::error_handler_t::replace));
    if (r.operation.well.empty() || !r.finished())
        return;
    json sip = {{"well", r.operation.well},
                {"outcome", r.state == CommandTracker::State::succeeded ? r.outcome : CommandTracker::state_name(r.state)},
                {"detail", r.message},
                {"id", r.id}};
    hub_.publish("sip", sip.dump(-1, ' ', false, json::error_handler_t::replace));
}

WebServer::WebServer(Options options)
    : options_(std::move(options)),
      link_(options_.interface_name),
      monitor_(link_, options_.log_file,
               [this](const std::string& event, const std::string& data) { hub_.publish(event, data); }),
      tracker_(link_, monitor_),
      server_(std::make_unique<httplib::Server>())
{
    tracker_.add_listener([this](const CommandTracker::Record& r) { publish_record(r); });
    server_->new_task_queue = [] { return new httplib::ThreadPool(SERVER_THREADS); };
    server_->set_payload_max_length(MAX_BODY);
    server_->set_default_headers({
        {"X-Frame-Options", "DENY"},
        {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; base-uri 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
    });
    register_routes();
}

WebServer::~WebServer()
{
    stop();
    monitor_.stop();
}

bool WebServer::same_token(const std::string& given, const std::string& expected)
{
    // Every byte of the longer text is looked at whatever differs first.
    const std::size_t n = std::max(given.size(), expected.size());
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        const unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
        diff |= static_cast<unsigned char>(a ^ b);
    }
    return diff == 0 && !expected.empty();
}

bool WebServer::host_allowed(const httplib::Request& req) const
{
    return hosts_.count(lower(req.get_header_value("Host"))) != 0;
}

bool WebServer::origin_allowed(const httplib::Request& req) const
{
    if (options_.token.empty() || !req.has_header("Origin"))
        return true;
    const std::string origin = lower(req.get_header_value("Origin"));
    for (const char* scheme : {"http://", "https://"})
        if (origin.rfind(scheme, 0) == 0 && hosts_.count(origin.substr(std::string(scheme).size())) != 0)
            return true;
    return false;
}

bool WebServer::authorised(const httplib::Request& req) const
{
    if (options_.token.empty())
        return true;
    const web_routes::Route* r = route_of(req.path);
    if (r != nullptr && r->open_without_token && req.method == "GET")
        return true;
    const std::string header = req.get_header_value("Authorization");
    const std::string scheme = "Bearer ";
    if (header.size() <= scheme.size() || lower(header.substr(0, scheme.size())) != lower(scheme))
        return false;
    return same_token(header.substr(scheme.size()), options_.token);
}

void WebServer::register_routes()
{
    using Handler = void (WebServer::*)(const httplib::Request&, httplib::Response&);
    const std::map<std::string, Handler> handlers = {
        {"GET /", &WebServer::asset},
        {"GET /app.js", &WebServer::asset},
        {"GET /style.css", &WebServer::asset},
        {"GET /events-worker.js", &WebServer::asset},
        {"GET /openapi.json", &WebServer::asset},
        {"GET /api/v1/status", &WebServer::status},
        {"GET /api/v1/deck", &WebServer::deck},
        {"POST /api/v1/commands", &WebServer::command},
        {"GET /api/v1/events", &WebServer::events},
        {"GET /api/v1/log", &WebServer::log_tail},
        {"GET /api/v1/commands", &WebServer::command_list},
        {"GET /api/v1/commands/{id}", &WebServer::command_record},
        {"GET /healthz", &WebServer::health},
    };

    server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (!host_allowed(req)) {
            send_error(res, 421, "misdirected_request",
                       "this server does not answer for the host \"" + req.get_header_value("Host") + "\"", "Host");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!origin_allowed(req)) {
            send_error(res, 403, "forbidden_origin",
                       "requests from the origin \"" + req.get_header_value("Origin") + "\" are not accepted", "Origin");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!authorised(req)) {
            res.set_header("WWW-Authenticate", "Bearer");
            send_error(res, 401, "unauthorized", "missing or wrong bearer token");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server_->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown failure";
        try {
            std::rethrow_exception(ep);
        } catch (const Exception& e) {
            what = e.message();
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        send_error(res, 500, "internal", what);
    });
    server_->set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty())
            return;
        if (res.status == 413)
            send_error(res, 413, "body_too_large", "request body over " + std::to_string(MAX_BODY) + " bytes", "body");
        else if (res.status == 404)
            send_error(res, 404, "not_found", "no such resource: " + req.path);
        else if (res.status == 400)
            send_error(res, 400, "bad_request", "the request cannot be read");
    });

    // Each path answers its own methods; any other method of it is 405 with Allow.
    std::map<std::string, std::set<std::string>> methods;
    for (const web_routes::Route& r : web_routes::ROUTES)
        methods[std::string(r.path)].insert(r.verb == web_routes::Verb::get ? "GET" : "POST");
    for (const web_routes::Route& r : web_routes::ROUTES) {
        const std::string verb = r.verb == web_routes::Verb::get ? "GET" : "POST";
        const std::string key = verb + " " + std::string(r.path);
        auto it = handlers.find(key);
        if (it == handlers.end())
            throw Exception("sipper-web: no handler for the route " + key);
        Handler h = it->second;
        auto call = [this, h](const httplib::Request& req, httplib::Response& res) { (this->*h)(req, res); };
        std::string path(r.path);
        const std::size_t hole = path.find("{id}");
        if (hole != std::string::npos)
            path.replace(hole, 4, "([0-9]+)");
        if (verb == "GET") {
            server_->Get(path, call);
            continue;
        }
        // The body is read here, piece by piece, so that one sent in chunks
        // is cut off at the limit as one with a length is.
        server_->Post(path, [call](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& content) {
            httplib::Request whole = req;
            bool too_big = false;
            const bool read = content([&](const char* data, std::size_t n) {
                if (whole.body.size() + n > MAX_BODY) {
                    too_big = true;
                    return false;
                }
                whole.body.append(data, n);
                return true;
            });
            if (too_big || res.status == 413) {
                send_error(res, 413, "body_too_large", "request body over " + std::to_string(MAX_BODY) + " bytes",
                           "body");
                return;
            }
            if (!read) {
                send_error(res, 400, "bad_request", "the request body cannot be read", "body");
                return;
            }
            call(whole, res);
        });
    }
    for (const auto& [route, allowed] : methods) {
        std::string allow;
        for (const std::string& m : allowed)
            allow += (allow.empty() ? "" : ", ") + m;
        auto wrong_method = [allow](const httplib::Request&, httplib::Response& res) {
            res.set_header("Allow", allow);
            send_error(res, 405, "method_not_allowed", "this resource takes " + allow + " only");
        };
        std::string path = route;
        const std::size_t hole = path.find("{id}");
        if (hole != std::string::npos)
            path.replace(hole, 4, "([0-9]+)");
        if (!allowed.count("GET"))
            server_->Get(path, wrong_method);
        if (!allowed.count("POST"))
            server_->Post(path, wrong_method);
        server_->Put(path, wrong_method);
        server_->Delete(path, wrong_method);
        server_->Patch(path, wrong_method);
    }
}

bool WebServer::bind(const std::string& host, int port)
{
    bool bound = false;
    if (port == 0) {
        port_ = server_->bind_to_any_port(host);
        bound = port_ > 0;
    } else {
        port_ = port;
        bound = server_->bind_to_port(host, port);
    }
    // The names a Host header may give, with the port (bare too on port 80,
    // where browsers leave it out).
    const std::string listen = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::vector<std::string> names = {listen, "localhost", "127.0.0.1", "[::1]"};
    names.insert(names.end(), options_.allow_hosts.begin(), options_.allow_hosts.end());
    for (const std::string& name : names) {
        hosts_.insert(lower(name) + ":" + std::to_string(port_));
        if (port_ == 80)
            hosts_.insert(lower(name));
    }
    return bound;
}

bool WebServer::serve()
{
    monitor_.start();
    const bool ok = server_->listen_after_bind();
    monitor_.stop();
    return ok;
}

void WebServer::stop()
{
    hub_.close();
    if (server_)
        server_->stop();
}

void WebServer::asset(const httplib::Request& req, httplib::Response& res)
{
    const WebAsset* a = find_web_asset(req.path);
    if (a == nullptr) {
        send_error(res, 404, "not_found", "no such resource: " + req.path);
        return;
    }
    res.set_content(std::string(a->body), std::string(a->content_type).c_str());
    res.set_header("Cache-Control", "no-cache");
}

void WebServer::status(const httplib::Request&, httplib::Response& res)
{
    SipperLink::Reply failure;
    json s = Monitor::snapshot(link_, failure);
    if (!failure.ok()) {
        send_unavailable(res, failure);
        return;
    }
    const std::string reason = monitor_.error_reason();
    s["error_reason"] = s["status"] == 1 && !reason.empty() ? json(reason) : json(nullptr);
    s["version"] = SIPPER_PRODUCT_VERSION;
    send_json(res, 200, s);
}

void WebServer::deck(const httplib::Request&, httplib::Response& res)
{
    SipperLink::Reply plate = link_.query(sipper_methods::GET_PLATE_INFO);
    if (!plate.ok()) {
        send_unavailable(res, plate);
        return;
    }
    std::string dir = options_.config_dir;
    if (dir.empty()) {
        SipperLink::Reply r = link_.query(component_methods::GET_CFG_DIR);
        if (!r.ok()) {
            send_unavailable(res, r);
            return;
        }
        dir = std::get<std::string>(r.values.at(0));
    }
    SipperLink::Reply all = link_.query(sipper_methods::GET_ALL_PLATE_CONFIGS);
    if (!all.ok()) {
        send_unavailable(res, all);
        return;
    }
    json d = DeckReader::read(dir, std::get<std::string>(plate.values.at(0)));
    d["config_dir"] = dir;
    d["plates"] = split_names(std::get<std::string>(all.values.at(0)));
    send_json(res, 200, d);
}

void WebServer::command(const httplib::Request& req, httplib::Response& res)
{
    if (!json_content_type(req)) {
        send_error(res, 415, "unsupported_media_type", "a command must be sent with Content-Type application/json",
                   "Content-Type");
        return;
    }
    const std::string key = req.get_header_value("Idempotency-Key");
    if (req.has_header("Idempotency-Key") && (key.empty() || key.size() > CommandTracker::MAX_KEY)) {
        send_error(res, 400, "invalid_field",
                   "Idempotency-Key must hold 1 to " + std::to_string(CommandTracker::MAX_KEY) + " characters",
                   "Idempotency-Key");
        return;
    }
    std::optional<std::chrono::seconds> wait;
    if (req.has_param("wait")) {
        const std::optional<long> n = whole_number(req.get_param_value("wait"), 0, MAX_WAIT_S);
        if (!n) {
            send_error(res, 400, "invalid_field",
                       "wait must be a whole number of seconds from 0 to " + std::to_string(MAX_WAIT_S), "wait");
            return;
        }
        wait = std::chrono::seconds(*n);
    }
    CommandParser::Result r = CommandParser::parse(req.body, nullptr);
    if (r.needs_plate) {
        SipperLink::Reply info = link_.query(sipper_methods::GET_PLATE_INFO);
        if (!info.ok()) {
            send_unavailable(res, info);
            return;
        }
        SipperLink::Reply all = link_.query(sipper_methods::GET_ALL_PLATE_CONFIGS);
        if (!all.ok()) {
            send_unavailable(res, all);
            return;
        }
        CommandParser::Plate plate;
        plate.name = std::get<std::string>(info.values.at(0));
        plate.rows = std::get<std::int32_t>(info.values.at(1));
        plate.columns = std::get<std::int32_t>(info.values.at(2));
        plate.names = split_names(std::get<std::string>(all.values.at(0)));
        r = CommandParser::parse(req.body, &plate);
    }
    if (!r.ok) {
        send_error(res, 400, "invalid_field", r.message, r.field);
        return;
    }
    const CommandTracker::Record record = tracker_.submit(operation_of(r.command), key);
    answer_record(res, record, wait ? tracker_.wait(record.id, CommandTracker::Clock::now() + *wait) : record);
}

// A record as the answer to its POST (again, for a retry with its key).
void WebServer::answer_record(httplib::Response& res, const CommandTracker::Record& sent,
                              const std::optional<CommandTracker::Record>& now)
{
    const CommandTracker::Record& r = now ? *now : sent;
    if (r.unreachable()) {
        send_unavailable(res, SipperLink::Reply{r.link_result, r.message, {}});
        return;
    }
    if (r.state == CommandTracker::State::refused) {
        json body = error_body("refused", r.message);
        body["command"] = r.to_json();
        send_json(res, 409, body);
        return;
    }
    res.set_header("Location", std::string(web_routes::API_PREFIX) + "/commands/" + std::to_string(r.id));
    send_json(res, 201, r.to_json());
}

void WebServer::command_list(const httplib::Request& req, httplib::Response& res)
{
    long limit = DEFAULT_LIST;
    if (req.has_param("limit")) {
        const std::optional<long> n = whole_number(req.get_param_value("limit"), 1, CommandTracker::MAX_RECORDS);
        if (!n) {
            send_error(res, 400, "invalid_field",
                       "limit must be a whole number from 1 to " + std::to_string(CommandTracker::MAX_RECORDS), "limit");
            return;
        }
        limit = *n;
    }
    json list = json::array();
    for (const CommandTracker::Record& r : tracker_.list(static_cast<std::size_t>(limit)))
        list.push_back(r.to_json());
    send_json(res, 200, {{"commands", list}});
}

void WebServer::command_record(const httplib::Request& req, httplib::Response& res)
{
    const std::optional<long> id = whole_number(req.matches[1], 1, 999999999);
    const std::optional<CommandTracker::Record> r =
        id ? tracker_.get(static_cast<std::uint64_t>(*id)) : std::nullopt;
    if (!r) {
        send_error(res, 404, "not_found", "no command record " + std::string(req.matches[1]) + " (only the last " +
                                              std::to_string(CommandTracker::MAX_RECORDS) + " are kept)");
        return;
    }
    send_json(res, 200, r->to_json());
}

void WebServer::health(const httplib::Request&, httplib::Response& res)
{
    send_json(res, 200, {{"status", "ok"}, {"version", SIPPER_PRODUCT_VERSION}});
}

void WebServer::events(const httplib::Request& req, httplib::Response& res)
{
    // A reconnecting client names the last event it saw.
    const std::optional<long> last = whole_number(req.get_header_value("Last-Event-ID"), 0, 999999999);
    auto sub = hub_.subscribe(last ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*last)) : std::nullopt);
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, sub](std::size_t, httplib::DataSink& sink) {
            // The current state first, so a new browser need not wait for a change.
            std::string hello = ": sipper-web events\nretry: 2000\n\n";
            const std::string now = monitor_.last_status();
            if (!now.empty())
                hello += "event: status\ndata: " + now + "\n\n";
            if (!sink.write(hello.data(), hello.size()))
                return false;
            for (;;) {
                if (hub_.closed() || !sink.is_writable())
                    return false;
                std::optional<std::string> frame = hub_.next(*sub, KEEPALIVE);
                if (hub_.closed())
                    return false;
                const std::string text = frame ? *frame : std::string(": keepalive\n\n");
                if (!sink.write(text.data(), text.size()))
                    return false;
            }
        },
        [this, sub](bool) { hub_.unsubscribe(sub); });
}

void WebServer::log_tail(const httplib::Request& req, httplib::Response& res)
{
    std::size_t count = DEFAULT_TAIL;
    if (req.has_param("tail")) {
        const std::string t = req.get_param_value("tail");
        const std::optional<long> n = whole_number(t, 1, static_cast<long>(MAX_TAIL));
        if (!n) {
            send_error(res, 400, "invalid_field", "tail must be a whole number from 1 to " + std::to_string(MAX_TAIL),
                       "tail");
            return;
        }
        count = static_cast<std::size_t>(*n);
    }
    if (options_.log_file.empty()) {
        send_error(res, 404, "no_log", "sipper-web was started without the sipper's log file (--log)");
        return;
    }
    send_json(res, 200, {{"file", options_.log_file}, {"lines", LogFollower::tail(options_.log_file, count)}});
}
