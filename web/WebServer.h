#pragma once
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <chrono>
#include <map>
#include <mutex>

#include "remote/CommandTracker.h"
#include "remote/Monitor.h"
#include "remote/SipperLink.h"
#include "web/EventHub.h"
#include "web/HttpExchange.h"
#include "web/HttpServer.h"
#include "web/Metrics.h"
#include "web/Routes.h"
#include "web/WorkerPool.h"

// The HTTP side of sipper-web: the routes of web_routes::ROUTES over one
// SipperLink, with the security rules applied to every request before it
// reaches a handler:
//   - with a token, every request but the page's own files must carry
//     "Authorization: Bearer <token>" (compared in constant time);
//   - a command is a POST with Content-Type application/json, so a page of
//     another origin cannot send one (no CORS headers are ever given);
//   - a body over 64 KiB is refused, however it is sent (chunked too),
//     without being read whole;
//   - the Host header must name this server (the listen address, loopback
//     or an --allow-host name, with the port), or the answer is 421: a page
//     of another name that resolves to this machine (DNS rebinding) is
//     refused; with a token, an Origin header must name such a host too;
//   - every answer forbids framing and sniffing and sends no referrer.
// The routes run in three lanes: what needs no sipper is answered on the
// I/O thread; stop_all_motion and the status have workers of their own,
// which the slower work (commands, the deck, the log) cannot take; that
// work has a bounded pool. A full lane answers 503 at once. Event streams
// and ?wait= hold no thread: they are woken by the event hub and the tracker.
//
//   WebServer::Options o;  o.interface_name = "Sipper";
//   WebServer server(o);
//   server.bind("127.0.0.1", 8344);
//   server.serve();   // blocks until stop()
class WebServer {
public:
    struct Options {
        std::string interface_name = "Sipper";
        std::string config_dir;  // empty: ask the sipper (get_cfg_dir)
        std::string log_file;    // empty: no log tail, no sip outcomes from lines
        std::string token;       // empty: no token required (loopback only)
        // Host names besides the listen address and loopback that requests
        // may name (a reverse proxy's, a DNS name of this machine).
        std::vector<std::string> allow_hosts;
        // Deadlines and connection limits (see HttpServer::Options).
        HttpServer::Options http;
    };

    // Workers and queued requests of each lane.
    static constexpr std::size_t URGENT_WORKERS = 2;
    static constexpr std::size_t URGENT_QUEUE = 256;
    static constexpr std::size_t WORKERS = 4;
    static constexpr std::size_t WORK_QUEUE = 256;

    static constexpr std::size_t MAX_BODY = 64 * 1024;
    static constexpr std::size_t MAX_TAIL = 5000;
    static constexpr std::size_t DEFAULT_TAIL = 100;
    static constexpr long DEFAULT_LIST = 100;
    // The longest ?wait= of a command, in seconds.
    static constexpr long MAX_WAIT_S = 600;

    explicit WebServer(Options options);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds (port 0 picks a free one, see port()), then serves until stop().
    bool bind(const std::string& host, int port);
    int port() const { return port_; }
    bool serve();
    void stop();
    const HttpServer::Options& http_options() const { return http_.options(); }

    // Equal texts in time that depends on their lengths only.
    static bool same_token(const std::string& given, const std::string& expected);

private:
    using Request = HttpServer::Request;
    using Response = HttpServer::Response;
    using Exchange = std::shared_ptr<HttpExchange>;
    enum class Lane { here, urgent, work };

    void dispatch(const Exchange& x);
    void run_route(const Exchange& x, const web_routes::Route& route);
    Lane lane_of(const Request& req) const;
    bool authorised(const Request& req) const;
    bool host_allowed(const Request& req) const;
    bool origin_allowed(const Request& req) const;
    void status(const Request& req, Response& res);
    void deck(const Request& req, Response& res);
    void command(const Exchange& x);
    std::optional<CommandTracker::Record> submit_command(const Request& req, Response& res,
                                                         std::optional<std::chrono::seconds>& wait);
    void command_list(const Request& req, Response& res);
    void command_record(const Request& req, Response& res);
    void health(const Request& req, Response& res);
    void metrics(const Request& req, Response& res);
    void events(const Exchange& x);
    void log_tail(const Request& req, Response& res);
    void asset(const Request& req, Response& res);
    void publish_record(const CommandTracker::Record& r);
    void answer_record(Response& res, const CommandTracker::Record& sent,
                       const std::optional<CommandTracker::Record>& now);
    void wait_for_end(const Exchange& x, const CommandTracker::Record& sent, std::chrono::seconds wait);
    void end_waits(const CommandTracker::Record& r);

    Options options_;
    SipperLink link_;
    EventHub hub_;
    Metrics metrics_;
    Monitor monitor_;
    CommandTracker tracker_;
    HttpServer http_;
    // Declared after the server: they stop, and no longer answer through
    // it, before it goes.
    WorkerPool urgent_;
    WorkerPool work_;
    // Requests with ?wait= whose operation has not ended, by record id.
    std::mutex waits_guard_;
    std::multimap<std::uint64_t, Exchange> waits_;
    bool stopped_ = false;
    int port_ = 0;
    std::string listen_host_;
    std::set<std::string> hosts_;  // "name:port", lower case, as a Host header names them
};
