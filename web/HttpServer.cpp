#include "web/HttpServer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/string.hpp>

#include <map>
#include <mutex>

#include "web/HttpConnection.h"

namespace net = boost::asio;
using net::ip::tcp;
using boost::system::error_code;

// Members in this order: the counts outlive the I/O context, whose
// destruction ends the connections that give their slots back.
class HttpServer::Impl {
public:
    Impl(Options o, Handler h, Failure f)
        : options(std::move(o)),
          handler(std::move(h)),
          failure(std::move(f)),
          context{options, handler, failure, [this](const std::string& peer) { release(peer); }}
    {
    }

    void accept()
    {
        acceptor.async_accept([this](const error_code& ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted)
                return;
            if (ec) {
                // Out of descriptors, say: try again shortly rather than spin.
                retry.expires_after(std::chrono::milliseconds(50));
                retry.async_wait([this](const error_code& e) {
                    if (!e)
                        accept();
                });
                return;
            }
            error_code e;
            const tcp::endpoint peer = socket.remote_endpoint(e);
            const std::string address = e ? std::string() : peer.address().to_string();
            if (!e && admit(address))
                std::make_shared<HttpConnection>(context, std::move(socket), address)->start();
            else
                socket.close(e);
            accept();
        });
    }

    bool admit(const std::string& peer)
    {
        std::lock_guard<std::mutex> hold(guard);
        std::size_t& mine = per_address[peer];
        if (total >= options.max_connections || mine >= options.max_per_address) {
            if (mine == 0)
                per_address.erase(peer);
            return false;
        }
        ++mine;
        ++total;
        return true;
    }

    void release(const std::string& peer)
    {
        std::lock_guard<std::mutex> hold(guard);
        auto it = per_address.find(peer);
        if (it != per_address.end() && --it->second == 0)
            per_address.erase(it);
        --total;
    }

    Options options;
    Handler handler;
    Failure failure;
    HttpConnection::Context context;
    mutable std::mutex guard;
    std::map<std::string, std::size_t> per_address;
    std::size_t total = 0;

    net::io_context io{1};
    tcp::acceptor acceptor{io};
    net::steady_timer retry{io};
};

bool HttpServer::Request::has_header(const std::string& name) const
{
    for (const auto& [n, v] : headers)
        if (boost::beast::iequals(n, name))
            return true;
    return false;
}

std::string HttpServer::Request::get_header_value(const std::string& name) const
{
    for (const auto& [n, v] : headers)
        if (boost::beast::iequals(n, name))
            return v;
    return "";
}

bool HttpServer::Request::has_param(const std::string& name) const
{
    for (const auto& [n, v] : params)
        if (n == name)
            return true;
    return false;
}

std::string HttpServer::Request::get_param_value(const std::string& name) const
{
    for (const auto& [n, v] : params)
        if (n == name)
            return v;
    return "";
}

void HttpServer::Response::set_header(const std::string& name, const std::string& value)
{
    for (auto& [n, v] : headers)
        if (boost::beast::iequals(n, name)) {
            v = value;
            return;
        }
    headers.emplace_back(name, value);
}

void HttpServer::Response::set_content(std::string text, const std::string& type)
{
    body = std::move(text);
    set_header("Content-Type", type);
}

HttpServer::HttpServer(Options options, Handler handler, Failure failure)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(handler), std::move(failure)))
{
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::bind(const std::string& host, int port)
{
    error_code ec;
    tcp::resolver resolver(impl_->io);
    const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
    if (ec || found.empty())
        return false;
    const tcp::endpoint endpoint = found.begin()->endpoint();
    tcp::acceptor& a = impl_->acceptor;
    a.open(endpoint.protocol(), ec);
    if (!ec)
        a.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        a.bind(endpoint, ec);
    if (!ec)
        a.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error_code ignored;
        a.close(ignored);
        return false;
    }
    return true;
}

int HttpServer::port() const
{
    error_code ec;
    const tcp::endpoint e = impl_->acceptor.local_endpoint(ec);
    return ec ? 0 : e.port();
}

void HttpServer::run()
{
    impl_->accept();
    impl_->io.run();
}

void HttpServer::stop()
{
    impl_->io.stop();
}

void HttpServer::after(Duration delay, std::function<void()> what)
{
    net::post(impl_->io, [this, delay, what = std::move(what)]() mutable {
        auto timer = std::make_shared<net::steady_timer>(impl_->io, delay);
        timer->async_wait([timer, what = std::move(what)](const error_code& ec) {
            if (!ec)
                what();
        });
    });
}

const HttpServer::Options& HttpServer::options() const
{
    return impl_->options;
}

std::size_t HttpServer::connections() const
{
    std::lock_guard<std::mutex> hold(impl_->guard);
    return impl_->total;
}
