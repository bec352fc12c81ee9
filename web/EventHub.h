#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Fans server-sent events out to every connected browser. Every event has an
// id; the last REPLAY_LIMIT are kept, so that a client reconnecting with
// Last-Event-ID gets what it missed. Each subscriber has its own queue: a
// slow one never holds up the others or the publisher; when it falls
// QUEUE_LIMIT behind, its queue is replaced by one "reset" event telling it
// to read the state afresh, rather than losing events without a word.
// Nobody waits on the hub: a subscriber's wake function is called (under
// the hub's lock, so it must only post) when its empty queue gains a
// frame: the reader takes every frame queued once woken.
//
//   auto sub = hub.subscribe(last_event_id);   // std::nullopt: from now on
//   hub.set_wake(*sub, [=] { post(pump); });
//   hub.publish("status", R"({"status":0})");
//   std::vector<std::string> frames = hub.take(*sub);   // {"id: 7\nevent: status\ndata: ...\n\n"}
class EventHub {
public:
    struct Subscriber {
        std::deque<std::string> frames;
        std::function<void()> wake;
    };

    static constexpr std::size_t QUEUE_LIMIT = 1000;
    static constexpr std::size_t REPLAY_LIMIT = 1000;

    // With the id of the last event a client saw, the events after it are
    // queued first; a "reset" when they are no longer all kept.
    std::shared_ptr<Subscriber> subscribe(std::optional<std::uint64_t> last_seen = std::nullopt);
    void unsubscribe(const std::shared_ptr<Subscriber>& s);

    // One event to every subscriber; data is one JSON text (no line breaks).
    void publish(const std::string& event, const std::string& data);

    // Called when the empty queue gains a frame, and once now when frames wait.
    void set_wake(Subscriber& s, std::function<void()> wake);
    // Every frame queued for `s`, without waiting; none once closed.
    std::vector<std::string> take(Subscriber& s);

    // No subscriber is woken after this returns (the server is stopping).
    void close();
    bool closed() const;
    std::size_t subscriber_count() const;

private:
    std::string reset_frame(const std::string& reason) const;

    mutable std::mutex guard_;
    std::vector<std::shared_ptr<Subscriber>> subscribers_;
    std::deque<std::pair<std::uint64_t, std::string>> replay_;
    std::uint64_t last_id_ = 0;
    bool closed_ = false;
};
