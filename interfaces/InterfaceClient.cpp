#include "interfaces/InterfaceClient.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <new>

#include "utilities/Timer.h"

namespace {

using Clock = std::chrono::steady_clock;

long ms_until(Clock::time_point deadline)
{
    return static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

}  // namespace

InterfaceClient::InterfaceClient(const std::string& name) : ComponentInterface(name) {}

Message InterfaceClient::build(const MethodSpec& method, std::initializer_list<Value> args)
{
    if (!method.layout_known())
        method_table_error("a method without a fixed layout cannot be called");
    if (static_cast<int>(args.size()) != method.arg_count)
        method_table_error("call with another number of arguments than the method has");
    Message message(method);
    int k = 0;
    for (const Value& v : args) {
        if (const auto* i = std::get_if<std::int32_t>(&v))
            message.set_int(method, k, *i);
        else if (const auto* d = std::get_if<double>(&v))
            message.set_real(method, k, *d);
        else
            message.set_string(method, k, std::get<std::string>(v));
        ++k;
    }
    return message;
}

int InterfaceClient::call(const MethodSpec& method, std::initializer_list<Value> args)
{
    if (!connected())
        return call_not_connected;
    if (method.is_query())
        method_table_error("a query sent as a one-way call");
    try {
        return send(build(method, args));
    } catch (const std::bad_alloc&) {
        return call_no_memory;
    }
}

int InterfaceClient::send(const Message& message)
{
    if (!connected())
        return call_not_connected;
    if (!queue().push(message))
        return call_queue_full;
    // At 100 outstanding signals the release fails; the message stays queued
    // and is served with a later signal.
    start_signal()->release();
    return call_ok;
}

int InterfaceClient::query(const MethodSpec& method, std::initializer_list<Value> args,
                           std::vector<Value>& results)
{
    results.clear();
    if (!connected())
        return call_not_connected;
    if (!method.is_query())
        method_table_error("a one-way method sent as a query");
    Message message;
    try {
        message = build(method, args);
    } catch (const std::bad_alloc&) {
        return call_no_memory;
    }
    return send_query(method, message, results);
}

void InterfaceClient::absorb_own_reply(std::uint32_t call_id)
{
    // The done signal belonged to an earlier call whose client gave up (it
    // timed out or was killed). This call's own reply is then still to come;
    // left alone it would answer the next query, whose reply would answer the
    // one after, and a client that queries without pause could stay one reply
    // behind for good. Swallow it here, waiting a short while, so that the
    // next query starts clean. The result of this call stays call_wrong_reply.
    auto older = [call_id](std::uint32_t completed) {
        return static_cast<std::int32_t>(call_id - completed) > 0;
    };
    if (!older(completed_call()))
        return;
    const long grace_ms = std::min<long>(OWN_REPLY_GRACE_MS, static_cast<long>(timeout() & 0x7FFFFFFFu));
    Timer timer;
    timer.start();
    for (;;) {
        const long left = grace_ms - static_cast<long>(timer.elapsed() * 1000.0);
        if (left <= 0 || !done_signal()->wait(left))
            return;
        if (!older(completed_call()))
            return;
    }
}

bool InterfaceClient::served() const
{
    // Opened by path, never creating it, never following a link and never
    // blocking on whatever else may have been put there.
    const std::string path = Semaphore::file_path(server_marker_name(name()));
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return !(errno == ENOENT || errno == ELOOP);
    struct stat st {};
    bool serving = true;
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        serving = false;  // no server serves with anything but a regular file
    } else if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        // Given back at once: a server that is starting takes it exclusively.
        ::flock(fd, LOCK_UN);
        serving = false;
    }
    ::close(fd);
    return serving;
}

int InterfaceClient::send_if_served(const Message& message)
{
    return served() ? send(message) : static_cast<int>(call_not_connected);
}

int InterfaceClient::wait_while_served(const std::function<bool(long)>& attempt, long milliseconds, int expired)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0L, milliseconds));
    for (;;) {
        const long left = milliseconds < 0 ? SERVED_CHECK_MS : std::max<long>(0, ms_until(deadline));
        const long slice = std::min(left, SERVED_CHECK_MS);
        if (attempt(slice))
            return call_ok;
        if (!served())
            return call_not_connected;
        if (milliseconds >= 0 && left <= slice)
            return expired;
    }
}

int InterfaceClient::send_query(const MethodSpec& method, Message& message, std::vector<Value>& results)
{
    results.clear();
    if (!connected())
        return call_not_connected;
    if (!method.is_query() || !message.fits(method))
        method_table_error("query message does not match its method");

    // Nobody would ever answer: say so now rather than after the timeout.
    if (!served())
        return call_not_connected;
    const int locked = wait_while_served([this](long ms) { return action_mutex()->lock(ms); },
                                         static_cast<long>(timeout()), call_busy);
    if (locked != call_ok)
        return locked;

    const std::uint32_t call_id = next_call_id();
    message.set_call_id(method, call_id);
    // A reply abandoned by an earlier caller must not answer this one.
    while (done_signal()->wait(0)) {
    }

    int result = call_ok;
    if (!queue().push(message)) {
        result = call_queue_full;
    } else {
        start_signal()->release();
        const std::uint32_t t = timeout();
        const long wait_ms = (t & 0x80000000u) != 0 ? -1 : static_cast<long>(t);
        const int waited = wait_while_served([this](long ms) { return done_signal()->wait(ms); }, wait_ms,
                                             call_timeout);
        if (waited != call_ok) {
            result = waited;
        } else if (completed_call() != call_id) {
            result = call_wrong_reply;
            absorb_own_reply(call_id);
        } else {
            try {
                for (int k = 0; k < method.result_count; ++k) {
                    const Field& slot = method.results[k];
                    if (slot.type == FieldType::i32) {
                        std::int32_t v = 0;
                        read_slot(slot, v);
                        results.emplace_back(v);
                    } else if (slot.type == FieldType::f64) {
                        double v = 0.0;
                        read_slot(slot, v);
                        results.emplace_back(v);
                    } else {
                        std::string v;
                        read_slot(slot, v);
                        results.emplace_back(std::move(v));
                    }
                }
            } catch (const std::bad_alloc&) {
                results.clear();
                result = call_no_memory;
            }
        }
    }
    action_mutex()->unlock();
    return result;
}
