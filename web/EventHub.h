#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Fans server-sent events out to every connected browser. Each subscriber has
// its own queue, so a slow one loses its oldest events and never holds up the
// others or the publisher.
//
//   auto sub = hub.subscribe();
//   hub.publish("status", R"({"status":0})");
//   std::optional<std::string> frame = hub.next(*sub, 1s);   // "event: status\ndata: ...\n\n"
class EventHub {
public:
    struct Subscriber {
        std::deque<std::string> frames;
        std::size_t dropped = 0;
    };

    // Frames a subscriber may fall behind by before its oldest are dropped.
    static constexpr std::size_t QUEUE_LIMIT = 1000;

    std::shared_ptr<Subscriber> subscribe();
    void unsubscribe(const std::shared_ptr<Subscriber>& s);

    // One event to every subscriber; data is one JSON text (no line breaks).
    void publish(const std::string& event, const std::string& data);

    // The next frame of `s`, waiting at most `wait`; nothing when the wait
    // ended empty or the hub closed.
    std::optional<std::string> next(Subscriber& s, std::chrono::milliseconds wait);

    // Wakes every waiting subscriber for good (the server is stopping).
    void close();
    bool closed() const;
    std::size_t subscriber_count() const;

private:
    mutable std::mutex guard_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Subscriber>> subscribers_;
    bool closed_ = false;
};
