#pragma once
#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "config/ConfigurationFile.h"
#include "interfaces/ComponentIF.h"
#include "interfaces/InterfaceServer.h"
#include "utilities/Syslog.h"

// Base of every component process: owns the log file, the configuration
// store, the server of the component's own interface and the clients it holds
// on other components' interfaces, and runs the one main loop of the process.
//
//   class Pump : public Component {
//   public:
//       Pump(const std::string& n, const std::string& log, const std::string& cfg)
//           : Component(n, log, cfg) {
//           int result = 0;
//           load_config(cfg, result);
//           set_interface_server(std::make_unique<ComponentIFS>(n, this));
//       }
//       void task_loop() override { /* one periodic step */ }
//   };
//   Pump p("Pump", "/tmp/pump.log", "/tmp/pump.cfg");
//   p.main();   // serves the interface until a peer sends "kill"
//
// Everything here runs on the main-loop thread; the class takes no lock.
class Component {
public:
    // Run states.
    static constexpr int CREATED = 0;
    static constexpr int READY = 1;
    static constexpr int RUNNING = 2;
    static constexpr int INIT_FAILED = 3;

    // Size of the buffer get_cfg_dir fills (at most 249 characters).
    static constexpr std::size_t CFG_DIR_BUFFER_SIZE = 250;
    // Size of the copy of a log line that is forwarded to the log server.
    static constexpr std::size_t LOG_COPY_SIZE = 249;
    // Longest "<name>: text" line written to the log.
    static constexpr std::size_t MAX_LOG_LINE = 250;

    // Opens the log file (raises Exception when it cannot) and looks up the
    // product version. The configuration path is the subclass's to load.
    Component(const std::string& name, const std::string& log_path, const std::string& cfg_path);
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    // The virtual operations keep this order: subclasses and the interface
    // dispatch rely on it.
    virtual ~Component();
    virtual void run();
    virtual void stop();
    virtual void reset();
    virtual void kill();
    virtual void get_state(int& state);
    // Copies the name with its NUL; at most size - 1 characters.
    virtual void get_name(char* buffer, std::size_t size);
    // Results: 0 success, -1 failure (the failure is logged).
    virtual void load_config(const std::string& path, int& result);
    virtual void save_config(const std::string& path, int& result);
    virtual void delete_config(const std::string& path, int& result);
    // Copies the version with its NUL; at most size - 1 characters.
    virtual void get_component_version(char* buffer, std::size_t size);
    virtual void log_msg(const std::string& text, int level);
    virtual void log_msg(const char* text, int level);
    // Registers the supervisor and log server clients; true means READY.
    virtual bool initialize();
    // Takes ownership of the server and opens it; false when it could not be
    // opened (the reason is logged and written to standard error).
    virtual bool set_interface_server(std::unique_ptr<InterfaceServer> server);
    virtual void task_loop() = 0;
    // Raise Exception "cfg file missing <key>definition" when the key is
    // missing or has another type.
    virtual void get_config_val(const std::string& key, std::string& value);
    virtual void get_config_val(const std::string& key, double& value);
    virtual void get_config_val(const std::string& key, int& value);

    // Serves the interface and calls task_loop until kill() or an exception.
    void main();

    // Asks the main loop of this process to end as a "kill" command would,
    // after its current pass. Async-signal-safe: for SIGTERM/SIGINT handlers.
    static void request_exit() noexcept;

    // Opens the client, sets its call timeout to 1000 ms and takes ownership.
    // Raises Exception for a null client.
    void add_iclient(std::unique_ptr<ComponentIF> client);
    ComponentIF* get_iclient(const std::string& interface_name) const;
    void remove_iclient(const std::string& interface_name);
    void clear_iclients();

    // Directory of the configuration file ("./" for a bare name), at most
    // min(size, CFG_DIR_BUFFER_SIZE) - 1 characters.
    void get_cfg_dir(char* buffer, std::size_t size = CFG_DIR_BUFFER_SIZE);

    // Calls per second, 0.01 to 1000; raises Exception outside that range.
    void set_update_rate(double frequency);

    // The compiled product version of the project.
    static std::string get_product_version();

    const std::string& name() const { return name_; }
    double period() const { return period_; }
    int debug_level() const { return debug_level_; }
    int state() const { return state_; }
    bool exit_requested() const { return exit_; }
    const std::string& supervisor_interface_name() const { return supervisor_if_name_; }
    const std::string& log_server_interface_name() const { return log_server_if_name_; }
    const std::string& version() const { return version_; }

protected:
    ConfigurationFile& config() { return config_; }
    Syslog& syslog() { return log_; }
    InterfaceServer* server() const { return server_.get(); }

private:
    std::string name_;
    bool exit_ = false;
    double period_ = 10.0;
    Syslog log_;
    ConfigurationFile config_;
    std::map<std::string, std::unique_ptr<ComponentIF>> clients_;
    std::unique_ptr<InterfaceServer> server_;
    bool reset_request_ = false;
    int debug_level_ = 0;
    int state_ = CREATED;
    std::string supervisor_if_name_;
    std::string log_server_if_name_;
    std::string version_;
};
