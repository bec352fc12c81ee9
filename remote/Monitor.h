#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "remote/LogFollower.h"
#include "remote/SipperLink.h"

// The eyes on the sipper shared by every remote front end: one observation
// reads the status, then the log lines written up to it, publishes them
// ("status" on every change and at least every 200 ms while busy, every
// second otherwise; one "log" per line) and hands both to the observer (the
// command tracker). Its own thread observes ten times a second while busy,
// four while idle; anyone may ask for an observation now with observe().
//
//   Monitor m(link, "logs/sipper.log", [&](auto& event, auto& data) { hub.publish(event, data); });
//   m.set_observer([&](auto& lines, auto& status, auto taken) { tracker.observe(lines, status, taken); });
//   m.start();
class Monitor {
public:
    using Clock = std::chrono::steady_clock;
    using Publish = std::function<void(const std::string& event, const std::string& data)>;
    // The lines come first: the log is read after the status, so that every
    // line written before the status changed is in the same observation.
    // `taken` is when the observation began (before its first query).
    using Observer = std::function<void(const std::vector<std::string>& lines, const nlohmann::json& status,
                                        Clock::time_point taken)>;

    // Without a log path there are no log events and no lines to observe.
    Monitor(SipperLink& link, std::string log_path, Publish publish);
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Set before start().
    void set_observer(Observer observer);
    void start();
    void stop();

    // One observation now, serialised with the thread's own; the status read.
    nlohmann::json observe();

    // The status document; when the sipper does not answer, the failed reply
    // is in `failure` and the document says so.
    static nlohmann::json snapshot(SipperLink& link, SipperLink::Reply& failure);

    // The last status event's data ("" before the first).
    std::string last_status() const;
    // The sipper's text that put it in the error state, as far as its log
    // tells ("" when unknown or not in error).
    std::string error_reason() const;

    // The sipper's own text of a log line: what follows "<Sipper>: ".
    static std::string text_of(const std::string& line);

    static constexpr std::chrono::milliseconds BUSY_PERIOD{100};
    static constexpr std::chrono::milliseconds IDLE_PERIOD{250};
    static constexpr std::chrono::milliseconds BUSY_EVENT_PERIOD{200};
    static constexpr std::chrono::milliseconds IDLE_EVENT_PERIOD{1000};

private:
    void run();
    void note_error_lines(const std::vector<std::string>& lines, const nlohmann::json& status);

    SipperLink& link_;
    Publish publish_;
    Observer observer_;
    std::unique_ptr<LogFollower> log_;

    std::mutex observe_guard_;  // one observation at a time; the members below it
    nlohmann::json last_;
    Clock::time_point last_sent_{};

    mutable std::mutex guard_;  // last_status_, error_line_, in_error_
    std::string last_status_;
    std::string error_line_;
    bool in_error_ = false;

    std::atomic<bool> stopping_{false};
    std::mutex wake_guard_;
    std::condition_variable wake_;
    std::thread thread_;
};
