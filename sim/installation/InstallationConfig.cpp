#include "sim/installation/InstallationConfig.h"

#include <algorithm>
#include <cmath>

#include "config/ConfigurationFile.h"
#include "entry/CommandLine.h"
#include "interfaces/SharedMemory.h"
#include "utilities/Exception.h"

namespace {

class Reader {
public:
    Reader(const ConfigurationFile& cfg, const std::string& path) : cfg_(cfg), path_(path) {}

    [[noreturn]] void refuse(const std::string& why) const
    {
        throw Exception("installation file " + path_ + ": " + why);
    }

    // A key present with another type is a mistake worth naming, not a
    // reason to fall back on the default silently.
    const ConfigEntry* entry(const std::string& key, int type, const char* what) const
    {
        const ConfigEntry* e = cfg_.find(key);
        if (e != nullptr && e->type() != type)
            refuse(key + " must be " + what);
        return e;
    }

    void integer(const std::string& key, int& out) const
    {
        if (const ConfigEntry* e = entry(key, ConfigEntry::TYPE_INTEGER, "an integer"))
            out = e->int_value();
    }

    void real(const std::string& key, double& out) const
    {
        const ConfigEntry* e = cfg_.find(key);
        if (e == nullptr)
            return;
        if (e->type() == ConfigEntry::TYPE_REAL)
            out = e->real_value();
        else if (e->type() == ConfigEntry::TYPE_INTEGER)
            out = e->int_value();
        else
            refuse(key + " must be a number");
    }

    void text(const std::string& key, std::string& out) const
    {
        if (const ConfigEntry* e = entry(key, ConfigEntry::TYPE_STRING, "a string in double quotes"))
            out = e->string_value();
    }

    void texts(const std::string& key, std::vector<std::string>& out) const
    {
        const ConfigEntry* e = entry(key, ConfigEntry::TYPE_ARRAY, "an array of strings");
        if (e == nullptr)
            return;
        out.clear();
        for (const ConfigEntry& el : e->elements()) {
            if (el.type() != ConfigEntry::TYPE_STRING)
                refuse(key + " must hold only strings");
            out.push_back(el.string_value());
        }
    }

    void integers(const std::string& key, std::vector<int>& out) const
    {
        const ConfigEntry* e = entry(key, ConfigEntry::TYPE_ARRAY, "an array of integers");
        if (e == nullptr)
            return;
        out.clear();
        for (const ConfigEntry& el : e->elements()) {
            if (el.type() != ConfigEntry::TYPE_INTEGER)
                refuse(key + " must hold only integers");
            out.push_back(el.int_value());
        }
    }

private:
    const ConfigurationFile& cfg_;
    std::string path_;
};

void check_name(const std::string& what, const std::string& name)
{
    std::string problem = SharedMemory::name_problem(name);
    if (!problem.empty())
        throw Exception(what + " \"" + name + "\" cannot be used: " + problem);
}

}  // namespace

bool InstallationConfig::serves(const std::string& peer) const
{
    return std::find(serve.begin(), serve.end(), peer) != serve.end();
}

InstallationConfig InstallationConfig::read(const std::string& path)
{
    ConfigurationFile cfg;
    int rc = 0;
    try {
        rc = cfg.load_config(path);
    } catch (const Exception& e) {
        throw Exception("installation file " + path + ":" + e.message());
    }
    if (rc != ConfigurationFile::CONFIG_OK || !file_exists(path))
        throw Exception("installation file " + path + ": cannot be read");

    Reader r(cfg, path);
    InstallationConfig c;
    r.text("INSTALLATION_IF", c.installation_name);
    r.integer("LINEAR_BOARD", c.linear_board);
    r.integer("ROTARY_BOARD", c.rotary_board);
    r.integer("STAGE_LINEAR_BOARD", c.stage_linear_board);
    r.integer("STAGE_ROTARY_BOARD", c.stage_rotary_board);
    int prepare = c.prepare_boards ? 1 : 0;
    r.integer("PREPARE_BOARDS", prepare);
    c.prepare_boards = prepare != 0;
    std::string stage;
    r.text("STAGE_FILE", stage);
    if (!stage.empty()) {
        normalize_path(stage);
        c.stage_file = stage.front() == '/' ? stage : dir_of(path) + stage;
    }
    r.real("TIME_FACTOR", c.time_factor);
    r.texts("SERVE", c.serve);
    r.text("LOGSERVERIF", c.log_server_name);
    r.text("SUPERVISORIF", c.supervisor_name);
    r.integers("CYCLE_STATE_DURATIONS", c.cycle_durations);
    r.text("LOG_DIR", c.log_dir);
    r.text("COLLECTED_LOG", c.collected_log);
    r.integer("KEEP_LOG_RUNS", c.keep_log_runs);
    r.texts("COMPONENTS", c.components);
    r.real("STOP_TIMEOUT", c.stop_timeout);
    try {
        c.check();
    } catch (const Exception& e) {
        r.refuse(e.message());
    }
    return c;
}

void InstallationConfig::check() const
{
    check_name("INSTALLATION_IF", installation_name);
    for (int b : {linear_board, rotary_board, stage_linear_board, stage_rotary_board})
        if (b < 0 || b > 255)
            throw Exception("board numbers are 0 to 255, not " + std::to_string(b));
    if (linear_board == rotary_board)
        throw Exception("LINEAR_BOARD and ROTARY_BOARD must differ");
    if (stage_linear_board == stage_rotary_board)
        throw Exception("STAGE_LINEAR_BOARD and STAGE_ROTARY_BOARD must differ");
    if (time_factor < 0 || !std::isfinite(time_factor))
        throw Exception("TIME_FACTOR must be positive (0 keeps the stage file's)");
    for (const std::string& p : serve)
        if (p != LINEAR_OWNER && p != ROTARY_OWNER && p != SAMPLE_INTERFACE && p != LOG_SERVER && p != SUPERVISOR)
            throw Exception("SERVE: unknown peer \"" + p +
                            "\" (LinearMC, RotaryMC, SampleInterface, LogServer, Supervisor)");
    if (serves(LOG_SERVER))
        check_name("LOGSERVERIF", log_server_name);
    if (serves(SUPERVISOR))
        check_name("SUPERVISORIF", supervisor_name);
    for (int d : cycle_durations)
        if (d < 0 || d > 3600000)
            throw Exception("CYCLE_STATE_DURATIONS are 0 to 3600000 ms, not " + std::to_string(d));
    if (log_dir.empty())
        throw Exception("LOG_DIR must not be empty");
    if (collected_log.empty() || collected_log.find('/') != std::string::npos)
        throw Exception("COLLECTED_LOG must be a plain file name");
    if (!(stop_timeout > 0 && stop_timeout <= 600))
        throw Exception("STOP_TIMEOUT must be between 0 and 600 seconds");
    if (keep_log_runs < 0 || keep_log_runs > 100)
        throw Exception("KEEP_LOG_RUNS must be 0 to 100");
    for (const std::string& text : components) {
        ComponentCommand cmd = ComponentCommand::parse(text);
        if (!cmd.interface_name().empty())
            check_name("the interface of component \"" + text + "\"", cmd.interface_name());
    }
    std::vector<std::string> sorted = interface_names();
    std::sort(sorted.begin(), sorted.end());
    auto dup = std::adjacent_find(sorted.begin(), sorted.end());
    if (dup != sorted.end())
        throw Exception("the interface name \"" + *dup + "\" is used twice");
}

std::vector<std::string> InstallationConfig::interface_names() const
{
    std::vector<std::string> names = {installation_name};
    for (const std::string& p : serve) {
        if (p == LOG_SERVER) names.push_back(log_server_name);
        else if (p == SUPERVISOR) names.push_back(supervisor_name);
        else names.push_back(p);
    }
    for (const std::string& text : components) {
        const std::string n = ComponentCommand::parse(text).interface_name();
        if (!n.empty())
            names.push_back(n);
    }
    return names;
}

ComponentCommand ComponentCommand::parse(const std::string& text)
{
    std::vector<std::string> parts = split_command_line_args(text);
    // parts[0] is the entry's "dummy"; the program comes next.
    if (parts.size() < 2 || parts[1].empty())
        throw Exception("component command \"" + text + "\" names no program");
    ComponentCommand c;
    c.program = parts[1];
    // Quotes group a program path with blanks; they are not part of it.
    c.program.erase(std::remove(c.program.begin(), c.program.end(), '"'), c.program.end());
    c.args.assign(parts.begin() + 2, parts.end());
    return c;
}
