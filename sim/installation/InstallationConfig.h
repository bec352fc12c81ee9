#pragma once
#include <string>
#include <vector>

// What the installation simulator serves and starts, read from an
// installation file in the configuration syntax:
//
//   INSTALLATION_IF = "Installation";        // its own component interface
//   LINEAR_BOARD = 1;  ROTARY_BOARD = 2;     // numbers "get_ID" answers
//   STAGE_FILE = "stage-default.cfg";        // relative to this file
//   TIME_FACTOR = 1.0;                       // board seconds per second
//   SERVE = ["LinearMC", "RotaryMC", "SampleInterface", "LogServer", "Supervisor"];
//   LOGSERVERIF = "LogServer";  SUPERVISORIF = "Supervisor";
//   CYCLE_STATE_DURATIONS = [400, 300, 300]; // ms of sample-interface states 1..N
//   LOG_DIR = "logs";                        // relative to the working directory
//   KEEP_LOG_RUNS = 5;                       // earlier runs' logs kept in LOG_DIR/previous.N
//   COMPONENTS = ["sipper Sipper logs/sipper.log cfg/sipper.cfg"];
//
// Every key is optional; the defaults are the values above, except that no
// component is started and the stage file is the one given to the program.
struct InstallationConfig {
    // The peers the simulator can serve.
    static constexpr const char* LINEAR_OWNER = "LinearMC";
    static constexpr const char* ROTARY_OWNER = "RotaryMC";
    static constexpr const char* SAMPLE_INTERFACE = "SampleInterface";
    static constexpr const char* LOG_SERVER = "LogServer";
    static constexpr const char* SUPERVISOR = "Supervisor";

    std::string installation_name = "Installation";
    int linear_board = 1;
    int rotary_board = 2;
    // Which boards of the stage file are the linear and the rotary board.
    int stage_linear_board = 1;
    int stage_rotary_board = 2;
    bool prepare_boards = true;
    std::string stage_file;  // resolved against the installation file's directory
    double time_factor = 0.0;  // 0: keep the stage file's factors
    std::vector<std::string> serve = {LINEAR_OWNER, ROTARY_OWNER, SAMPLE_INTERFACE, LOG_SERVER, SUPERVISOR};
    std::string log_server_name = "LogServer";
    std::string supervisor_name = "Supervisor";
    std::vector<int> cycle_durations = {400, 300, 300};
    std::string log_dir = "logs";
    std::string collected_log = "collected.log";  // inside log_dir
    int keep_log_runs = 5;  // 0: each start discards the last run's logs
    std::vector<std::string> components;  // command-line texts
    double stop_timeout = 5.0;  // seconds a component gets to end after "kill"

    bool serves(const std::string& peer) const;

    // Reads and checks the file; raises Exception naming the file and the
    // problem (missing file, syntax, a value of the wrong type or range).
    static InstallationConfig read(const std::string& path);
    // Raises Exception when the settings cannot work together.
    void check() const;
    // Every interface name the installation serves or starts a component for.
    std::vector<std::string> interface_names() const;
};

// One component to start: the program and its arguments, from a command-line
// text split the way the component entry splits it ("dummy" dropped).
struct ComponentCommand {
    std::string program;
    std::vector<std::string> args;  // without the program
    // The interface it serves: its first argument (empty when there is none).
    std::string interface_name() const { return args.empty() ? std::string() : args[0]; }

    // Raises Exception for a text without a program.
    static ComponentCommand parse(const std::string& text);
};
