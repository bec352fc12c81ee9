#include "remote/SipperLink.h"

#include <sys/stat.h>

#include "utilities/Exception.h"

namespace {

bool properties_inode(const std::string& name, ino_t& inode)
{
    struct stat st;
    if (stat(("/dev/shm/" + name + "_properties").c_str(), &st) != 0)
        return false;
    inode = st.st_ino;
    return true;
}

Message build(const MethodSpec& m, const SipperLink::Args& args)
{
    if (static_cast<int>(args.size()) != m.arg_count)
        throw Exception("SipperLink: " + std::string(m.name) + " takes " + std::to_string(m.arg_count) +
                        " argument(s)");
    Message msg(m);
    for (int k = 0; k < m.arg_count; ++k) {
        const InterfaceClient::Value& v = args[static_cast<std::size_t>(k)];
        switch (m.args[k].type) {
        case FieldType::i32: msg.set_int(m, k, std::get<std::int32_t>(v)); break;
        case FieldType::f64: msg.set_real(m, k, std::get<double>(v)); break;
        case FieldType::string: msg.set_string(m, k, std::get<std::string>(v)); break;
        case FieldType::none: break;
        }
    }
    return msg;
}

}  // namespace

SipperLink::SipperLink(std::string interface_name) : name_(std::move(interface_name)) {}

const char* SipperLink::result_name(int result)
{
    switch (result) {
    case call_ok: return "ok";
    case call_no_memory: return "no memory";
    case call_busy: return "busy";
    case call_queue_full: return "queue full";
    case call_timeout: return "timeout";
    case call_wrong_reply: return "wrong reply";
    case call_not_connected: return "not connected";
    }
    return "unknown";
}

std::string SipperLink::describe(int result) const
{
    std::string r = result_name(result);
    switch (result) {
    case call_busy: return r + ": another caller held " + name_ + "'s interface too long";
    case call_queue_full: return r + ": " + name_ + "'s command queue has no room (is it serving?)";
    case call_timeout: return r + ": no answer from " + name_;
    case call_wrong_reply: return r + ": " + name_ + " answered another call (was it restarted?)";
    case call_no_memory: return r + ": the message could not be allocated";
    case call_not_connected: return r + ": no process serves " + name_ + " (is the sipper running?)";
    }
    return r;
}

bool SipperLink::ensure_open(Reply& reply)
{
    ino_t now = 0;
    if (!properties_inode(name_, now)) {
        client_.reset();
        reply.result = call_not_connected;
        reply.text = "not connected: no interface named " + name_ + " on this machine (is the sipper running?)";
        return false;
    }
    if (client_ && now != inode_)
        client_.reset();
    if (client_)
        return true;
    auto client = std::make_unique<SipperIF>(name_);
    if (!client->open()) {
        reply.result = call_not_connected;
        reply.text = "not connected: the interface " + name_ + " cannot be opened" +
                     (client->error().empty() ? std::string() : " (" + client->error() + ")");
        return false;
    }
    client_ = std::move(client);
    inode_ = now;
    return true;
}

SipperLink::Reply SipperLink::run(std::uint16_t method_id, const Args& args, bool want_query)
{
    Reply reply;
    {
        std::unique_lock<std::mutex> hold(guard_);
        if (!released_.wait_for(hold, LINK_WAIT, [this] { return !in_use_; })) {
            reply.result = call_timeout;
            reply.text = "timeout: " + name_ + " is slow to answer another call";
            return reply;
        }
        in_use_ = true;
    }
    struct Release {
        SipperLink& link;
        ~Release()
        {
            {
                std::lock_guard<std::mutex> hold(link.guard_);
                link.in_use_ = false;
            }
            link.released_.notify_one();
        }
    } release{*this};
    if (!ensure_open(reply))
        return reply;
    const MethodSpec* m = client_->find_method(method_id);
    if (m == nullptr || m->is_query() != want_query)
        throw Exception("SipperLink: method " + std::to_string(method_id) + " used as the wrong kind of call");
    Message message = build(*m, args);
    // The channel queues a command even when nobody serves it (the next
    // sipper to start drops it); the caller is told the link is down instead.
    if (want_query)
        reply.result = client_->send_query(*m, message, reply.values);
    else
        reply.result = client_->send_if_served(message);
    if (reply.result != call_ok) {
        reply.text = describe(reply.result);
        // The next call starts from a fresh mapping of whatever serves now.
        client_.reset();
    }
    return reply;
}

SipperLink::Reply SipperLink::query(std::uint16_t method_id, const Args& args)
{
    return timed(method_id, args, true);
}

SipperLink::Reply SipperLink::call(std::uint16_t method_id, const Args& args)
{
    return timed(method_id, args, false);
}

SipperLink::Reply SipperLink::timed(std::uint16_t method_id, const Args& args, bool want_query)
{
    const auto start = std::chrono::steady_clock::now();
    Reply reply = run(method_id, args, want_query);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::lock_guard<std::mutex> hold(times_guard_);
    ++times_.count;
    times_.failed += reply.ok() ? 0 : 1;
    times_.seconds += s;
    for (std::size_t i = 0; i < CallTimes::BOUNDS.size(); ++i)
        times_.at_most[i] += s <= CallTimes::BOUNDS[i] ? 1 : 0;
    return reply;
}

SipperLink::CallTimes SipperLink::call_times() const
{
    std::lock_guard<std::mutex> hold(times_guard_);
    return times_;
}
