#include "component/Component.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "interfaces/ComponentIF.h"
#include "interfaces/InterfaceServer.h"
#include "interfaces/LogServerIF.h"
#include "interfaces/SupervisorIF.h"
#include "utilities/Exception.h"
#include "utilities/Format.h"
#include "utilities/Timer.h"

#ifndef SIPPER_PRODUCT_VERSION
#error "SIPPER_PRODUCT_VERSION must be defined by the build"
#endif

namespace {

// Copies text and its NUL, cut to what the buffer holds.
void copy_text(const std::string& text, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// Set from a signal handler; read by the main loop once per pass.
std::atomic<bool> exit_request{false};
static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need a lock-free flag");

// Milliseconds a call on a registered client waits for its peer.
constexpr unsigned CLIENT_TIMEOUT_MS = 1000;

}  // namespace

Component::Component(const std::string& name, const std::string& log_path,
                     const std::string& cfg_path)
    : name_(name), log_(log_path, false) {
    // The subclass loads the configuration file itself, after its own setup.
    (void)cfg_path;
    version_ = get_product_version();
    log_msg("version " + version_, 1);
}

Component::~Component() {
    clear_iclients();
    server_.reset();
}

void Component::run() {
    if (state_ == READY) {
        state_ = RUNNING;
        log_msg("run() set component to RUNNING state", 0);
    } else {
        log_msg("Component::Run -- can't start component, illegal state", 0);
    }
}

void Component::stop() {
    if (state_ == RUNNING) {
        state_ = READY;
        log_msg("stop() set component to READY state", 0);
    } else {
        log_msg("Componnet::Stop -- can't stop task, illegal state", 0);
    }
}

void Component::reset() {
    if (state_ == RUNNING) {
        log_msg("Component::Reset -- illegal state, cannot perform reset", 0);
        return;
    }
    // Served by the next pass of main(), never in the middle of a command.
    reset_request_ = true;
}

void Component::kill() {
    log_msg("kill -- setting _exit to true", 0);
    exit_ = true;
}

void Component::get_state(int& state) { state = state_; }

void Component::get_name(char* buffer, std::size_t size) { copy_text(name_, buffer, size); }

void Component::load_config(const std::string& path, int& result) {
    try {
        if (!path.empty()) {
            if (config_.load_config(path) != 0)
                throw Exception("ConfigurationFile::load_config(): failed, can't load " + path);
        } else if (config_.load_config() != 0) {
            throw Exception("ConfigurationFile::load_config() failed, no file specified");
        }

        config_.get_value_or_add("DEBUG_MODE", debug_level_, 0);

        double frequency = 0.0;
        int int_frequency = 0;
        if (config_.get_value("FREQ", frequency)) {
        } else if (config_.get_value("FREQ", int_frequency)) {
            frequency = int_frequency;
        } else {
            throw Exception("No task loop freq specified in CFG file. Add a FREQ = val to config");
        }
        set_update_rate(frequency);

        if (!config_.get_value("SUPERVISORIF", supervisor_if_name_)) supervisor_if_name_.clear();

        std::string log_server;
        if (!config_.get_value("LOGSERVERIF", log_server)) throw Exception("missing LOGSERVERIF");
        log_server_if_name_ = log_server;
        result = 0;
    } catch (const Exception& e) {
        log_msg("Component::load_config() failed: " + e.message(), 0);
        result = -1;
    } catch (...) {
        log_msg("Component::load_config() failed: caught an unknown exception.", 0);
        result = -1;
    }
}

void Component::save_config(const std::string& path, int& result) {
    try {
        if (!config_.update_value("DEBUG_MODE", debug_level_) && debug_level_ != 0)
            throw Exception("DEBUG_MODE");
        // A FREQ held as an integer entry is deliberately left as it is.
        config_.update_value("FREQ", 1.0 / period_);

        if (!path.empty()) {
            if (config_.save_as(path, true) != 0) throw Exception("ConfigurationFile.save_as() failed.");
        } else if (config_.save() != 0) {
            throw Exception("ConfigurationFile.save() failed.");
        }
        result = 0;
    } catch (const Exception& e) {
        log_msg("Component::save_config() failed: " + e.message(), 0);
        result = -1;
    } catch (...) {
        log_msg("Component::save_config() failed: caught an unknown exception.", 0);
        result = -1;
    }
}

void Component::delete_config(const std::string& path, int& result) {
    try {
        if (config_.delete_config(path) != 0) throw Exception("ConfigurationFile::delete_config() failed.");
        result = 0;
    } catch (const Exception& e) {
        log_msg("Component::delete_config() failed: " + e.message(), 0);
        result = -1;
    } catch (...) {
        log_msg("Component::delete_config() failed: caught an unknown exception.", 0);
        result = -1;
    }
}

void Component::get_component_version(char* buffer, std::size_t size) {
    copy_text(version_, buffer, size);
}

void Component::log_msg(const std::string& text, int level) { log_msg(text.c_str(), level); }

void Component::log_msg(const char* text, int level) {
    if (level > debug_level_) return;
    // Logging never fails its caller: a failed write or forward is dropped.
    try {
        // Made one line before the cut, so the cut still bounds the line.
        std::string line = "<" + name_ + ">: " + Syslog::one_line(text != nullptr ? text : "");
        if (line.size() > MAX_LOG_LINE) line.resize(MAX_LOG_LINE);

        char copy[LOG_COPY_SIZE];
        copy[0] = '\0';
        log_.write_line(line.c_str(), copy, sizeof copy);

        if (auto* log_server = dynamic_cast<LogServerIF*>(get_iclient(log_server_if_name_)))
            log_server->add_log_msg(copy);
    } catch (...) {
    }
}

bool Component::initialize() {
    add_iclient(std::make_unique<SupervisorIF>(supervisor_if_name_));
    add_iclient(std::make_unique<LogServerIF>(log_server_if_name_));
    log_msg("Component::initialize() completed", 0);
    return true;
}

bool Component::set_interface_server(std::unique_ptr<InterfaceServer> server) {
    bool connected = false;
    std::string reason;
    try {
        server_.reset();
        server_ = std::move(server);
        if (server_ == nullptr) {
            reason = "no server given";
        } else {
            connected = server_->open();
            if (!connected) reason = server_->error();
        }
    } catch (const Exception& e) {
        reason = e.message();
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "unknown exception";
    }
    if (!connected) {
        // Nobody can command a component whose interface is closed; say so
        // where an operator looks, not only in the log.
        const std::string line =
            "Component::set_interface_server -- cannot open interface \"" + name_ + "\": " + reason;
        log_msg(line, 0);
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    return connected;
}

void Component::get_config_val(const std::string& key, std::string& value) {
    if (!config_.get_value(key, value)) throw Exception("cfg file missing " + key + "definition");
}

void Component::get_config_val(const std::string& key, double& value) {
    if (!config_.get_value(key, value)) throw Exception("cfg file missing " + key + "definition");
}

void Component::get_config_val(const std::string& key, int& value) {
    if (!config_.get_value(key, value)) throw Exception("cfg file missing " + key + "definition");
}

void Component::main() {
    log_msg("entering Component::main", 0);
    try {
        if (server_ == nullptr || !server_->connected()) {
            // Without an open interface no peer could ever send kill, so the
            // loop would run unreachable for ever.
            const std::string reason = "interface \"" + name_ + "\" is not open, no commands can be served";
            std::fprintf(stderr, "%s\n", reason.c_str());
            throw Exception(reason);
        }
        Timer timer;
        timer.start();
        double last = timer.elapsed();
        while (!exit_) {
            if (reset_request_) {
                reset_request_ = false;
                state_ = initialize() ? READY : INIT_FAILED;
            }
            if (state_ == RUNNING) {
                const double now = timer.elapsed();
                // last is the time read before the call, so a late pass never
                // causes catch-up calls.
                if (now - last > period_) {
                    last = now;
                    task_loop();
                }
            }
            long wait_ms = InterfaceServer::SERVICE_WAIT_MS;
            if (state_ == RUNNING) {
                // Wait for a command no longer than until the next task pass
                // is due: a full wait would start the pass up to 10 ms late,
                // and the kill-switch watch with it.
                const double due_ms = (last + period_ - timer.elapsed()) * 1000.0;
                wait_ms = std::clamp(static_cast<long>(std::ceil(due_ms)), 0L, InterfaceServer::SERVICE_WAIT_MS);
            }
            server_->service(wait_ms);
            sleep_ms(0);
            if (exit_request.load() && !exit_) kill();
        }
    } catch (const Exception& e) {
        log_msg("Component::main Error: " + e.message(), 0);
    } catch (...) {
        log_msg("Component::main, Unhandled Exception", 0);
    }
    log_msg("QUITTING MAIN COMPONENT THREAD - INTERFACES NO LONGER SERVICED", 0);
}

void Component::request_exit() noexcept { exit_request.store(true); }

void Component::add_iclient(std::unique_ptr<ComponentIF> client) {
    if (client == nullptr) throw Exception("Component::add_iclient : tried to add null client");
    // Every call of an unconnected client returns "not connected"; say once
    // why. An empty name is how a configuration names no peer at all.
    if (!client->open() && !client->name().empty())
        log_msg("Component::add_iclient -- interface \"" + client->name() + "\" not connected: " + client->error(), 0);
    client->set_timeout(CLIENT_TIMEOUT_MS);
    const std::string interface_name = client->name();
    // A client registered earlier under the same name is destroyed here.
    clients_[interface_name] = std::move(client);
}

ComponentIF* Component::get_iclient(const std::string& interface_name) const {
    const auto it = clients_.find(interface_name);
    return it == clients_.end() ? nullptr : it->second.get();
}

void Component::remove_iclient(const std::string& interface_name) { clients_.erase(interface_name); }

void Component::clear_iclients() { clients_.clear(); }

void Component::get_cfg_dir(char* buffer, std::size_t size) {
    copy_text(config_.get_dir(), buffer, std::min(size, CFG_DIR_BUFFER_SIZE));
}

void Component::set_update_rate(double frequency) {
    // Written so that NaN is refused as well.
    if (!(frequency >= 0.01 && frequency <= 1000.0)) {
        // The configuration writer's rule: zero keeps its decimals, only a
        // non-zero value that rounds to nothing becomes "0.0".
        const std::string text =
            frequency == 0.0 ? format_decimals(frequency, 2) : format_fixed(frequency, 2);
        throw Exception("Component::set_update_rate: input out of range (" + text + ")");
    }
    period_ = 1.0 / frequency;
}

std::string Component::get_product_version() { return SIPPER_PRODUCT_VERSION; }
