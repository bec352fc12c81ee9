#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "remote/Monitor.h"
#include "remote/SipperLink.h"

// What became of every operation a remote front end sent to the sipper. The
// sipper's commands are one-way: whether one was taken, and how it ended,
// shows only in its state and its log. The tracker sends operations one at
// a time, refuses beforehand what the sipper would refuse in its state (with
// the line the sipper logs for it), and ties the log lines and state changes
// the monitor observes to the one operation they belong to.
//
//   CommandTracker tracker(link, monitor);      // before monitor.start()
//   tracker.add_listener([&](const CommandTracker::Record& r) { publish(r.to_json()); });
//   CommandTracker::Record r = tracker.submit(op, "retry-key-17");
//   if (r.state == CommandTracker::State::refused) answer 409 with r.message;
//   r = *tracker.wait(r.id, std::chrono::system_clock::now() + 60s);
//
// A record goes queued -> running -> succeeded | failed, or queued -> refused
// (or queued -> succeeded for an operation that is done when the sipper has
// taken it). stop_all_motion is sent at once, never queued behind another
// operation and never refused.
//
// The sipper also runs what other clients send (the other front end,
// sipperctl). When none of ours is in flight and the sipper turns busy or
// logs the start of an operation, that operation gets a record of its own,
// `external`, running from then on, its kind ("home", "sip"; "unknown" when
// the log does not tell) taken from the log, followed to its end like ours.
class CommandTracker {
public:
    enum class State { queued, running, succeeded, failed, refused };
    using Clock = std::chrono::system_clock;

    struct Operation {
        std::string name;  // the front end's name: "sip", "park", ...
        std::uint16_t method = 0;
        SipperLink::Args args;
        nlohmann::json sent;  // method and named arguments, as shown in the record
        std::string well;     // a sip's target ("B7", "matrix2"); empty otherwise
    };

    struct Record {
        std::uint64_t id = 0;
        std::string key;
        Operation operation;
        State state = State::queued;
        Clock::time_point created{};
        std::optional<Clock::time_point> started, ended;
        std::string message;  // the sipper's text for a refusal or failure
        std::string outcome;  // a sip's: "seen", "missed", "done" (no sensor); "" otherwise
        // The channel's result when the sipper could not be reached at all.
        int link_result = call_ok;
        // Started by another client; only seen here.
        bool external = false;
        bool unreachable() const { return link_result != call_ok; }

        bool finished() const { return state != State::queued && state != State::running; }
        nlohmann::json to_json() const;
    };

    using Listener = std::function<void(const Record&)>;

    CommandTracker(SipperLink& link, Monitor& monitor);
    CommandTracker(const CommandTracker&) = delete;
    CommandTracker& operator=(const CommandTracker&) = delete;

    // Sends the operation once the previous one has shown its start, and
    // returns its record once the sipper has taken it (running, or ended for
    // an instant one) or refused it. A key given before (still among the
    // kept records) returns that record and sends nothing.
    Record submit(const Operation& operation, const std::string& key = "");
    std::optional<Record> get(std::uint64_t id) const;
    // The newest records first.
    std::vector<Record> list(std::size_t limit) const;
    // The record once it has ended, or as it is at the deadline.
    std::optional<Record> wait(std::uint64_t id, Clock::time_point deadline) const;
    // Called on every change of a record, in order; it must not call back.
    void add_listener(Listener listener);

    // The monitor's observations (see Monitor::Observer).
    void observe(const std::vector<std::string>& lines, const nlohmann::json& status,
                 Monitor::Clock::time_point taken);

    static const char* state_name(State s);

    static constexpr std::size_t MAX_RECORDS = 1000;
    static constexpr std::size_t MAX_KEY = 64;
    // How long a sent operation may show no sign of the sipper taking it.
    static constexpr std::chrono::milliseconds START_WAIT{5000};
    // An operation that shows neither its start nor a refusal this long after
    // it was sent, while the sipper is not busy, ran and ended between two looks.
    static constexpr std::chrono::milliseconds QUICK_END{300};
    static constexpr std::chrono::milliseconds LOOK_PERIOD{20};

private:
    using RecordPtr = std::shared_ptr<Record>;

    // The operation sent last, until its end is known.
    struct Current {
        RecordPtr record;
        // Set once the call is written; unset, no look can have seen it read.
        std::optional<Monitor::Clock::time_point> sent;
        bool instant = false;
        std::string sensor;      // "seen" / "missed" from the sensor lines
        std::string error_line;  // the first line that tells of a failure
        // Not busy was seen once while running; the task's last lines may
        // still be on their way to the log. The end is decided at the next look.
        std::optional<Monitor::Clock::time_point> idle_seen;
        // When another client's operation was first seen, and whether the
        // sipper was busy then (or only its lines were seen, after its end).
        Monitor::Clock::time_point begun{};
        bool begun_busy = false;
    };

    std::optional<std::string> refusal_before_sending(const Operation& op, const nlohmann::json& status) const;
    Record finish(const RecordPtr& r, State s, const std::string& message, int link_result = call_ok);
    void change(const RecordPtr& r, std::unique_lock<std::mutex>& hold);
    void keep(const RecordPtr& r, std::unique_lock<std::mutex>& hold);
    void begin_external(bool busy, std::unique_lock<std::mutex>& hold);
    void name_external(const std::string& text, std::unique_lock<std::mutex>& hold);
    void end_current(State s, const std::string& message, std::unique_lock<std::mutex>& hold);
    Record send_at_once(const RecordPtr& r);

    SipperLink& link_;
    Monitor& monitor_;

    std::mutex send_guard_;  // one operation sent at a time

    mutable std::mutex guard_;  // everything below
    mutable std::condition_variable changed_;
    std::deque<RecordPtr> records_;
    std::map<std::string, RecordPtr> by_key_;
    std::uint64_t next_id_ = 1;
    std::optional<Current> current_;   // one on the worker task at a time
    std::optional<Current> instant_;   // one done on reading, at a time
    std::vector<Listener> listeners_;
};
