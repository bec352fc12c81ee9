#include "web/EventHub.h"

#include <algorithm>

std::string EventHub::reset_frame(const std::string& reason) const
{
    // It carries the newest id, so that the client's next reconnect resumes from here.
    return "id: " + std::to_string(last_id_) + "\nevent: reset\ndata: {\"reason\":\"" + reason + "\"}\n\n";
}

std::shared_ptr<EventHub::Subscriber> EventHub::subscribe(std::optional<std::uint64_t> last_seen)
{
    auto s = std::make_shared<Subscriber>();
    std::lock_guard<std::mutex> hold(guard_);
    if (last_seen && *last_seen != last_id_) {
        const std::uint64_t oldest = replay_.empty() ? last_id_ + 1 : replay_.front().first;
        if (*last_seen > last_id_ || *last_seen + 1 < oldest) {
            s->frames.push_back(reset_frame("the events since " + std::to_string(*last_seen) + " are no longer kept"));
        } else {
            for (const auto& [id, frame] : replay_)
                if (id > *last_seen)
                    s->frames.push_back(frame);
        }
    }
    subscribers_.push_back(s);
    return s;
}

void EventHub::unsubscribe(const std::shared_ptr<Subscriber>& s)
{
    std::lock_guard<std::mutex> hold(guard_);
    s->wake = nullptr;
    subscribers_.erase(std::remove(subscribers_.begin(), subscribers_.end(), s), subscribers_.end());
}

void EventHub::publish(const std::string& event, const std::string& data)
{
    {
        std::lock_guard<std::mutex> hold(guard_);
        const std::uint64_t id = ++last_id_;
        const std::string frame = "id: " + std::to_string(id) + "\nevent: " + event + "\ndata: " + data + "\n\n";
        replay_.emplace_back(id, frame);
        if (replay_.size() > REPLAY_LIMIT)
            replay_.pop_front();
        for (const auto& s : subscribers_) {
            // A queue that held frames has its reader woken already.
            const bool was_empty = s->frames.empty();
            if (s->frames.size() >= QUEUE_LIMIT) {
                s->frames.clear();
                s->frames.push_back(reset_frame("this client fell too far behind"));
            } else {
                s->frames.push_back(frame);
            }
            if (was_empty && s->wake && !closed_)
                s->wake();
        }
    }
}

void EventHub::set_wake(Subscriber& s, std::function<void()> wake)
{
    std::lock_guard<std::mutex> hold(guard_);
    if (closed_)
        return;
    s.wake = std::move(wake);
    if (!s.frames.empty() && s.wake)
        s.wake();
}

std::vector<std::string> EventHub::take(Subscriber& s)
{
    std::lock_guard<std::mutex> hold(guard_);
    std::vector<std::string> frames;
    if (closed_)
        return frames;
    frames.assign(std::make_move_iterator(s.frames.begin()), std::make_move_iterator(s.frames.end()));
    s.frames.clear();
    return frames;
}

void EventHub::close()
{
    {
        std::lock_guard<std::mutex> hold(guard_);
        closed_ = true;
        for (const auto& s : subscribers_)
            s->wake = nullptr;
    }
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
