#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "remote/CommandTracker.h"
#include "remote/SipperLink.h"

// GET /metrics: the sipper's state as the monitor last saw it, the
// operations and sips by outcome, and the channel's call times, in the
// Prometheus text format. Nothing here asks the sipper: a scrape never
// waits for it.
//
//   metrics.count(record);                       // every record that ended
//   std::string text = metrics.render(status, reason, link.call_times());
class Metrics {
public:
    void count(const CommandTracker::Record& r);
    // `status` is the monitor's last status document (null before the first).
    std::string render(const nlohmann::json& status, const std::string& error_reason,
                       const SipperLink::CallTimes& calls) const;

    static constexpr const char* CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

private:
    mutable std::mutex guard_;
    std::map<std::string, std::uint64_t> operations_;  // by state: succeeded, failed, refused
    std::map<std::string, std::uint64_t> sips_;        // by outcome
};
