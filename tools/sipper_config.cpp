// sipper-config: checks, reads and changes configuration files with the
// reader and store the components use.
//
//   sipper-config check FILE...        exit 0 when every file reads completely
//   sipper-config get FILE KEY         the value of the first KEY entry
//   sipper-config set FILE KEY VALUE   VALUE in file syntax: 5, 2.5, "text", [1,2]
//   sipper-config dump FILE            the file as the store writes it
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "config/ConfigReader.h"
#include "config/ConfigurationFile.h"
#include "utilities/Exception.h"

namespace {

const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

const char* type_name(int type)
{
    switch (type) {
    case ConfigEntry::TYPE_REAL: return "a real";
    case ConfigEntry::TYPE_INTEGER: return "an integer";
    case ConfigEntry::TYPE_STRING: return "a string";
    default: return "an array";
    }
}

// Parses one file; lexical reports go to standard error prefixed with the
// file name. True when the whole file was read.
bool check_file(const std::string& path)
{
    std::vector<ConfigEntry> entries;
    ConfigStop stop;
    try {
        std::unique_ptr<std::istream> in = open_config_file(path);
        if (in == nullptr) {
            std::cerr << path << ": cannot open\n";
            return false;
        }
        parse_config(*in, entries, path, &stop);
    } catch (const Exception& e) {
        std::cerr << path << ": error:" << (e.message().empty() || e.message()[0] == ' ' ? "" : " ")
                  << e.message() << " (" << entries.size() << " entries read before it)\n";
        return false;
    }
    if (stop.stopped) {
        std::cerr << path << ": error: reading stops at line " << stop.line << " column " << stop.column
                  << ", which cannot start an entry; the rest of the file is ignored\n";
        return false;
    }
    std::cout << path << ": OK, " << entries.size() << " entries\n";
    return true;
}

int check(const std::vector<std::string>& files)
{
    bool all = true;
    for (const std::string& file : files)
        all = check_file(file) && all;
    return all ? 0 : EXIT_FAILED;
}

// Loads through the store; prints why on failure.
bool load(ConfigurationFile& cfg, const std::string& path)
{
    try {
        int result = cfg.load_config(path);
        if (result != ConfigurationFile::CONFIG_OK) {
            std::cerr << path << ": cannot load (result " << result << ")\n";
            return false;
        }
    } catch (const Exception& e) {
        std::cerr << path << ": error:" << (e.message().empty() || e.message()[0] == ' ' ? "" : " ")
                  << e.message() << "\n";
        return false;
    }
    return true;
}

int get(const std::string& path, const std::string& key)
{
    ConfigurationFile cfg;
    if (!load(cfg, path))
        return EXIT_USAGE;
    const ConfigEntry* entry = cfg.find(key);
    if (entry == nullptr) {
        std::cerr << path << ": no entry " << key << "\n";
        return EXIT_FAILED;
    }
    std::cout << entry->value_text() << "\n";
    return 0;
}

int set(const std::string& path, const std::string& key, const std::string& value)
{
    // The value is read exactly as the file would hold it, so that only
    // values the reader accepts are ever written.
    std::istringstream line(key + "=" + value + ";");
    std::vector<ConfigEntry> parsed;
    ConfigStop stop;
    try {
        parse_config(line, parsed, "VALUE", &stop);
    } catch (const Exception& e) {
        std::cerr << "sipper-config: \"" << key << "=" << value << ";\" is not a valid entry:" << e.message() << "\n";
        return EXIT_USAGE;
    }
    if (parsed.size() != 1 || stop.stopped || parsed[0].key() != key) {
        std::cerr << "sipper-config: \"" << key << "=" << value << ";\" is not a valid entry\n";
        return EXIT_USAGE;
    }
    const ConfigEntry& entry = parsed[0];

    ConfigurationFile cfg;
    bool exists = file_exists(path);
    if (exists && !load(cfg, path))
        return EXIT_USAGE;
    const ConfigEntry* current = cfg.find(key);
    if (current != nullptr && current->type() != entry.type()) {
        // The store would keep the old entry first and add a second one that
        // no lookup ever reaches.
        std::cerr << path << ": " << key << " holds " << type_name(current->type()) << ", not "
                  << type_name(entry.type()) << "; write the value as " << type_name(current->type())
                  << "\n";
        return EXIT_USAGE;
    }
    switch (entry.type()) {
    case ConfigEntry::TYPE_REAL: cfg.put_value(key, entry.real_value()); break;
    case ConfigEntry::TYPE_INTEGER: cfg.put_value(key, entry.int_value()); break;
    case ConfigEntry::TYPE_STRING: cfg.put_value(key, entry.string_value()); break;
    default: cfg.put_value(key, entry.elements()); break;
    }
    int result = exists ? cfg.save() : cfg.save_as(path, false);
    if (result != ConfigurationFile::CONFIG_OK) {
        std::cerr << path << ": cannot save (result " << result << ")\n";
        return EXIT_FAILED;
    }
    return 0;
}

int dump(const std::string& path)
{
    ConfigurationFile cfg;
    if (!load(cfg, path))
        return EXIT_USAGE;
    std::cout << cfg.text();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app("Checks, reads and changes configuration files with the reader and store the components use.",
                 "sipper-config");
    app.require_subcommand(1);
    app.footer("Exit: 0 done, 1 a check failed or get found no entry, 2 usage error or a file that does not load.");

    std::vector<std::string> files;
    std::string file, key, value;
    std::function<int()> action;

    CLI::App* check_cmd = app.add_subcommand("check", "exit 0 when every file reads completely");
    check_cmd->add_option("FILE", files, "configuration file")->required();
    check_cmd->callback([&] { action = [&] { return check(files); }; });

    CLI::App* get_cmd = app.add_subcommand("get", "the value of the first KEY entry; exit 1 if absent");
    get_cmd->add_option("FILE", file, "configuration file")->required();
    get_cmd->add_option("KEY", key, "entry name")->required();
    get_cmd->callback([&] { action = [&] { return get(file, key); }; });

    CLI::App* set_cmd = app.add_subcommand("set", "change or add the KEY entry and save the file");
    // A value such as -.5 is a value, not an option.
    set_cmd->positionals_at_end();
    set_cmd->add_option("FILE", file, "configuration file (made if missing)")->required();
    set_cmd->add_option("KEY", key, "entry name")->required();
    set_cmd->add_option("VALUE", value, "in file syntax: 20, 2.5, \"text\", [1, 2.5, \"a\"]")->required();
    set_cmd->callback([&] { action = [&] { return set(file, key, value); }; });

    CLI::App* dump_cmd = app.add_subcommand("dump", "the file as the store would save it");
    dump_cmd->add_option("FILE", file, "configuration file")->required();
    dump_cmd->callback([&] { action = [&] { return dump(file); }; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string help = "sipper-config";
        for (const CLI::App* sub : app.get_subcommands())
            help += " " + sub->get_name();
        std::string what = e.what();
        if (app.get_subcommands().empty() && !app.remaining().empty()) {
            const std::string w = app.remaining()[0];
            what = (w[0] == '-' ? "unknown option " : "unknown command ") + w;
        }
        std::cerr << "sipper-config: " << what << "\n(" << help << " --help shows the usage)\n";
        return EXIT_USAGE;
    }
    return action();
}
