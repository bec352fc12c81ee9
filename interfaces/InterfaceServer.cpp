#include "interfaces/InterfaceServer.h"

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "utilities/Timer.h"

InterfaceServer::InterfaceServer(const std::string& name) : ComponentInterface(name)
{
    // open() holds the serving lock before the channel opens: a properties
    // area that a client made for its smaller layout before this server
    // started is grown, not refused.
    set_grows_properties(true);
    // Not for a name the channel cannot have: its open fails anyway, and the
    // marker would stay behind with no server.
    if (channel_name_problem(name).empty())
        marker_ = std::make_unique<Semaphore>(marker_name(), 0, 1);
}

std::string InterfaceServer::marker_name() const
{
    return server_marker_name(name());
}

bool InterfaceServer::claim_marker()
{
    if (marker_locked_)
        return true;
    if (!marker_)
        marker_ = std::make_unique<Semaphore>(marker_name(), 0, 1);
    if (!marker_->valid()) {
        set_error("interface \"" + name() + "\" cannot be served: its server marker is not usable: " +
                  marker_->error());
        return false;
    }
    // The lock goes with the process that holds it, however it ends, so a
    // dead server never keeps its successor out. A client asking whether the
    // name is served holds a shared lock for a moment; only a lock that is
    // still held a while later is a live server's.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(CLAIM_WAIT_MS);
    int e = 0;
    while (::flock(marker_->file_descriptor(), LOCK_EX | LOCK_NB) != 0) {
        e = errno;
        if (e != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline)
            break;
        e = 0;
        sleep_ms(1);
    }
    if (e != 0) {
        if (e == EWOULDBLOCK)
            set_error("interface \"" + name() + "\" is already served by a live process (it holds the lock of " +
                      Semaphore::file_path(marker_name()) + "); not serving it a second time");
        else
            set_error("interface \"" + name() + "\" cannot be served: flock of " +
                      Semaphore::file_path(marker_name()) + " failed: " + std::strerror(e));
        return false;
    }
    marker_locked_ = true;
    return true;
}

void InterfaceServer::release_marker()
{
    if (!marker_locked_)
        return;
    // A marker this server made goes again; removed while still locked, so
    // that no other server can have taken it in the meantime.
    if (marker_->created()) {
        Semaphore::remove(marker_name());
        marker_.reset();
    } else {
        ::flock(marker_->file_descriptor(), LOCK_UN);
    }
    marker_locked_ = false;
}

InterfaceServer::~InterfaceServer()
{
    marker_.reset();
}

void InterfaceServer::report(const std::string& text)
{
    std::cerr << text << std::endl;
}

bool InterfaceServer::open()
{
    if (connected())
        return true;
    // A name the channel cannot have is reported by the channel itself.
    if (channel_name_problem(name()).empty() && !claim_marker())
        return false;
    if (!ComponentInterface::open()) {
        release_marker();
        return false;
    }
    try {
        discard_queued();
        done_signal()->release();
    } catch (...) {
        set_connected(false);
        set_error("interface \"" + name() + "\": discarding the queued commands failed");
    }
    return connected();
}

void InterfaceServer::discard_queued()
{
    // Bounded by the most messages the ring can hold, so clients that keep
    // pushing cannot hold the server here.
    const std::uint32_t most = queue().ring_size() / 4 + 1;
    Message message;
    std::string problem;
    for (std::uint32_t i = 0; i < most; ++i) {
        const SharedQueue::PopResult result = queue().pop(message, &problem);
        if (result == SharedQueue::PopResult::message)
            continue;
        if (result != SharedQueue::PopResult::empty)
            report(problem);
        return;
    }
}

void InterfaceServer::service(long wait_ms)
{
    wait_ms = std::clamp(wait_ms, 0L, SERVICE_WAIT_MS);
    if (!connected()) {
        sleep_ms(wait_ms);
        return;
    }
    // Without a signal the step still serves a waiting message: releases
    // beyond 100 outstanding signals are lost, and their messages would
    // otherwise lag behind for good, each later query answered one step late.
    // Nor does it wait for a signal while messages are queued: a flood that
    // lost its signals would otherwise be served at one message per 10 ms.
    // The signal that belongs to the message is still taken when it is there.
    if (queue().count() > 0)
        start_signal()->wait(0);
    else
        start_signal()->wait(wait_ms);
    Message message;
    std::string problem;
    const SharedQueue::PopResult result = queue().pop(message, &problem);
    if (result == SharedQueue::PopResult::failed) {
        // An unusable lock stays unusable; say so once, not every 10 ms.
        if (!pop_failure_reported_)
            report(problem);
        pop_failure_reported_ = true;
        return;
    }
    pop_failure_reported_ = false;
    if (result == SharedQueue::PopResult::empty)
        return;
    if (result == SharedQueue::PopResult::corrupt) {
        report(problem);
        return;
    }
    const MethodSpec* method = find_method(message.id());
    if (method != nullptr && method->layout_known() && !message.fits(*method)) {
        report("interface \"" + name() + "\": message for \"" + std::string(method->name) + "\" (id " +
               std::to_string(method->id) + ") is " + std::to_string(message.size()) +
               " bytes long, shorter than its " + std::to_string(method->length) + " bytes; ignored");
        return;
    }
    dispatch(message);
}

const Field& InterfaceServer::result_slot(const MethodSpec& method, int k, FieldType type) const
{
    if (k < 0 || k >= method.result_count)
        method_table_error("result index outside the method's results");
    if (method.results[k].type != type)
        method_table_error("result given with another type than its slot");
    return method.results[k];
}

void InterfaceServer::write_result(const MethodSpec& method, int k, std::int32_t value)
{
    write_slot(result_slot(method, k, FieldType::i32), value);
}

void InterfaceServer::write_result(const MethodSpec& method, int k, double value)
{
    write_slot(result_slot(method, k, FieldType::f64), value);
}

void InterfaceServer::write_result(const MethodSpec& method, int k, std::string_view text)
{
    write_slot(result_slot(method, k, FieldType::string), text);
}

void InterfaceServer::complete(const MethodSpec& method, const Message& message)
{
    set_completed_call(message.call_id(method));
    done_signal()->release();
}

void InterfaceServer::reply(const MethodSpec& method, const Message& message, std::initializer_list<Result> results)
{
    if (static_cast<int>(results.size()) != method.result_count)
        method_table_error("reply with another number of results than the method has");
    int k = 0;
    for (const Result& r : results) {
        std::visit([&](const auto& value) { write_result(method, k, value); }, r);
        ++k;
    }
    complete(method, message);
}
