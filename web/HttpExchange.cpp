#include "web/HttpExchange.h"

#include "web/HttpConnection.h"

HttpExchange::HttpExchange(std::shared_ptr<HttpConnection> connection, HttpServer::Request request)
    : connection_(std::move(connection)), request_(std::move(request))
{
}

void HttpExchange::respond(HttpServer::Response response)
{
    if (answered_.exchange(true))
        return;
    connection_->respond(std::move(response));
}

std::function<void()> HttpExchange::stream(HttpServer::Response head, EventSource source)
{
    if (answered_.exchange(true))
        return [] {};
    return connection_->stream(std::move(head), std::move(source));
}
