#include "sila/SipperGateway.h"

#include <algorithm>
#include <cctype>

SipperGateway::SipperGateway(Options options)
    : options_(std::move(options)),
      link_(options_.interface_name),
      monitor_(link_, options_.log_file,
               [this](const std::string& event, const std::string& data) {
                   if (event == "status") board_.publish(data);
               }),
      tracker_(link_, monitor_) {}

SipperGateway::~SipperGateway() {
    stop();
}

void SipperGateway::start() {
    monitor_.start();
    watcher_ = std::thread([this] {
        while (!board_.closed()) {
            if (board_.wait_subscribed(std::chrono::seconds(1))) {
                monitor_.observe();
                std::this_thread::sleep_for(WATCH_PERIOD);
            }
        }
    });
}

void SipperGateway::stop() {
    board_.close();
    if (watcher_.joinable()) watcher_.join();
    monitor_.stop();
}

nlohmann::json SipperGateway::status() {
    return monitor_.observe();
}

CommandTracker::Operation SipperGateway::operation(const std::string& name, std::uint16_t method,
                                                   SipperLink::Args args, nlohmann::json arguments,
                                                   const std::string& well) {
    CommandTracker::Operation op;
    op.name = name;
    op.method = method;
    op.args = std::move(args);
    op.sent = {{"method", name}, {"arguments", std::move(arguments)}, {"via", "sila"}};
    op.well = well;
    return op;
}

std::string SipperGateway::error_identifier(const CommandTracker::Record& r) {
    std::string text = r.message;
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto says = [&](const char* words) { return text.find(words) != std::string::npos; };
    if (r.unreachable() || says("stopped answering") || says("does not answer"))
        return "SipperNotAnswering";
    if (r.state == CommandTracker::State::refused || r.state == CommandTracker::State::failed) {
        if (says("no worker task")) return "NoWorkerTask";
        if (says("not homed")) return "SipperNotHomed";
        if (says("not configured")) return "SipperNotConfigured";
        if (says("busy")) return "SipperBusy";
        if (says("in error state")) return "SipperInErrorState";
    }
    return "OperationFailed";
}
