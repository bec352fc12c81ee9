#include "web/HttpConnection.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>

#include <cctype>
#include <cstdio>

namespace net = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX decoded; in a query also "+" as a space.
std::string decoded(const std::string& text, bool query)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else if (query && text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

HttpServer::Headers query_params(const std::string& query)
{
    HttpServer::Headers params;
    std::size_t start = 0;
    while (start < query.size()) {
        const std::size_t amp = std::min(query.find('&', start), query.size());
        const std::string pair = query.substr(start, amp - start);
        if (!pair.empty()) {
            const std::size_t eq = pair.find('=');
            params.emplace_back(decoded(pair.substr(0, eq), true),
                                eq == std::string::npos ? std::string() : decoded(pair.substr(eq + 1), true));
        }
        start = amp + 1;
    }
    return params;
}

// Errors of the socket, as against a request that does not read as HTTP.
bool parse_error(const error_code& ec)
{
    return ec.category() == http::make_error_code(http::error::bad_method).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message;
}

}  // namespace

HttpConnection::HttpConnection(const Context& context, Socket socket, std::string peer)
    : context_(context),
      socket_(std::move(socket)),
      peer_(std::move(peer)),
      deadline_(socket_.get_executor()),
      keepalive_(socket_.get_executor())
{
}

HttpConnection::~HttpConnection()
{
    if (streaming_ && source_.closed)
        source_.closed();
    context_.release(peer_);
}

void HttpConnection::start()
{
    error_code ignored;
    socket_.set_option(net::ip::tcp::no_delay(true), ignored);
    read_request();
}

void HttpConnection::arm(std::chrono::milliseconds within)
{
    const std::uint64_t generation = ++deadline_generation_;
    deadline_.expires_after(within);
    deadline_.async_wait([weak = weak_from_this(), generation](const error_code& ec) {
        auto self = weak.lock();
        if (!ec && self && self->deadline_generation_ == generation)
            self->close_now();
    });
}

void HttpConnection::disarm()
{
    ++deadline_generation_;
    deadline_.cancel();
}

void HttpConnection::read_request()
{
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(context_.options.max_header));
    parser_->body_limit(context_.options.max_body);
    if (served_ == 0 || buffer_.size() != 0) {
        read_header();
        return;
    }
    // Kept alive: the next request may be long in coming, but once it has
    // begun its header has the header deadline.
    arm(context_.options.idle_timeout);
    socket_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](const error_code& ec, std::size_t n) {
        if (ec) {
            self->close_now();
            return;
        }
        self->buffer_.commit(n);
        self->read_header();
    });
}

void HttpConnection::read_header()
{
    arm(context_.options.header_timeout);
    http::async_read_header(socket_, buffer_, *parser_,
                            [self = shared_from_this()](const error_code& ec, std::size_t) { self->on_header(ec); });
}

void HttpConnection::on_read_error(const error_code& ec)
{
    if (closed_)
        return;
    if (ec == http::error::body_limit)
        fail(413);
    else if (ec == http::error::header_limit)
        fail(431);
    else if (parse_error(ec))
        fail(400);
    else
        close_now();
}

void HttpConnection::on_header(const error_code& ec)
{
    if (ec) {
        on_read_error(ec);
        return;
    }
    const auto& message = parser_->get();
    const auto expect = message.find(http::field::expect);
    if (expect != message.end() && !parser_->is_done() &&
        boost::beast::iequals(expect->value(), "100-continue")) {
        out_ = "HTTP/1.1 100 Continue\r\n\r\n";
        net::async_write(socket_, net::buffer(out_), [self = shared_from_this()](const error_code& e, std::size_t) {
            if (e)
                self->close_now();
            else
                self->read_body();
        });
        return;
    }
    read_body();
}

void HttpConnection::read_body()
{
    if (parser_->is_done()) {
        dispatch();
        return;
    }
    arm(context_.options.body_timeout);
    http::async_read(socket_, buffer_, *parser_, [self = shared_from_this()](const error_code& ec, std::size_t) {
        if (ec)
            self->on_read_error(ec);
        else
            self->dispatch();
    });
}

void HttpConnection::dispatch()
{
    disarm();
    const auto& message = parser_->get();
    HttpServer::Request r;
    r.method = std::string(message.method_string());
    if (r.method == "HEAD") {
        r.method = "GET";
        r.head = true;
    }
    r.target = std::string(message.target());
    const std::size_t mark = r.target.find('?');
    r.path = decoded(r.target.substr(0, mark), false);
    if (mark != std::string::npos)
        r.params = query_params(r.target.substr(mark + 1));
    r.version = message.version();
    r.peer = peer_;
    for (const auto& field : message)
        r.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    r.body = message.body();
    keep_alive_ = message.keep_alive();
    version_ = message.version();
    head_only_ = r.head;
    awaiting_answer_ = true;
    parser_.reset();
    auto exchange = std::make_shared<HttpExchange>(shared_from_this(), std::move(r));
    try {
        context_.handler(exchange);
    } catch (...) {
        HttpServer::Response failed;
        context_.failure(failed, 500);
        exchange->respond(failed);
    }
}

void HttpConnection::fail(int status)
{
    HttpServer::Response r;
    context_.failure(r, status);
    keep_alive_ = false;
    head_only_ = false;
    awaiting_answer_ = true;
    write_answer(r);
}

void HttpConnection::respond(HttpServer::Response response)
{
    net::post(socket_.get_executor(), [self = shared_from_this(), r = std::move(response)] {
        if (self->awaiting_answer_ && !self->closed_)
            self->write_answer(r);
    });
}

std::string HttpConnection::head_text(const HttpServer::Response& response, bool chunked) const
{
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       std::string(http::obsolete_reason(http::int_to_status(static_cast<unsigned>(response.status)))) +
                       "\r\n";
    for (const auto& [name, value] : context_.options.default_headers)
        text += name + ": " + value + "\r\n";
    for (const auto& [name, value] : response.headers)
        text += name + ": " + value + "\r\n";
    if (chunked)
        text += "Transfer-Encoding: chunked\r\n";
    else if (!streaming_)
        text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    text += keep_alive_ ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    return text + "\r\n";
}

void HttpConnection::write_answer(const HttpServer::Response& response)
{
    awaiting_answer_ = false;
    out_ = head_text(response, false);
    if (!head_only_)
        out_ += response.body;
    arm(context_.options.body_timeout);
    net::async_write(socket_, net::buffer(out_), [self = shared_from_this()](const error_code& ec, std::size_t) {
        self->disarm();
        if (ec) {
            self->close_now();
        } else if (!self->keep_alive_) {
            self->close_gracefully();
        } else {
            ++self->served_;
            self->read_request();
        }
    });
}

void HttpConnection::close_gracefully()
{
    error_code ignored;
    socket_.shutdown(Socket::shutdown_send, ignored);
    arm(LINGER);
    drain();
}

void HttpConnection::drain()
{
    socket_.async_read_some(net::buffer(sink_), [self = shared_from_this()](const error_code& ec, std::size_t) {
        if (ec)
            self->close_now();
        else
            self->drain();
    });
}

void HttpConnection::close_now()
{
    if (closed_)
        return;
    closed_ = true;
    error_code ignored;
    socket_.close(ignored);
    deadline_.cancel();
    keepalive_.cancel();
}

std::function<void()> HttpConnection::stream(HttpServer::Response head, HttpExchange::EventSource source)
{
    std::weak_ptr<HttpConnection> weak = shared_from_this();
    auto executor = socket_.get_executor();
    net::post(executor, [self = shared_from_this(), h = std::move(head), s = std::move(source)]() mutable {
        if (self->awaiting_answer_ && !self->closed_)
            self->start_stream(h, std::move(s));
        else if (s.closed)
            s.closed();
    });
    return [weak, executor] {
        net::post(executor, [weak] {
            if (auto self = weak.lock())
                self->pump();
        });
    };
}

std::string HttpConnection::framed(const std::string& text) const
{
    if (!chunked_)
        return text;
    char size[24];
    std::snprintf(size, sizeof size, "%zx\r\n", text.size());
    return size + text + "\r\n";
}

void HttpConnection::start_stream(const HttpServer::Response& head, HttpExchange::EventSource source)
{
    awaiting_answer_ = false;
    streaming_ = true;
    source_ = std::move(source);
    // An HTTP/1.0 client reads to the end of the connection instead.
    chunked_ = version_ >= 11;
    keep_alive_ = keep_alive_ && chunked_;
    write_stream(head_text(head, chunked_) + framed(source_.first));
    watch_peer();
    tick();
}

void HttpConnection::pump()
{
    if (closed_ || writing_ || !streaming_)
        return;
    std::string text;
    for (const std::string& frame : source_.take())
        text += frame;
    if (!text.empty())
        write_stream(framed(text));
}

void HttpConnection::write_stream(std::string text)
{
    writing_ = true;
    out_ = std::move(text);
    arm(context_.options.body_timeout);
    net::async_write(socket_, net::buffer(out_), [self = shared_from_this()](const error_code& ec, std::size_t) {
        self->writing_ = false;
        self->disarm();
        if (ec) {
            self->close_now();
            return;
        }
        self->last_write_ = std::chrono::steady_clock::now();
        self->pump();
    });
}

// A stream's client says nothing more; reading tells at once when it goes.
void HttpConnection::watch_peer()
{
    socket_.async_read_some(net::buffer(sink_), [self = shared_from_this()](const error_code& ec, std::size_t) {
        if (ec)
            self->close_now();
        else
            self->watch_peer();
    });
}

void HttpConnection::tick()
{
    keepalive_.expires_after(STREAM_KEEPALIVE);
    keepalive_.async_wait([weak = weak_from_this()](const error_code& ec) {
        auto self = weak.lock();
        if (ec || !self || self->closed_)
            return;
        if (!self->writing_ && std::chrono::steady_clock::now() - self->last_write_ >= STREAM_KEEPALIVE / 2)
            self->write_stream(self->framed(": keepalive\n\n"));
        self->tick();
    });
}
