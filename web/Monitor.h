#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "web/CommandParser.h"
#include "web/EventHub.h"
#include "web/LogFollower.h"
#include "web/SipperLink.h"

// The one thread that watches the sipper for the browsers: it polls the
// status (ten times a second while busy, four while idle), follows the log
// file, and publishes "status", "log" and "sip" events. A status event goes
// out on every change, at least every 200 ms while busy and every second
// otherwise.
//
// Sip outcomes come from the sipper's own lines (so they need the log file):
// "seen" when the sensor fired on the way down or in the well, "missed" for
// "NEVER SAW SIP SENSOR OUTPUT"; a sip that ends idle without a sensor line
// was timed ("done"), one that ends in the error state without one "failed".
// Only sips sent through sipper-web have a known well; sensor lines of other
// clients' sips are published without one.
class Monitor {
public:
    // Without a log path there are no log events and every sip is "done" or "failed".
    Monitor(SipperLink& link, EventHub& hub, std::string log_path);
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    void start();
    void stop();

    // The status document of GET /status; when the sipper does not answer,
    // the failed reply is in `failure` and the document says so.
    static nlohmann::json snapshot(SipperLink& link, SipperLink::Reply& failure);

    // The last status event's data ("" before the first).
    std::string last_status() const;

    // The sip just sent; its outcome is published when it ends.
    void sip_sent(const CommandParser::SipOrder& order);
    // The sip announced with sip_sent could not be handed to the sipper.
    void sip_not_sent();

    static constexpr std::chrono::milliseconds BUSY_PERIOD{100};
    static constexpr std::chrono::milliseconds IDLE_PERIOD{250};
    static constexpr std::chrono::milliseconds BUSY_EVENT_PERIOD{200};
    static constexpr std::chrono::milliseconds IDLE_EVENT_PERIOD{1000};
    // A sip the sipper never started (refused) is given up after this.
    static constexpr std::chrono::milliseconds SIP_START_WAIT{5000};

private:
    using Clock = std::chrono::steady_clock;

    struct PendingSip {
        CommandParser::SipOrder order;
        bool started = false;
        Clock::time_point sent;
        std::string hint;    // "seen" or "missed" from the sensor lines
        std::string detail;  // the line that decided it, or the error
    };

    void run();
    void read_log();
    void track_sip(const nlohmann::json& status);
    void publish_sip(const std::optional<CommandParser::SipOrder>& order, const std::string& outcome,
                     const std::string& detail);

    SipperLink& link_;
    EventHub& hub_;
    std::unique_ptr<LogFollower> log_;

    mutable std::mutex guard_;  // pending_, last_status_
    std::optional<PendingSip> pending_;
    std::string last_status_;

    std::atomic<bool> stopping_{false};
    std::mutex wake_guard_;
    std::condition_variable wake_;
    std::thread thread_;
};
