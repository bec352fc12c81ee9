#include "web/WebServer.h"

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

using Request = HttpServer::Request;
using Response = HttpServer::Response;

void send_json(Response& res, int code, const json& body)
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

void send_error(Response& res, int status, const std::string& code, const std::string& message,
                const std::string& field = "")
{
    send_json(res, status, error_body(code, message, field));
}

// 503 with the channel's result, for every call that found no sipper.
void send_unavailable(Response& res, const SipperLink::Reply& r)
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

bool json_content_type(const Request& req)
{
    std::string type = lower(req.get_header_value("Content-Type"));
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.back() == ' ')
        type.pop_back();
    return type == "application/json";
}

std::string verb_text(web_routes::Verb v)
{
    return v == web_routes::Verb::get ? "GET" : "POST";
}

// Whether `path` is the route's, "{id}" standing for digits (written to `id`).
bool path_matches(std::string_view route, const std::string& path, std::string* id)
{
    const std::size_t hole = route.find("{id}");
    if (hole == std::string_view::npos)
        return route == path;
    const std::string_view head = route.substr(0, hole), tail = route.substr(hole + 4);
    if (path.size() <= head.size() + tail.size() || path.compare(0, head.size(), head) != 0 ||
        path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string digits = path.substr(head.size(), path.size() - head.size() - tail.size());
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    if (id != nullptr)
        *id = digits;
    return true;
}

// The route of this method and path; else, in `allow`, the methods the path takes.
const web_routes::Route* route_of(const std::string& method, const std::string& path, std::string* id,
                                  std::string* allow = nullptr)
{
    for (const web_routes::Route& r : web_routes::ROUTES) {
        if (!path_matches(r.path, path, id))
            continue;
        if (verb_text(r.verb) == method)
            return &r;
        if (allow != nullptr)
            *allow += (allow->empty() ? "" : ", ") + verb_text(r.verb);
    }
    return nullptr;
}

HttpServer::Options http_options_of(const WebServer::Options& o)
{
    HttpServer::Options h = o.http;
    h.max_body = WebServer::MAX_BODY;
    h.default_headers = {
        {"X-Frame-Options", "DENY"},
        {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; base-uri 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
    };
    return h;
}

// The answer to a request that could not be read whole.
void answer_unread(Response& res, int status)
{
    if (status == 413)
        send_error(res, 413, "body_too_large", "request body over " + std::to_string(WebServer::MAX_BODY) + " bytes",
                   "body");
    else if (status == 431)
        send_error(res, 431, "bad_request", "the request's header is too large");
    else if (status == 500)
        send_error(res, 500, "internal", "the request could not be handled");
    else
        send_error(res, 400, "bad_request", "the request cannot be read");
}

// A lane that cannot take more work.
void send_overloaded(Response& res)
{
    res.set_header("Retry-After", "1");
    send_error(res, 503, "overloaded", "sipper-web has too many requests waiting for the sipper; try again");
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
      http_(http_options_of(options_), [this](const Exchange& x) { dispatch(x); },
            [](Response& res, int status) { answer_unread(res, status); }),
      urgent_(URGENT_WORKERS, URGENT_QUEUE),
      work_(WORKERS, WORK_QUEUE)
{
    tracker_.add_listener([this](const CommandTracker::Record& r) {
        publish_record(r);
        if (r.finished()) {
            metrics_.count(r);
            end_waits(r);
        }
    });
}

WebServer::~WebServer()
{
    stop();
    urgent_.stop();
    work_.stop();
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

bool WebServer::host_allowed(const Request& req) const
{
    return hosts_.count(lower(req.get_header_value("Host"))) != 0;
}

bool WebServer::origin_allowed(const Request& req) const
{
    if (options_.token.empty() || !req.has_header("Origin"))
        return true;
    const std::string origin = lower(req.get_header_value("Origin"));
    for (const char* scheme : {"http://", "https://"})
        if (origin.rfind(scheme, 0) == 0 && hosts_.count(origin.substr(std::string(scheme).size())) != 0)
            return true;
    return false;
}

bool WebServer::authorised(const Request& req) const
{
    if (options_.token.empty())
        return true;
    const web_routes::Route* r = route_of(req.method, req.path, nullptr);
    if (r != nullptr && r->open_without_token && req.method == "GET")
        return true;
    const std::string header = req.get_header_value("Authorization");
    const std::string scheme = "Bearer ";
    if (header.size() <= scheme.size() || lower(header.substr(0, scheme.size())) != lower(scheme))
        return false;
    return same_token(header.substr(scheme.size()), options_.token);
}

// On the I/O thread: the security rules, the route, then its lane.
void WebServer::dispatch(const Exchange& x)
{
    Request& req = x->request();
    Response res;
    if (!host_allowed(req)) {
        send_error(res, 421, "misdirected_request",
                   "this server does not answer for the host \"" + req.get_header_value("Host") + "\"", "Host");
    } else if (!origin_allowed(req)) {
        send_error(res, 403, "forbidden_origin",
                   "requests from the origin \"" + req.get_header_value("Origin") + "\" are not accepted", "Origin");
    } else if (!authorised(req)) {
        res.set_header("WWW-Authenticate", "Bearer");
        send_error(res, 401, "unauthorized", "missing or wrong bearer token");
    } else {
        std::string allow;
        const web_routes::Route* route = route_of(req.method, req.path, &req.id, &allow);
        if (route == nullptr && allow.empty()) {
            send_error(res, 404, "not_found", "no such resource: " + req.path);
        } else if (route == nullptr) {
            res.set_header("Allow", allow);
            send_error(res, 405, "method_not_allowed", "this resource takes " + allow + " only");
        } else {
            run_route(x, *route);
            return;
        }
    }
    x->respond(std::move(res));
}

void WebServer::run_route(const Exchange& x, const web_routes::Route& route)
{
    using Handler = void (WebServer::*)(const Request&, Response&);
    static const std::map<std::string, Handler> handlers = {
        {"GET /", &WebServer::asset},
        {"GET /app.js", &WebServer::asset},
        {"GET /style.css", &WebServer::asset},
        {"GET /events-worker.js", &WebServer::asset},
        {"GET /openapi.json", &WebServer::asset},
        {"GET /api/v1/status", &WebServer::status},
        {"GET /api/v1/deck", &WebServer::deck},
        {"GET /api/v1/log", &WebServer::log_tail},
        {"GET /api/v1/commands", &WebServer::command_list},
        {"GET /api/v1/commands/{id}", &WebServer::command_record},
        {"GET /healthz", &WebServer::health},
        {"GET /metrics", &WebServer::metrics},
    };
    const std::string key = verb_text(route.verb) + " " + std::string(route.path);
    std::function<void()> work;
    if (key == "GET /api/v1/events") {
        events(x);
        return;
    }
    if (key == "POST /api/v1/commands") {
        work = [this, x] { command(x); };
    } else {
        auto it = handlers.find(key);
        if (it == handlers.end())
            throw Exception("sipper-web: no handler for the route " + key);
        const Handler h = it->second;
        work = [this, x, h] {
            Response res;
            (this->*h)(x->request(), res);
            x->respond(std::move(res));
        };
    }
    // Whatever a handler throws is answered as a fault of this server.
    auto guarded = [x, work = std::move(work)] {
        try {
            work();
        } catch (const Exception& e) {
            Response res;
            send_error(res, 500, "internal", e.message());
            x->respond(std::move(res));
        } catch (const std::exception& e) {
            Response res;
            send_error(res, 500, "internal", e.what());
            x->respond(std::move(res));
        }
    };
    const Lane lane = lane_of(x->request());
    if (lane == Lane::here) {
        guarded();
        return;
    }
    if (!(lane == Lane::urgent ? urgent_ : work_).post(guarded)) {
        Response res;
        send_overloaded(res);
        x->respond(std::move(res));
    }
}

WebServer::Lane WebServer::lane_of(const Request& req) const
{
    if (req.path == std::string(web_routes::API_PREFIX) + "/status")
        return Lane::urgent;
    if (req.method == "POST") {
        // Stop is never queued behind other work: its body is read here.
        const CommandParser::Result r = CommandParser::parse(req.body, nullptr);
        return r.ok && r.command.method == sipper_methods::STOP_ALL_MOTION ? Lane::urgent : Lane::work;
    }
    if (req.path == std::string(web_routes::API_PREFIX) + "/deck" || req.path == std::string(web_routes::API_PREFIX) + "/log")
        return Lane::work;
    return Lane::here;
}

bool WebServer::bind(const std::string& host, int port)
{
    const bool bound = http_.bind(host, port);
    port_ = bound ? http_.port() : port;
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
    http_.run();
    monitor_.stop();
    return true;
}

void WebServer::stop()
{
    {
        std::lock_guard<std::mutex> hold(waits_guard_);
        stopped_ = true;
        waits_.clear();
    }
    // No stream is woken once the hub has closed, so none posts to a server
    // that has gone.
    hub_.close();
    http_.stop();
}

void WebServer::asset(const Request& req, Response& res)
{
    const WebAsset* a = find_web_asset(req.path);
    if (a == nullptr) {
        send_error(res, 404, "not_found", "no such resource: " + req.path);
        return;
    }
    res.set_content(std::string(a->body), std::string(a->content_type).c_str());
    res.set_header("Cache-Control", "no-cache");
}

void WebServer::status(const Request&, Response& res)
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

void WebServer::deck(const Request&, Response& res)
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

void WebServer::command(const Exchange& x)
{
    Response res;
    std::optional<std::chrono::seconds> wait;
    const std::optional<CommandTracker::Record> record = submit_command(x->request(), res, wait);
    if (!record) {
        x->respond(std::move(res));
        return;
    }
    if (wait && !record->finished()) {
        wait_for_end(x, *record, *wait);
        return;
    }
    answer_record(res, *record, std::nullopt);
    x->respond(std::move(res));
}

// The operation of a POST sent to the tracker, its record; nothing when the
// request was answered in `res` (bad input, no sipper).
std::optional<CommandTracker::Record> WebServer::submit_command(const Request& req, Response& res,
                                                                std::optional<std::chrono::seconds>& wait)
{
    if (!json_content_type(req)) {
        send_error(res, 415, "unsupported_media_type", "a command must be sent with Content-Type application/json",
                   "Content-Type");
        return std::nullopt;
    }
    const std::string key = req.get_header_value("Idempotency-Key");
    if (req.has_header("Idempotency-Key") && (key.empty() || key.size() > CommandTracker::MAX_KEY)) {
        send_error(res, 400, "invalid_field",
                   "Idempotency-Key must hold 1 to " + std::to_string(CommandTracker::MAX_KEY) + " characters",
                   "Idempotency-Key");
        return std::nullopt;
    }
    if (req.has_param("wait")) {
        const std::optional<long> n = whole_number(req.get_param_value("wait"), 0, MAX_WAIT_S);
        if (!n) {
            send_error(res, 400, "invalid_field",
                       "wait must be a whole number of seconds from 0 to " + std::to_string(MAX_WAIT_S), "wait");
            return std::nullopt;
        }
        wait = std::chrono::seconds(*n);
    }
    CommandParser::Result r = CommandParser::parse(req.body, nullptr);
    if (r.needs_plate) {
        SipperLink::Reply info = link_.query(sipper_methods::GET_PLATE_INFO);
        if (!info.ok()) {
            send_unavailable(res, info);
            return std::nullopt;
        }
        SipperLink::Reply all = link_.query(sipper_methods::GET_ALL_PLATE_CONFIGS);
        if (!all.ok()) {
            send_unavailable(res, all);
            return std::nullopt;
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
        return std::nullopt;
    }
    return tracker_.submit(operation_of(r.command), key);
}

// Answers when the operation has ended (see end_waits), or with the record
// as it is when the wait is over; no thread waits meanwhile.
void WebServer::wait_for_end(const Exchange& x, const CommandTracker::Record& sent, std::chrono::seconds wait)
{
    {
        std::lock_guard<std::mutex> hold(waits_guard_);
        if (stopped_)
            return;
        waits_.emplace(sent.id, x);
    }
    if (const std::optional<CommandTracker::Record> now = tracker_.get(sent.id); now && now->finished())
        end_waits(*now);
    http_.after(wait, [this, x, sent] {
        bool waiting = false;
        {
            std::lock_guard<std::mutex> hold(waits_guard_);
            for (auto [it, end] = waits_.equal_range(sent.id); it != end; ++it)
                if (it->second == x) {
                    waits_.erase(it);
                    waiting = true;
                    break;
                }
        }
        if (!waiting)
            return;
        Response res;
        answer_record(res, sent, tracker_.get(sent.id));
        x->respond(std::move(res));
    });
}

void WebServer::end_waits(const CommandTracker::Record& r)
{
    std::vector<Exchange> ended;
    {
        std::lock_guard<std::mutex> hold(waits_guard_);
        for (auto [it, end] = waits_.equal_range(r.id); it != end;)
            ended.push_back(it->second), it = waits_.erase(it);
    }
    for (const Exchange& x : ended) {
        Response res;
        answer_record(res, r, r);
        x->respond(std::move(res));
    }
}

// A record as the answer to its POST (again, for a retry with its key).
void WebServer::answer_record(Response& res, const CommandTracker::Record& sent,
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

void WebServer::command_list(const Request& req, Response& res)
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

void WebServer::command_record(const Request& req, Response& res)
{
    const std::optional<long> id = whole_number(req.id, 1, 999999999);
    const std::optional<CommandTracker::Record> r =
        id ? tracker_.get(static_cast<std::uint64_t>(*id)) : std::nullopt;
    if (!r) {
        send_error(res, 404, "not_found", "no command record " + req.id + " (only the last " +
                                              std::to_string(CommandTracker::MAX_RECORDS) + " are kept)");
        return;
    }
    send_json(res, 200, r->to_json());
}

void WebServer::health(const Request&, Response& res)
{
    send_json(res, 200, {{"status", "ok"}, {"version", SIPPER_PRODUCT_VERSION}});
}

void WebServer::metrics(const Request&, Response& res)
{
    const std::string last = monitor_.last_status();
    const json status = last.empty() ? json() : json::parse(last, nullptr, false);
    res.set_content(metrics_.render(status, monitor_.error_reason(), link_.call_times()), Metrics::CONTENT_TYPE);
}

void WebServer::events(const Exchange& x)
{
    // A reconnecting client names the last event it saw.
    const std::optional<long> last = whole_number(x->request().get_header_value("Last-Event-ID"), 0, 999999999);
    auto sub = hub_.subscribe(last ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*last)) : std::nullopt);
    Response head;
    head.set_header("Content-Type", "text/event-stream");
    head.set_header("Cache-Control", "no-cache");
    head.set_header("X-Accel-Buffering", "no");
    HttpExchange::EventSource source;
    // The current state first, so a new browser need not wait for a change.
    source.first = ": sipper-web events\nretry: 2000\n\n";
    const std::string now = monitor_.last_status();
    if (!now.empty())
        source.first += "event: status\ndata: " + now + "\n\n";
    source.take = [this, sub] { return hub_.take(*sub); };
    source.closed = [this, sub] { hub_.unsubscribe(sub); };
    hub_.set_wake(*sub, x->stream(std::move(head), std::move(source)));
}

void WebServer::log_tail(const Request& req, Response& res)
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
