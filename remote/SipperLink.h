#pragma once
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interfaces/InterfaceClient.h"
#include "interfaces/SipperIF.h"

// sipper-web's one connection to the sipper's interface, shared by the
// status monitor and the request handlers.
//
//   SipperLink link("Sipper");
//   SipperLink::Reply r = link.query(sipper_methods::GET_STATUS);
//   if (!r.ok()) respond 503 with r.result and r.text;
//
// The channel is opened only when its objects exist, so that sipper-web never
// creates a channel nobody serves. A failed call drops the client, and the
// next call opens the channel afresh; a channel whose objects were removed or
// made anew (the sipper restarted) is noticed by its inode before a call
// waits on objects nobody serves any more.
class SipperLink {
public:
    struct Reply {
        int result = call_not_connected;
        std::string text;  // "not connected: ...", "timeout: ..." when not ok
        std::vector<InterfaceClient::Value> values;
        bool ok() const { return result == call_ok; }
    };

    explicit SipperLink(std::string interface_name);
    SipperLink(const SipperLink&) = delete;
    SipperLink& operator=(const SipperLink&) = delete;

    // A query (results in values) or a one-way call of the sipper's or the
    // component's table, by method id.
    // An argument of the wrong type for the method's field raises Exception.
    using Args = std::vector<InterfaceClient::Value>;
    Reply query(std::uint16_t method_id, const Args& args = {});
    Reply call(std::uint16_t method_id, const Args& args = {});

    const std::string& interface_name() const { return name_; }

    // Every call's time, from asking for the link to its result, counted in
    // cumulative buckets (for the metrics: a histogram).
    struct CallTimes {
        static constexpr std::array<double, 9> BOUNDS{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.05, 0.1, 0.5, 1.0};
        std::array<std::uint64_t, BOUNDS.size()> at_most{};
        std::uint64_t count = 0;
        std::uint64_t failed = 0;
        double seconds = 0;
    };
    CallTimes call_times() const;

    // Short name of a call result: "ok", "not connected", "timeout", ...
    static const char* result_name(int result);

    // How long a request handler waits for the link while another caller
    // holds it (a query to a sipper that hangs can take the channel's whole
    // timeout; one that died is found within a tenth of a second); then it
    // reports a timeout instead of hanging the request.
    static constexpr std::chrono::milliseconds LINK_WAIT{1500};

private:
    Reply run(std::uint16_t method_id, const Args& args, bool want_query);
    Reply timed(std::uint16_t method_id, const Args& args, bool want_query);
    bool ensure_open(Reply& reply);
    std::string describe(int result) const;

    // One caller at a time uses the client; the others wait for `in_use_` to
    // clear, at most LINK_WAIT. (A plain flag under a mutex rather than a
    // timed mutex, whose timed lock ThreadSanitizer cannot follow.)
    std::mutex guard_;
    std::condition_variable released_;
    bool in_use_ = false;

    mutable std::mutex times_guard_;
    CallTimes times_;

    std::string name_;
    std::unique_ptr<SipperIF> client_;  // only while in_use_ is ours
    ino_t inode_ = 0;
};
