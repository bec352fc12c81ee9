#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/HttpServer.h"

class HttpConnection;

// One request and the way to its answer. The answer may be given from any
// thread, once; later answers are ignored. An event stream keeps the
// connection and writes what its source has whenever it is woken.
//
//   x->respond(res);                                  // from a worker
//   auto wake = x->stream(head, source);              // on the I/O thread
//   hub.set_wake(sub, wake);                          // publisher calls wake()
class HttpExchange {
public:
    struct EventSource {
        std::string first;  // written right after the head
        // What is ready now; never blocks. Called on the I/O thread.
        std::function<std::vector<std::string>()> take;
        // Once, when the stream ends for any reason.
        std::function<void()> closed;
    };

    HttpExchange(std::shared_ptr<HttpConnection> connection, HttpServer::Request request);

    const HttpServer::Request& request() const { return request_; }
    HttpServer::Request& request() { return request_; }

    void respond(HttpServer::Response response);
    // Writes `head` (chunked, no length) and then the source's text as it
    // comes; a comment line keeps a quiet stream alive. Returns the function
    // that wakes the stream, callable from any thread.
    std::function<void()> stream(HttpServer::Response head, EventSource source);

private:
    std::shared_ptr<HttpConnection> connection_;
    HttpServer::Request request_;
    std::atomic<bool> answered_{false};
};
