#pragma once
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "remote/CommandTracker.h"
#include "remote/Monitor.h"
#include "remote/SipperLink.h"
#include "web/EventHub.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

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
//
//   WebServer::Options o;  o.interface_name = "Sipper";
//   WebServer server(o);
//   server.listen("127.0.0.1", 8344);   // blocks until stop()
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
    };

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

    // Equal texts in time that depends on their lengths only.
    static bool same_token(const std::string& given, const std::string& expected);

private:
    void register_routes();
    bool authorised(const httplib::Request& req) const;
    bool host_allowed(const httplib::Request& req) const;
    bool origin_allowed(const httplib::Request& req) const;
    void status(const httplib::Request& req, httplib::Response& res);
    void deck(const httplib::Request& req, httplib::Response& res);
    void command(const httplib::Request& req, httplib::Response& res);
    void command_list(const httplib::Request& req, httplib::Response& res);
    void command_record(const httplib::Request& req, httplib::Response& res);
    void health(const httplib::Request& req, httplib::Response& res);
    void events(const httplib::Request& req, httplib::Response& res);
    void log_tail(const httplib::Request& req, httplib::Response& res);
    void asset(const httplib::Request& req, httplib::Response& res);
    void publish_record(const CommandTracker::Record& r);
    void answer_record(httplib::Response& res, const CommandTracker::Record& sent,
                       const std::optional<CommandTracker::Record>& now);

    Options options_;
    SipperLink link_;
    EventHub hub_;
    Monitor monitor_;
    CommandTracker tracker_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::string listen_host_;
    std::set<std::string> hosts_;  // "name:port", lower case, as a Host header names them
};
