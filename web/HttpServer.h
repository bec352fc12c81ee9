#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class HttpExchange;

// An HTTP/1.1 server on one I/O thread with asynchronous connections, so that
// open event streams, waiting requests and slow or idle clients cost a
// socket and a little memory each, never a thread. It reads requests,
// enforces the deadlines and connection limits below and hands each request
// to the handler as an HttpExchange, which may be answered later from any
// thread. The handler runs on the I/O thread and must not block.
//
//   HttpServer server(options, [](const std::shared_ptr<HttpExchange>& x) { x->respond(answer(x->request())); });
//   server.bind("127.0.0.1", 0);   // server.port() then names the port
//   server.run();                   // until stop()
class HttpServer {
public:
    using Duration = std::chrono::milliseconds;
    using Headers = std::vector<std::pair<std::string, std::string>>;

    struct Options {
        // A request's whole header must arrive within this time of its
        // first byte (of the connection, for a new one): a client sending a
        // byte now and then is closed.
        Duration header_timeout{10000};
        // A kept-alive connection with no new request this long is closed.
        Duration idle_timeout{60000};
        // The body must arrive, and an answer be taken by the client, within this.
        Duration body_timeout{30000};
        // Open connections from one client address, and in all; a
        // connection over either is closed at once.
        std::size_t max_per_address = 64;
        std::size_t max_connections = 1000;
        std::size_t max_body = 64 * 1024;
        std::size_t max_header = 16 * 1024;
        // On every answer.
        Headers default_headers;
    };

    struct Request {
        std::string method;  // "GET", ...; a HEAD is handed on as a GET with head set
        bool head = false;
        std::string target;  // as sent
        std::string path;    // decoded, without the query
        std::string id;      // the number in a path with "{id}", set by the handler's routing
        unsigned version = 11;
        std::string peer;    // the client's address
        Headers headers;
        Headers params;  // of the query, decoded
        std::string body;

        bool has_header(const std::string& name) const;
        // The first of that name (any case), or "".
        std::string get_header_value(const std::string& name) const;
        bool has_param(const std::string& name) const;
        std::string get_param_value(const std::string& name) const;
    };

    struct Response {
        int status = 200;
        Headers headers;
        std::string body;
        void set_header(const std::string& name, const std::string& value);
        void set_content(std::string text, const std::string& type);
    };

    using Handler = std::function<void(const std::shared_ptr<HttpExchange>&)>;
    // Fills the answer to a request that could not be read: 400, 413, 431.
    using Failure = std::function<void(Response&, int status)>;

    HttpServer(Options options, Handler handler, Failure failure);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    bool bind(const std::string& host, int port);
    int port() const;
    // Serves on the calling thread until stop().
    void run();
    // From any thread.
    void stop();
    // Calls `what` on the I/O thread after `delay` (from any thread).
    void after(Duration delay, std::function<void()> what);

    const Options& options() const;
    // Open connections now (for the tests through the log, and the bench).
    std::size_t connections() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};
