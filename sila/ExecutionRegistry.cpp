#include "sila/ExecutionRegistry.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "sila/ServerIdentity.h"
#include "sila/SilaError.h"

namespace fw = sila2::org::silastandard;

namespace {

void set_duration(fw::Duration* d, std::chrono::nanoseconds span) {
    span = std::max(span, std::chrono::nanoseconds(0));
    d->set_seconds(std::chrono::duration_cast<std::chrono::seconds>(span).count());
    d->set_nanos(static_cast<std::int32_t>((span % std::chrono::seconds(1)).count()));
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

grpc::Status unknown_uuid(const std::string& uuid) {
    return SilaError::framework(
        SilaError::Framework::invalid_command_execution_uuid,
        "No execution of this command has the UUID \"" + uuid + "\" (or its lifetime has ended).");
}

}  // namespace

void ExecutionRegistry::Progress::running(double progress) {
    std::lock_guard<std::mutex> hold(registry_.guard_);
    auto it = registry_.executions_.find(uuid_);
    if (it == registry_.executions_.end()) return;
    Execution& e = *it->second;
    const Clock::time_point now = Clock::now();
    if (!e.started) {
        e.started = now;
        const auto last = registry_.last_duration_.find(e.command_fqi);
        if (last != registry_.last_duration_.end()) e.estimated_end = now + last->second;
    }
    e.status = Status::running;
    e.progress = std::clamp(progress, 0.0, 1.0);
    registry_.changed(e);
}

bool ExecutionRegistry::Progress::cancelled() const {
    std::lock_guard<std::mutex> hold(registry_.guard_);
    auto it = registry_.executions_.find(uuid_);
    return it == registry_.executions_.end() || it->second->cancelled || registry_.stopping_;
}

ExecutionRegistry::ExecutionRegistry(std::function<void()> on_cancel)
    : on_cancel_(std::move(on_cancel)) {}

ExecutionRegistry::~ExecutionRegistry() {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> hold(guard_);
        stopping_ = true;
        for (auto& [uuid, e] : executions_)
            if (e->worker.joinable()) workers.push_back(std::move(e->worker));
    }
    changed_.notify_all();
    for (std::thread& t : workers) t.join();
}

void ExecutionRegistry::changed(Execution& e) {
    ++e.version;
    e.expiry = std::max(e.expiry, Clock::now() + LIFETIME);
    changed_.notify_all();
}

std::string ExecutionRegistry::start(const std::string& command_fqi, Work work) {
    std::unique_lock<std::mutex> hold(guard_);
    reap(hold);
    std::string uuid = ServerIdentity::new_uuid();
    while (executions_.count(uuid) != 0) uuid = ServerIdentity::new_uuid();
    auto e = std::make_shared<Execution>();
    e->command_fqi = command_fqi;
    e->expiry = Clock::now() + LIFETIME;
    executions_[uuid] = e;
    e->worker = std::thread([this, uuid, work = std::move(work)] {
        Progress progress(*this, uuid);
        Outcome outcome;
        try {
            outcome = work(progress);
        } catch (const std::exception& x) {
            outcome.error = SilaError::undefined(std::string("The command failed: ") + x.what());
        }
        finish(uuid, std::move(outcome));
    });
    return uuid;
}

void ExecutionRegistry::finish(const std::string& uuid, Outcome outcome) {
    std::lock_guard<std::mutex> hold(guard_);
    auto it = executions_.find(uuid);
    if (it == executions_.end()) return;
    Execution& e = *it->second;
    if (e.cancelled) outcome.error = SilaError::undefined(std::string(CANCELLED_TEXT) + ".");
    e.status = outcome.error.ok() ? Status::succeeded : Status::failed;
    if (e.status == Status::succeeded) {
        e.progress = 1.0;
        if (e.started) last_duration_[e.command_fqi] = Clock::now() - *e.started;
    }
    e.estimated_end.reset();
    e.outcome = std::move(outcome);
    e.worker_done = true;
    changed(e);
}

// Joins the threads of ended executions and forgets those whose lifetime is over.
void ExecutionRegistry::reap(std::unique_lock<std::mutex>& hold) {
    std::vector<std::thread> done;
    const Clock::time_point now = Clock::now();
    for (auto it = executions_.begin(); it != executions_.end();) {
        Execution& e = *it->second;
        if (e.worker_done && e.worker.joinable()) done.push_back(std::move(e.worker));
        if (e.worker_done && e.expiry < now)
            it = executions_.erase(it);
        else
            ++it;
    }
    hold.unlock();
    for (std::thread& t : done) t.join();
    hold.lock();
}

ExecutionRegistry::ExecutionPtr ExecutionRegistry::find(const std::string& uuid,
                                                        const std::string& command_fqi) {
    auto it = executions_.find(lower(uuid));
    if (it == executions_.end() || it->second->expiry < Clock::now() ||
        (!command_fqi.empty() && it->second->command_fqi != command_fqi))
        return nullptr;
    return it->second;
}

void ExecutionRegistry::confirm(const std::string& uuid, fw::CommandConfirmation* reply) {
    std::lock_guard<std::mutex> hold(guard_);
    reply->mutable_commandexecutionuuid()->set_value(uuid);
    auto it = executions_.find(uuid);
    const Clock::time_point expiry =
        it == executions_.end() ? Clock::now() + LIFETIME : it->second->expiry;
    set_duration(reply->mutable_lifetimeofexecution(), expiry - Clock::now());
}

fw::ExecutionInfo ExecutionRegistry::info_of(const Execution& e) const {
    fw::ExecutionInfo info;
    const Clock::time_point now = Clock::now();
    switch (e.status) {
        case Status::waiting:
            info.set_commandstatus(fw::ExecutionInfo::waiting);
            break;
        case Status::running:
            info.set_commandstatus(fw::ExecutionInfo::running);
            break;
        case Status::succeeded:
            info.set_commandstatus(fw::ExecutionInfo::finishedSuccessfully);
            break;
        case Status::failed:
            info.set_commandstatus(fw::ExecutionInfo::finishedWithError);
            break;
    }
    info.mutable_progressinfo()->set_value(e.progress);
    if (e.estimated_end)
        set_duration(info.mutable_estimatedremainingtime(), *e.estimated_end - now);
    set_duration(info.mutable_updatedlifetimeofexecution(), e.expiry - now);
    return info;
}

grpc::Status ExecutionRegistry::stream_info(grpc::ServerContext* context,
                                            const fw::CommandExecutionUUID& uuid,
                                            const std::string& command_fqi,
                                            grpc::ServerWriter<fw::ExecutionInfo>* writer) {
    std::unique_lock<std::mutex> hold(guard_);
    ExecutionPtr e = find(uuid.value(), command_fqi);
    if (!e) return unknown_uuid(uuid.value());
    std::uint64_t sent = 0;
    for (bool first = true;; first = false) {
        if (first || e->version != sent) {
            sent = e->version;
            const fw::ExecutionInfo info = info_of(*e);
            const bool ended = e->status == Status::succeeded || e->status == Status::failed;
            hold.unlock();
            if (!writer->Write(info) || ended) return grpc::Status::OK;
            hold.lock();
        }
        // A stream ends when the client goes, or the server stops.
        changed_.wait_for(hold, std::chrono::milliseconds(250),
                          [&] { return stopping_ || e->version != sent; });
        if (stopping_ || context->IsCancelled()) return grpc::Status::OK;
    }
}

grpc::Status ExecutionRegistry::result(const fw::CommandExecutionUUID& uuid,
                                       const std::string& command_fqi, std::string& value) {
    std::lock_guard<std::mutex> hold(guard_);
    ExecutionPtr e = find(uuid.value(), command_fqi);
    if (!e) return unknown_uuid(uuid.value());
    if (e->status == Status::waiting || e->status == Status::running)
        return SilaError::framework(
            SilaError::Framework::command_execution_not_finished,
            "The command has not finished yet; follow it with its _Info call.");
    value = e->outcome.value;
    return e->outcome.error;
}

ExecutionRegistry::Cancel ExecutionRegistry::cancel(const std::string& uuid) {
    {
        std::lock_guard<std::mutex> hold(guard_);
        ExecutionPtr e = find(uuid, "");
        if (!e) return Cancel::unknown;
        if (e->worker_done) return Cancel::ended;
        e->cancelled = true;
        changed(*e);
    }
    on_cancel_();
    return Cancel::cancelled;
}

void ExecutionRegistry::cancel_all() {
    bool any = false;
    {
        std::lock_guard<std::mutex> hold(guard_);
        for (auto& [uuid, e] : executions_)
            if (!e->worker_done) {
                e->cancelled = true;
                changed(*e);
                any = true;
            }
    }
    if (any) on_cancel_();
}
