#pragma once
#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "remote/CommandTracker.h"
#include "remote/Monitor.h"
#include "remote/SipperLink.h"
#include "sila/StatusBoard.h"

// sipper-sila's side of the sipper: the one link to its interface, the
// monitor of its status and log, the tracker of the operations sent, and the
// status board the property subscriptions read. The features translate SiLA
// calls into the tracker's operations and its records into SiLA answers.
//
//   SipperGateway gateway({"Sipper", "", "logs/sipper.log"});
//   gateway.start();
//   auto op = SipperGateway::operation("home", sipper_methods::HOME);
//   CommandTracker::Record r = gateway.run(op, abandon, on_taken);
//   if (r.state != CommandTracker::State::succeeded)
//       answer SipperGateway::error_identifier(r) with r.message
class SipperGateway {
  public:
    struct Options {
        std::string interface_name = "Sipper";
        std::string config_dir;  // empty: ask the sipper
        std::string log_file;    // empty: no log lines, no sip outcomes from them
    };

    explicit SipperGateway(Options options);
    ~SipperGateway();
    SipperGateway(const SipperGateway&) = delete;
    SipperGateway& operator=(const SipperGateway&) = delete;

    void start();
    void stop();

    // Sends the operation, calls `taken` once the sipper took it, and returns
    // its record once it ended, or once `abandon` says so (checked every
    // LOOK), as it is then.
    template <class Abandon, class Taken>
    CommandTracker::Record run(const CommandTracker::Operation& op, Abandon abandon, Taken taken) {
        CommandTracker::Record r = tracker_.submit(op);
        if (r.state == CommandTracker::State::running ||
            r.state == CommandTracker::State::succeeded)
            taken();
        while (!r.finished() && !abandon()) {
            const std::optional<CommandTracker::Record> now =
                tracker_.wait(r.id, CommandTracker::Clock::now() + LOOK);
            if (now) r = *now;
        }
        return r;
    }
    // The record once the sipper took or refused the operation.
    CommandTracker::Record submit(const CommandTracker::Operation& op) {
        return tracker_.submit(op);
    }

    // The status observed now (the board's last may be older than a new
    // subscriber's first value should be).
    nlohmann::json status();
    SipperLink& link() { return link_; }
    StatusBoard& board() { return board_; }
    const Options& options() const { return options_; }

    static CommandTracker::Operation operation(const std::string& name, std::uint16_t method,
                                               SipperLink::Args args = {},
                                               nlohmann::json arguments = nlohmann::json::object(),
                                               const std::string& well = "");

    // The defined error a record that did not succeed stands for, by the
    // sipper's own words: SipperBusy, SipperInErrorState, SipperNotHomed,
    // SipperNotConfigured, NoWorkerTask, SipperNotAnswering or OperationFailed.
    static std::string error_identifier(const CommandTracker::Record& r);

    static constexpr std::chrono::milliseconds LOOK{200};
    // How often the sipper is looked at while a property subscription is
    // open, so that an update follows a change within this (the monitor
    // alone looks four times a second while the sipper is idle).
    static constexpr std::chrono::milliseconds WATCH_PERIOD{10};

  private:
    Options options_;
    SipperLink link_;
    StatusBoard board_;
    Monitor monitor_;
    CommandTracker tracker_;
    std::thread watcher_;
};
