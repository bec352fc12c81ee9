#include "sila/StatusBoard.h"

void StatusBoard::publish(const std::string& status_text) {
    nlohmann::json status = nlohmann::json::parse(status_text, nullptr, false);
    if (status.is_discarded()) return;
    {
        std::lock_guard<std::mutex> hold(guard_);
        latest_.status = std::move(status);
        ++latest_.version;
    }
    changed_.notify_all();
}

StatusBoard::Seen StatusBoard::latest() const {
    std::lock_guard<std::mutex> hold(guard_);
    return latest_;
}

StatusBoard::Seen StatusBoard::wait_newer(std::uint64_t seen,
                                          std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> hold(guard_);
    changed_.wait_for(hold, timeout, [&] { return closed_ || latest_.version != seen; });
    return latest_;
}

void StatusBoard::close() {
    {
        std::lock_guard<std::mutex> hold(guard_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool StatusBoard::closed() const {
    std::lock_guard<std::mutex> hold(guard_);
    return closed_;
}

void StatusBoard::subscribe() {
    {
        std::lock_guard<std::mutex> hold(guard_);
        ++subscribers_;
    }
    changed_.notify_all();
}

void StatusBoard::unsubscribe() {
    std::lock_guard<std::mutex> hold(guard_);
    --subscribers_;
}

bool StatusBoard::wait_subscribed(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> hold(guard_);
    changed_.wait_for(hold, timeout, [&] { return closed_ || subscribers_ > 0; });
    return subscribers_ > 0 && !closed_;
}
