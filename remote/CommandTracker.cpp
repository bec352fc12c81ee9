#include "remote/CommandTracker.h"

#include <ctime>

#include "interfaces/ComponentMethods.h"
#include "interfaces/SipperMethods.h"
#include "utilities/Exception.h"

using nlohmann::json;

namespace {

// The sipper's own lines, as it logs them.
const char* const NO_TASK = "Sipper: no worker task exists (initialize did not create one), command not carried out";
const char* const TASK_LINE = "SipperTask ";
const char* const SEEN_ON_DESCENT = "SIP SENSOR 1 , ";
const char* const SEES_SAMPLE = "SIP SENSOR SEES SAMPLE";
const char* const NEVER_SAW = "NEVER SAW SIP SENSOR OUTPUT";
const char* const FAILURE_MARKS[] = {"SipperTask Error : ", "home_op failed"};
// Task lines that tell which operation another client started.
const struct {
    const char* mark;
    const char* name;
    std::uint16_t method;
} KIND_MARKS[] = {{"SipperTask Begin homing operation", "home", sipper_methods::HOME},
                  {"SipperTask Homing complete", "home", sipper_methods::HOME},
                  {"SipperTask home_op failed", "home", sipper_methods::HOME},
                  {"SipperTask CHECKING SIP SENSOR", "sip", sipper_methods::SIP},
                  {"SipperTask SIP SENSOR ", "sip", sipper_methods::SIP},
                  {"SipperTask NEVER SAW SIP SENSOR OUTPUT", "sip", sipper_methods::SIP},
                  {"SipperTask wash_operation()", "wash", sipper_methods::WASH}};
// Only the first lines of an operation start an external record: a late
// line of one that has ended must not start another.
const char* const BEGIN_MARKS[] = {"SipperTask Begin homing operation", "SipperTask CHECKING SIP SENSOR"};

constexpr int STATUS_ERROR = 1;
constexpr int STATUS_BUSY = 2;
constexpr int STATE_CREATED = 0;

// Operations the sipper's worker thread carries out; the others are done
// once the sipper has read them.
bool runs_on_task(std::uint16_t m)
{
    return m == sipper_methods::HOME || m == sipper_methods::GOTO_POSITION || m == sipper_methods::GOTO_POSITION_SAFE ||
           m == sipper_methods::SIP || m == sipper_methods::WASH;
}

// The beginnings of the lines the sipper logs when it refuses this method.
std::vector<std::string> refusal_marks(std::uint16_t m)
{
    const std::string no_task = "Sipper: no worker task exists";
    switch (m) {
    case sipper_methods::HOME: return {"homing Error", no_task};
    case sipper_methods::GOTO_POSITION: return {"goto_position() ERROR", "goto_position() Error", no_task};
    case sipper_methods::GOTO_POSITION_SAFE:
        return {"goto_position_safe() ERROR", "goto_position_safe() Error", no_task};
    case sipper_methods::SIP: return {"sip Error, ", no_task};
    case sipper_methods::WASH: return {"wash Error, ", no_task};
    case component_methods::RUN: return {"Component::Run -- can't start component"};
    }
    return {};
}

bool starts_with(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

bool refuses(std::uint16_t method, const std::string& text)
{
    for (const std::string& mark : refusal_marks(method))
        if (starts_with(text, mark))
            return true;
    return false;
}

json time_text(const std::optional<CommandTracker::Clock::time_point>& t)
{
    if (!t)
        return nullptr;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t->time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

json text_or_null(const std::string& s)
{
    return s.empty() ? json(nullptr) : json(s);
}

}  // namespace

const char* CommandTracker::state_name(State s)
{
    switch (s) {
    case State::queued: return "queued";
    case State::running: return "running";
    case State::succeeded: return "succeeded";
    case State::failed: return "failed";
    case State::refused: return "refused";
    }
    return "unknown";
}

json CommandTracker::Record::to_json() const
{
    return {{"id", id},
            {"key", text_or_null(key)},
            {"command", operation.name},
            {"sent", operation.sent},
            {"well", text_or_null(operation.well)},
            {"state", state_name(state)},
            {"created", time_text(created)},
            {"started", time_text(started)},
            {"ended", time_text(ended)},
            {"message", text_or_null(message)},
            {"outcome", text_or_null(outcome)},
            {"external", external}};
}

CommandTracker::CommandTracker(SipperLink& link, Monitor& monitor) : link_(link), monitor_(monitor)
{
    monitor_.set_observer([this](const std::vector<std::string>& lines, const json& status,
                                 Monitor::Clock::time_point taken) { observe(lines, status, taken); });
}

void CommandTracker::add_listener(Listener listener)
{
    std::lock_guard<std::mutex> hold(guard_);
    listeners_.push_back(std::move(listener));
}

void CommandTracker::change(const RecordPtr& r, std::unique_lock<std::mutex>&)
{
    for (const Listener& l : listeners_)
        l(*r);
    changed_.notify_all();
}

CommandTracker::Record CommandTracker::finish(const RecordPtr& r, State s, const std::string& message,
                                             int link_result)
{
    std::unique_lock<std::mutex> hold(guard_);
    r->link_result = link_result;
    r->state = s;
    r->message = message;
    r->ended = Clock::now();
    if (s == State::succeeded && !r->started)
        r->started = r->ended;
    change(r, hold);
    return *r;
}

std::optional<std::string> CommandTracker::refusal_before_sending(const Operation& op, const json& status) const
{
    const int s = status.value("status", 0);
    const bool homed = status.value("homed", false);
    const bool configured = status.value("configured", false);
    std::optional<std::string> not_ready;
    if (s == STATUS_ERROR)
        not_ready = "Sipper is in error state";
    else if (s == STATUS_BUSY)
        not_ready = "Sipper is in busy state";
    // In the order the sipper checks them, so the text is the one it would log.
    switch (op.method) {
    case sipper_methods::HOME:
        if (s == STATUS_BUSY)
            return std::string("homing Error, sipper busy");
        if (status.value("state", 0) == STATE_CREATED)
            return std::string(NO_TASK);
        break;
    case sipper_methods::GOTO_POSITION:
    case sipper_methods::GOTO_POSITION_SAFE: {
        const std::string head = op.method == sipper_methods::GOTO_POSITION ? "goto_position()" : "goto_position_safe()";
        if (!homed)
            return head + " ERROR : sipper not homed";
        if (not_ready)
            return head + " Error, " + *not_ready;
        break;
    }
    case sipper_methods::SIP:
        if (!homed)
            return std::string("sip Error, sipper not homed");
        if (!configured)
            return std::string("sip Error, Sipper not configured");
        if (not_ready)
            return "sip Error, " + *not_ready;
        break;
    case sipper_methods::WASH:
        if (!homed)
            return std::string("wash Error, sipper not homed");
        if (!configured)
            return std::string("wash Error, sipper not configured");
        if (not_ready)
            return "wash Error, " + *not_ready;
        break;
    }
    return std::nullopt;
}

CommandTracker::Record CommandTracker::send_at_once(const RecordPtr& r)
{
    const SipperLink::Reply sent = link_.call(r->operation.method, r->operation.args);
    if (!sent.ok()) {
        return finish(r, State::failed, sent.text, sent.result);
    }
    return finish(r, State::succeeded, "");
}

CommandTracker::Record CommandTracker::submit(const Operation& op, const std::string& key)
{
    if (key.size() > MAX_KEY)
        throw Exception("CommandTracker: an idempotency key has at most " + std::to_string(MAX_KEY) + " characters");
    RecordPtr r;
    {
        std::unique_lock<std::mutex> hold(guard_);
        if (!key.empty()) {
            auto it = by_key_.find(key);
            if (it != by_key_.end())
                return *it->second;
        }
        r = std::make_shared<Record>();
        r->id = next_id_++;
        r->key = key;
        r->operation = op;
        r->created = Clock::now();
        keep(r, hold);
    }
    // Stop must never wait behind an operation that is being sent.
    if (op.method == sipper_methods::STOP_ALL_MOTION)
        return send_at_once(r);

    std::lock_guard<std::mutex> one_at_a_time(send_guard_);
    // Settle the previous operation first: its end needs a second look once
    // the sipper is no longer busy (while it is, there is nothing to settle).
    json status = monitor_.observe();
    Monitor::Clock::time_point looked = Monitor::Clock::now();
    for (int look = 0; look < 3 && status.value("status", 0) != STATUS_BUSY; ++look) {
        {
            std::lock_guard<std::mutex> hold(guard_);
            if (!current_)
                break;
        }
        status = monitor_.observe();
        looked = Monitor::Clock::now();
    }
    if (!status.value("connected", false)) {
        return finish(r, State::failed, status.value("error", std::string("the sipper does not answer")),
                      status.value("result", static_cast<int>(call_not_connected)));
    }
    if (const std::optional<std::string> refusal = refusal_before_sending(op, status))
        return finish(r, State::refused, *refusal);

    const bool instant = !runs_on_task(op.method);
    std::optional<std::string> busy_refusal;
    {
        std::unique_lock<std::mutex> hold(guard_);
        if (!instant && current_ && current_->record->external && current_->begun_busy &&
            current_->begun > looked) {
            // A later look than ours found the sipper busy with another
            // client's operation: it would refuse ours.
            json busy = status;
            busy["status"] = STATUS_BUSY;
            busy_refusal = refusal_before_sending(op, busy);
        } else if (!instant && current_ && current_->record->external) {
            // Another client's operation, which the sipper has ended (it is
            // not busy): its end is what the sipper's state says.
            if (status.value("status", 0) == STATUS_ERROR)
                end_current(State::failed,
                            current_->error_line.empty() ? "the sipper went to its error state" : current_->error_line,
                            hold);
            else
                end_current(State::succeeded, "", hold);
        } else if (!instant && current_) {
            // Not busy, yet its end was not seen: do not let the new
            // operation take its lines.
            end_current(State::failed, "its end was not seen before the next operation", hold);
        }
        if (!busy_refusal) {
            Current c;
            c.record = r;
            c.instant = instant;
            if (instant)
                instant_ = c;
            else
                current_ = c;
        }
    }
    if (busy_refusal)
        return finish(r, State::refused, *busy_refusal);
    const SipperLink::Reply sent = link_.call(op.method, op.args);
    {
        std::unique_lock<std::mutex> hold(guard_);
        std::optional<Current>& slot = instant ? instant_ : current_;
        if (!sent.ok()) {
            if (slot && slot->record == r)
                slot.reset();
            hold.unlock();
            return finish(r, State::failed, sent.text, sent.result);
        }
        // Looks that begin from now on see the operation read by the sipper
        // (it serves its interface in order).
        if (slot && slot->record == r)
            slot->sent = Monitor::Clock::now();
    }
    const auto give_up = Monitor::Clock::now() + START_WAIT;
    for (;;) {
        monitor_.observe();
        std::unique_lock<std::mutex> hold(guard_);
        if (r->state != State::queued)
            return *r;
        if (Monitor::Clock::now() > give_up) {
            std::optional<Current>& slot = instant ? instant_ : current_;
            if (slot && slot->record == r)
                slot.reset();
            r->state = State::failed;
            r->message = "the sipper showed no sign of taking the operation";
            r->ended = Clock::now();
            change(r, hold);
            return *r;
        }
        changed_.wait_for(hold, LOOK_PERIOD);
    }
}

void CommandTracker::keep(const RecordPtr& r, std::unique_lock<std::mutex>& hold)
{
    records_.push_back(r);
    if (!r->key.empty())
        by_key_[r->key] = r;
    while (records_.size() > MAX_RECORDS) {
        if (!records_.front()->key.empty())
            by_key_.erase(records_.front()->key);
        records_.pop_front();
    }
    change(r, hold);
}

// Only called with no operation of ours on the task: ours holds current_
// from before it is sent until its end is known.
void CommandTracker::begin_external(bool busy, std::unique_lock<std::mutex>& hold)
{
    const RecordPtr r = std::make_shared<Record>();
    r->id = next_id_++;
    r->external = true;
    r->operation.name = "unknown";
    r->operation.sent = nullptr;
    r->state = State::running;
    r->created = Clock::now();
    r->started = r->created;
    Current c;
    c.record = r;
    c.begun = Monitor::Clock::now();
    c.begun_busy = busy;
    current_ = c;
    keep(r, hold);
}

void CommandTracker::name_external(const std::string& text, std::unique_lock<std::mutex>& hold)
{
    const RecordPtr r = current_->record;
    if (!r->external || r->operation.name != "unknown")
        return;
    for (const auto& kind : KIND_MARKS)
        if (starts_with(text, kind.mark)) {
            r->operation.name = kind.name;
            r->operation.method = kind.method;
            change(r, hold);
            return;
        }
}

void CommandTracker::end_current(State s, const std::string& message, std::unique_lock<std::mutex>& hold)
{
    const RecordPtr r = current_->record;
    r->state = s;
    r->message = message;
    r->ended = Clock::now();
    if (r->operation.method == sipper_methods::SIP && s != State::refused)
        r->outcome = !current_->sensor.empty() ? current_->sensor : s == State::succeeded ? "done" : "";
    current_.reset();
    change(r, hold);
}

void CommandTracker::observe(const std::vector<std::string>& lines, const json& status,
                             Monitor::Clock::time_point taken)
{
    std::unique_lock<std::mutex> hold(guard_);
    // The status was read before the lines: the lines of an operation that
    // turned the sipper busy belong to its record.
    if (!current_ && status.value("connected", false) && status.value("status", 0) == STATUS_BUSY)
        begin_external(true, hold);
    for (const std::string& line : lines) {
        const std::string text = Monitor::text_of(line);
        if (!current_)
            for (const char* mark : BEGIN_MARKS)
                if (!current_ && starts_with(text, mark))
                    begin_external(false, hold);
        if (instant_ && refuses(instant_->record->operation.method, text)) {
            const RecordPtr r = instant_->record;
            instant_.reset();
            r->state = State::refused;
            r->message = text;
            r->ended = Clock::now();
            change(r, hold);
        }
        if (!current_)
            continue;
        const RecordPtr r = current_->record;
        if (r->state == State::queued && refuses(r->operation.method, text)) {
            end_current(State::refused, text, hold);
            continue;
        }
        if (!starts_with(text, TASK_LINE))
            continue;
        name_external(text, hold);
        if (r->state == State::queued) {
            r->state = State::running;
            r->started = Clock::now();
            change(r, hold);
        }
        if (text.find(SEES_SAMPLE) != std::string::npos || text.find(SEEN_ON_DESCENT) != std::string::npos)
            current_->sensor = "seen";
        else if (text.find(NEVER_SAW) != std::string::npos)
            current_->sensor = "missed";
        for (const char* mark : FAILURE_MARKS)
            if (current_->error_line.empty() && text.find(mark) != std::string::npos)
                current_->error_line = text;
    }
    // An instant operation is done once a look that began after it was sent
    // has read the sipper's answers and log.
    if (instant_ && instant_->sent && taken > *instant_->sent) {
        const RecordPtr r = instant_->record;
        instant_.reset();
        r->state = State::succeeded;
        r->ended = Clock::now();
        r->started = r->ended;
        change(r, hold);
    }
    if (!current_)
        return;
    const RecordPtr r = current_->record;
    if (!status.value("connected", false)) {
        if (r->state == State::running)
            end_current(State::failed, "the sipper stopped answering during the operation", hold);
        return;
    }
    const int s = status.value("status", 0);
    if (s == STATUS_BUSY) {
        current_->idle_seen.reset();
        if (r->state == State::queued) {
            r->state = State::running;
            r->started = Clock::now();
            change(r, hold);
        }
        return;
    }
    if (r->state == State::queued) {
        // Neither its start nor a refusal was seen, and the sipper is not
        // busy: it ran and ended between two looks.
        if (!current_->sent || taken <= *current_->sent + QUICK_END)
            return;
        r->state = State::running;
        r->started = Clock::now();
        change(r, hold);
    }
    // The task's last lines reach the log through the sipper's own queue and
    // may follow its end: the next look, begun after this one, has them.
    if (!current_->idle_seen) {
        current_->idle_seen = Monitor::Clock::now();
        return;
    }
    if (taken <= *current_->idle_seen)
        return;
    if (s == STATUS_ERROR)
        end_current(State::failed,
                    current_->error_line.empty() ? "the sipper went to its error state" : current_->error_line, hold);
    else
        end_current(State::succeeded, "", hold);
}

std::optional<CommandTracker::Record> CommandTracker::get(std::uint64_t id) const
{
    std::lock_guard<std::mutex> hold(guard_);
    if (records_.empty() || id < records_.front()->id || id > records_.back()->id)
        return std::nullopt;
    return *records_[id - records_.front()->id];
}

std::vector<CommandTracker::Record> CommandTracker::list(std::size_t limit) const
{
    std::lock_guard<std::mutex> hold(guard_);
    std::vector<Record> out;
    for (auto it = records_.rbegin(); it != records_.rend() && out.size() < limit; ++it)
        out.push_back(**it);
    return out;
}

std::optional<CommandTracker::Record> CommandTracker::wait(std::uint64_t id, Clock::time_point deadline) const
{
    std::unique_lock<std::mutex> hold(guard_);
    RecordPtr r;
    for (const RecordPtr& each : records_)
        if (each->id == id)
            r = each;
    if (!r)
        return std::nullopt;
    changed_.wait_until(hold, deadline, [&] { return r->finished(); });
    return *r;
}
