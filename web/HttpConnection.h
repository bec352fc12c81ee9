#pragma once
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "web/HttpExchange.h"
#include "web/HttpServer.h"

// One client connection of HttpServer: reads requests one after another
// under the header, idle and body deadlines, hands each to the handler and
// writes its answer, or turns into an event stream. Everything it does runs
// on the I/O thread; respond() and the stream's wake only post to it.
// Closing takes the connection's address slot back (see HttpServer::Impl).
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    using Socket = boost::asio::ip::tcp::socket;

    struct Context {
        const HttpServer::Options& options;
        const HttpServer::Handler& handler;
        const HttpServer::Failure& failure;
        std::function<void(const std::string& peer)> release;
    };

    HttpConnection(const Context& context, Socket socket, std::string peer);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    void start();
    // From any thread.
    void respond(HttpServer::Response response);
    std::function<void()> stream(HttpServer::Response head, HttpExchange::EventSource source);

    // How long a closing connection may still send what the client wrote
    // after its answer before it is cut, so the answer is read, not reset.
    static constexpr std::chrono::milliseconds LINGER{2000};
    // A quiet event stream sends a comment this often, so that a closed
    // browser is noticed and proxies keep the connection.
    static constexpr std::chrono::milliseconds STREAM_KEEPALIVE{10000};

private:
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

    void read_request();
    void read_header();
    void on_header(const boost::system::error_code& ec);
    void read_body();
    void on_read_error(const boost::system::error_code& ec);
    void dispatch();
    void fail(int status);
    void write_answer(const HttpServer::Response& response);
    std::string head_text(const HttpServer::Response& response, bool chunked) const;
    void arm(std::chrono::milliseconds within);
    void disarm();
    void close_gracefully();
    void drain();
    void close_now();

    void start_stream(const HttpServer::Response& head, HttpExchange::EventSource source);
    void pump();
    void write_stream(std::string text);
    void watch_peer();
    void tick();
    std::string framed(const std::string& text) const;

    Context context_;
    Socket socket_;
    std::string peer_;
    boost::beast::flat_buffer buffer_;
    std::optional<Parser> parser_;
    boost::asio::steady_timer deadline_;
    std::uint64_t deadline_generation_ = 0;
    boost::asio::steady_timer keepalive_;
    std::string out_;
    std::array<char, 4096> sink_{};

    unsigned served_ = 0;
    bool keep_alive_ = false;
    unsigned version_ = 11;
    bool head_only_ = false;
    bool awaiting_answer_ = false;
    bool closed_ = false;

    bool streaming_ = false;
    bool chunked_ = true;
    bool writing_ = false;
    std::chrono::steady_clock::time_point last_write_{};
    HttpExchange::EventSource source_;
};
