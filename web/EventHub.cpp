#include "web/EventHub.h"

#include <algorithm>

std::shared_ptr<EventHub::Subscriber> EventHub::subscribe()
{
    auto s = std::make_shared<Subscriber>();
    std::lock_guard<std::mutex> hold(guard_);
    subscribers_.push_back(s);
    return s;
}

void EventHub::unsubscribe(const std::shared_ptr<Subscriber>& s)
{
    std::lock_guard<std::mutex> hold(guard_);
    subscribers_.erase(std::remove(subscribers_.begin(), subscribers_.end(), s), subscribers_.end());
}

void EventHub::publish(const std::string& event, const std::string& data)
{
    const std::string frame = "event: " + event + "\ndata: " + data + "\n\n";
    {
        std::lock_guard<std::mutex> hold(guard_);
        for (const auto& s : subscribers_) {
            if (s->frames.size() >= QUEUE_LIMIT) {
                s->frames.pop_front();
                ++s->dropped;
            }
            s->frames.push_back(frame);
        }
    }
    changed_.notify_all();
}

std::optional<std::string> EventHub::next(Subscriber& s, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> hold(guard_);
    changed_.wait_for(hold, wait, [&] { return closed_ || !s.frames.empty(); });
    if (closed_ || s.frames.empty())
        return std::nullopt;
    std::string frame = std::move(s.frames.front());
    s.frames.pop_front();
    return frame;
}

void EventHub::close()
{
    {
        std::lock_guard<std::mutex> hold(guard_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool EventHub::closed() const
{
    std::lock_guard<std::mutex> hold(guard_);
    return closed_;
}

std::size_t EventHub::subscriber_count() const
{
    std::lock_guard<std::mutex> hold(guard_);
    return subscribers_.size();
}
