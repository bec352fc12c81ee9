#include "remote/Monitor.h"

#include <cmath>
#include <cstdio>

#include "interfaces/ComponentMethods.h"
#include "interfaces/SipperMethods.h"
#include "utilities/Exception.h"

using nlohmann::json;

namespace {

// Lines that say why the sipper went to its error state.
const char* const ERROR_MARKS[] = {"SipperTask Error : ", "Sipper::emergency()", "home_op failed"};

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

Monitor::Monitor(SipperLink& link, std::string log_path, Publish publish)
    : link_(link), publish_(std::move(publish))
{
    if (!log_path.empty())
        log_ = std::make_unique<LogFollower>(std::move(log_path));
}

Monitor::~Monitor()
{
    stop();
}

void Monitor::set_observer(Observer observer)
{
    std::lock_guard<std::mutex> hold(observe_guard_);
    observer_ = std::move(observer);
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

std::string Monitor::text_of(const std::string& line)
{
    const std::size_t mark = line.find(">: ");
    return mark == std::string::npos ? line : line.substr(mark + 3);
}

std::string Monitor::last_status() const
{
    std::lock_guard<std::mutex> hold(guard_);
    return last_status_;
}

std::string Monitor::error_reason() const
{
    std::lock_guard<std::mutex> hold(guard_);
    return in_error_ ? error_line_ : std::string();
}

void Monitor::note_error_lines(const std::vector<std::string>& lines, const json& status)
{
    std::lock_guard<std::mutex> hold(guard_);
    for (const std::string& line : lines)
        for (const char* mark : ERROR_MARKS)
            if (line.find(mark) != std::string::npos && (error_line_.empty() || !in_error_)) {
                // The first such line of a failure is its cause; later ones follow from it.
                error_line_ = text_of(line);
                break;
            }
    if (!status.value("connected", false))
        return;
    const int s = status.value("status", 0);
    in_error_ = s == 1;
    // A new operation starts afresh; an old reason must not linger.
    if (s == 2)
        error_line_.clear();
}

json Monitor::observe()
{
    std::lock_guard<std::mutex> hold(observe_guard_);
    const Clock::time_point taken = Clock::now();
    SipperLink::Reply failure;
    json status = snapshot(link_, failure);
    std::vector<std::string> lines;
    if (log_) {
        // Everything written up to now, however long.
        for (;;) {
            std::vector<std::string> more = log_->poll();
            lines.insert(lines.end(), more.begin(), more.end());
            if (more.size() < LogFollower::MAX_LINES)
                break;
        }
    }
    for (const std::string& line : lines)
        publish_("log", as_text(json{{"line", line}}));
    note_error_lines(lines, status);
    if (observer_)
        observer_(lines, status, taken);
    if (status.value("connected", false)) {
        const std::string reason = error_reason();
        status["error_reason"] = reason.empty() ? json(nullptr) : json(reason);
    }
    const bool busy = status.value("status", 0) == 2 && status.value("connected", false);
    const auto now = Clock::now();
    if (status != last_ || now - last_sent_ >= (busy ? BUSY_EVENT_PERIOD : IDLE_EVENT_PERIOD)) {
        const std::string text = as_text(status);
        {
            std::lock_guard<std::mutex> hold_status(guard_);
            last_status_ = text;
        }
        publish_("status", text);
        last_ = status;
        last_sent_ = now;
    }
    return status;
}

void Monitor::run()
{
    while (!stopping_) {
        bool busy = false;
        try {
            const json status = observe();
            busy = status.value("status", 0) == 2 && status.value("connected", false);
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
