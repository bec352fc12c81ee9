#include "web/Metrics.h"

#include <cstdio>

using nlohmann::json;

namespace {

// A label value: backslash, double quote and line break escaped.
std::string label(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

void family(std::string& out, const char* name, const char* type, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

void Metrics::count(const CommandTracker::Record& r)
{
    if (!r.finished())
        return;
    std::lock_guard<std::mutex> hold(guard_);
    ++operations_[CommandTracker::state_name(r.state)];
    if (!r.operation.well.empty())
        ++sips_[r.state == CommandTracker::State::succeeded ? r.outcome : CommandTracker::state_name(r.state)];
}

std::string Metrics::render(const json& status, const std::string& error_reason,
                            const SipperLink::CallTimes& calls) const
{
    const bool up = status.is_object() && status.value("connected", false);
    std::string out;
    family(out, "sipper_up", "gauge", "Whether the sipper answered sipper-web's last look.");
    out += std::string("sipper_up ") + (up ? "1" : "0") + "\n";
    if (up) {
        family(out, "sipper_state", "gauge", "Component state: 0 CREATED, 1 READY, 2 RUNNING, ...");
        out += "sipper_state " + std::to_string(status.value("state", 0)) + "\n";
        family(out, "sipper_status", "gauge", "1 for the sipper's status now: idle, busy or error.");
        for (const char* s : {"idle", "busy", "error"})
            out += std::string("sipper_status{status=\"") + s + "\"} " +
                   (status.value("status_name", "") == s ? "1" : "0") + "\n";
        family(out, "sipper_homed", "gauge", "Whether the axes are homed.");
        out += std::string("sipper_homed ") + (status.value("homed", false) ? "1" : "0") + "\n";
        family(out, "sipper_configured", "gauge", "Whether the sipper is configured.");
        out += std::string("sipper_configured ") + (status.value("configured", false) ? "1" : "0") + "\n";
        family(out, "sipper_kill_switch_tripped", "gauge", "Whether a kill switch (inhibit input) is tripped.");
        out += std::string("sipper_kill_switch_tripped ") + (status.value("inhibit_tripped", false) ? "1" : "0") + "\n";
    }
    family(out, "sipper_last_error_info", "gauge", "The sipper's line that put it in the error state, while it is.");
    if (up && status.value("status_name", "") == "error")
        out += "sipper_last_error_info{reason=\"" + label(error_reason) + "\"} 1\n";
    {
        std::lock_guard<std::mutex> hold(guard_);
        family(out, "sipper_operations_total", "counter", "Operations sent through sipper-web, by how they ended.");
        for (const char* s : {"succeeded", "failed", "refused"}) {
            auto it = operations_.find(s);
            out += std::string("sipper_operations_total{outcome=\"") + s + "\"} " +
                   std::to_string(it == operations_.end() ? 0 : it->second) + "\n";
        }
        family(out, "sipper_sips_total", "counter", "Sips by outcome: seen, missed, done (no sensor), failed, refused.");
        for (const char* s : {"seen", "missed", "done", "failed", "refused"}) {
            auto it = sips_.find(s);
            out += std::string("sipper_sips_total{outcome=\"") + s + "\"} " +
                   std::to_string(it == sips_.end() ? 0 : it->second) + "\n";
        }
    }
    family(out, "sipper_channel_call_duration_seconds", "histogram",
           "Calls to the sipper's interface, from asking for the link to the result.");
    for (std::size_t i = 0; i < SipperLink::CallTimes::BOUNDS.size(); ++i)
        out += "sipper_channel_call_duration_seconds_bucket{le=\"" + number(SipperLink::CallTimes::BOUNDS[i]) + "\"} " +
               std::to_string(calls.at_most[i]) + "\n";
    out += "sipper_channel_call_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(calls.count) + "\n";
    out += "sipper_channel_call_duration_seconds_sum " + number(calls.seconds) + "\n";
    out += "sipper_channel_call_duration_seconds_count " + std::to_string(calls.count) + "\n";
    family(out, "sipper_channel_calls_failed_total", "counter", "Calls to the sipper that did not succeed.");
    out += "sipper_channel_calls_failed_total " + std::to_string(calls.failed) + "\n";
    return out;
}
