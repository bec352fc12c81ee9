#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

// The last status document the monitor published, numbered, for the
// subscriptions to observable properties: each waits for a newer one and
// sends its property when its value changed.
//
//   StatusBoard::Seen s = board.wait_newer(seen, 250ms);   // s.version == seen: nothing new
class StatusBoard {
  public:
    struct Seen {
        std::uint64_t version = 0;
        nlohmann::json status;
    };

    // The data of a "status" event of the monitor.
    void publish(const std::string& status_text);
    Seen latest() const;
    // The first status newer than `seen`, or the latest at the timeout or on close.
    Seen wait_newer(std::uint64_t seen, std::chrono::milliseconds timeout) const;
    // Wakes every waiter; the server is stopping.
    void close();
    bool closed() const;

    // Property subscriptions open now: while there is one, the gateway looks
    // at the sipper more often than the monitor does.
    void subscribe();
    void unsubscribe();
    // Waits until a subscription is open (or the board closes, or the timeout).
    bool wait_subscribed(std::chrono::milliseconds timeout) const;

  private:
    mutable std::mutex guard_;
    mutable std::condition_variable changed_;
    Seen latest_;
    bool closed_ = false;
    int subscribers_ = 0;
};
