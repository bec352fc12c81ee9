#include "web/Monitor.h"

#include <cmath>
#include <cstdio>

#include "interfaces/ComponentMethods.h"
#include "interfaces/SipperMethods.h"
#include "utilities/Exception.h"

using nlohmann::json;

namespace {

// The sensed descent ends with "SIP SENSOR 1 , t" when the sensor fired on
// the way down, "SIP SENSOR 0 , t" when not; the wait in the well then ends
// with one of the other two.
const char* const SEEN_ON_DESCENT = "SIP SENSOR 1 , ";
const char* const SEES_SAMPLE = "SIP SENSOR SEES SAMPLE";
const char* const NEVER_SAW = "NEVER SAW SIP SENSOR OUTPUT";
const char* const SIP_REFUSED = "sip Error, ";
const char* const TASK_ERROR = "SipperTask Error : ";

int as_int(const SipperLink::Reply& r, std::size_t k = 0)
{
    return k < r.values.size() ? std::get<std::int32_t>(r.values[k]) : 0;
}

// The sipper reports an axis it cannot read as a huge value.
json axis(double v)
{
    return std::fabs(v) > 1e9 ? json(nullptr) : json(v);
}

// Texts from the sipper and its log need not be UTF-8; they must not stop
// the monitor.
std::string as_text(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

Monitor::Monitor(SipperLink& link, EventHub& hub, std::string log_path) : link_(link), hub_(hub)
{
    if (!log_path.empty())
        log_ = std::make_unique<LogFollower>(std::move(log_path));
}

Monitor::~Monitor()
{
    stop();
}

void Monitor::start()
{
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void Monitor::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(wake_guard_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

json Monitor::snapshot(SipperLink& link, SipperLink::Reply& failure)
{
    json s;
    auto ask = [&](std::uint16_t id) {
        SipperLink::Reply r = link.query(id);
        if (!r.ok())
            throw r;
        return r;
    };
    try {
        const int state = as_int(ask(component_methods::GET_STATE));
        const int status = as_int(ask(sipper_methods::GET_STATUS));
        const int homed = as_int(ask(sipper_methods::IS_HOMED));
        const int configured = as_int(ask(sipper_methods::SYSTEM_CONFIGURED));
        const SipperLink::Reply plate = ask(sipper_methods::GET_PLATE_INFO);
        const SipperLink::Reply pos = ask(sipper_methods::GET_CURRENT_POSITIONS);
        const int inhibit = as_int(ask(sipper_methods::GET_INHIBIT_STATE));
        s["connected"] = true;
        s["state"] = state;
        s["state_name"] = component_methods::state_name(state);
        s["status"] = status;
        s["status_name"] = sipper_methods::status_name(status);
        s["homed"] = homed != 0;
        s["configured"] = configured != 0;
        s["plate"] = {{"name", std::get<std::string>(plate.values.at(0))},
                      {"rows", as_int(plate, 1)},
                      {"columns", as_int(plate, 2)}};
        s["position"] = {{"x", axis(std::get<double>(pos.values.at(0)))},
                         {"y", axis(std::get<double>(pos.values.at(1)))},
                         {"z", axis(std::get<double>(pos.values.at(2)))}};
        s["inhibit"] = inhibit;
        s["inhibit_tripped"] = inhibit != 0;
        failure = SipperLink::Reply{call_ok, "", {}};
    } catch (const SipperLink::Reply& r) {
        failure = r;
        s = {{"connected", false},
             {"result", r.result},
             {"result_name", SipperLink::result_name(r.result)},
             {"error", r.text}};
    }
    return s;
}

void Monitor::sip_sent(const CommandParser::SipOrder& order)
{
    std::lock_guard<std::mutex> hold(guard_);
    if (pending_) {
        // The earlier sip never showed its end to the monitor; say so rather
        // than let the new one take its outcome.
        publish_sip(pending_->order, "unknown", "superseded by a newer sip before its end was seen");
    }
    pending_ = PendingSip{order, false, Clock::now(), "", ""};
}

std::string Monitor::last_status() const
{
    std::lock_guard<std::mutex> hold(guard_);
    return last_status_;
}

void Monitor::sip_not_sent()
{
    std::lock_guard<std::mutex> hold(guard_);
    pending_.reset();
}

void Monitor::publish_sip(const std::optional<CommandParser::SipOrder>& order, const std::string& outcome,
                          const std::string& detail)
{
    json e = {{"outcome", outcome}, {"detail", detail}};
    if (order) {
        e["well"] = order->label;
        e["row"] = order->row;
        e["column"] = order->column;
        e["tag"] = order->tag;
    } else {
        e["well"] = nullptr;
    }
    hub_.publish("sip", as_text(e));
}

void Monitor::read_log()
{
    if (!log_)
        return;
    for (const std::string& line : log_->poll()) {
        hub_.publish("log", as_text(json{{"line", line}}));
        std::lock_guard<std::mutex> hold(guard_);
        const bool seen =
            line.find(SEES_SAMPLE) != std::string::npos || line.find(SEEN_ON_DESCENT) != std::string::npos;
        const bool missed = line.find(NEVER_SAW) != std::string::npos;
        if (seen || missed) {
            if (pending_) {
                pending_->hint = seen ? "seen" : "missed";
                pending_->detail = line;
            } else {
                publish_sip(std::nullopt, seen ? "seen" : "missed", line);
            }
        } else if (pending_ && line.find(SIP_REFUSED) != std::string::npos) {
            publish_sip(pending_->order, "refused", line);
            pending_.reset();
        } else if (pending_ && pending_->started && line.find(TASK_ERROR) != std::string::npos &&
                   pending_->detail.empty()) {
            pending_->detail = line;
        }
    }
}

void Monitor::track_sip(const json& status)
{
    std::lock_guard<std::mutex> hold(guard_);
    if (!pending_)
        return;
    if (!status.value("connected", false)) {
        if (pending_->started) {
            publish_sip(pending_->order, "unknown", "the sipper stopped answering during the sip");
            pending_.reset();
        }
        return;
    }
    const int s = status["status"].get<int>();
    if (!pending_->started) {
        if (s == 2)
            pending_->started = true;
        else if (Clock::now() - pending_->sent > SIP_START_WAIT) {
            publish_sip(pending_->order, "refused", "the sipper did not start the sip");
            pending_.reset();
        }
        return;
    }
    if (s == 2)
        return;
    std::string outcome = pending_->hint;
    if (outcome.empty())
        outcome = s == 1 ? "failed" : "done";
    publish_sip(pending_->order, outcome, pending_->detail);
    pending_.reset();
}

void Monitor::run()
{
    json last;
    Clock::time_point last_sent{};
    while (!stopping_) {
        bool busy = false;
        try {
            read_log();
            SipperLink::Reply failure;
            json status = snapshot(link_, failure);
            track_sip(status);
            busy = status.value("status", 0) == 2 && status.value("connected", false);
            const auto now = Clock::now();
            const auto period = busy ? BUSY_EVENT_PERIOD : IDLE_EVENT_PERIOD;
            if (status != last || now - last_sent >= period) {
                const std::string text = as_text(status);
                {
                    std::lock_guard<std::mutex> hold(guard_);
                    last_status_ = text;
                }
                hub_.publish("status", text);
                last = status;
                last_sent = now;
            }
        } catch (const std::exception& e) {
            // One bad pass (an unreadable log, say) must not end the watch.
            std::fprintf(stderr, "sipper-web: monitor: %s\n", e.what());
        } catch (const Exception& e) {
            std::fprintf(stderr, "sipper-web: monitor: %s\n", e.message().c_str());
        }
        std::unique_lock<std::mutex> hold(wake_guard_);
        wake_.wait_for(hold, busy ? BUSY_PERIOD : IDLE_PERIOD, [this] { return stopping_.load(); });
    }
}
