#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "config/ConfigEntry.h"
#include "config/PathUtils.h"

// The in-memory form of one configuration file: an ordered list of named,
// typed values. Lookups find the first entry whose key matches exactly (case
// sensitive) and whose type fits the overload (the three integer overloads
// share integer entries; reals are never converted from integers).
//
//   ConfigurationFile cfg;
//   if (cfg.load_config(path) != ConfigurationFile::CONFIG_OK) ...;   // may throw Exception
//   int freq;
//   cfg.get_value_or_add("FREQ", freq, 10);     // adds FREQ=10 when missing
//   cfg.put_value("SIPPER_SAFE_Z", 12.5);
//   cfg.save();
//
// File operations return the codes below and raise only when the file does
// not parse (Exception with the reader's message). Entries hold 32-bit
// integers: the long overloads raise Exception for a value outside that
// range instead of storing another number, and reals that are not finite
// (no text form reads back) are refused the same way.
class ConfigurationFile {
public:
    enum Result {
        CONFIG_OK = 0,
        CONFIG_EXISTS = 1,          // save_as without overwrite: target exists
        CONFIG_NOT_FOUND = 2,       // load/delete: no such file; save: no file name
        CONFIG_WRITE_FAILED = 3,    // the file could not be written
        CONFIG_NO_DIRECTORY = 4,    // the target's directory could not be created
        CONFIG_ACCESS_DENIED = 5,   // delete: access denied
        CONFIG_DELETE_FAILED = 6    // delete: any other failure
    };

    ConfigurationFile();
    virtual ~ConfigurationFile();
    ConfigurationFile(const ConfigurationFile&) = default;
    ConfigurationFile& operator=(const ConfigurationFile&) = default;

    virtual bool get_value(const std::string& key, ConfigArray& out) const;
    virtual bool get_value(const std::string& key, std::string& out) const;
    virtual bool get_value(const std::string& key, int16_t& out) const;  // low 16 bits
    virtual bool get_value(const std::string& key, int& out) const;
    virtual bool get_value(const std::string& key, long& out) const;
    virtual bool get_value(const std::string& key, double& out) const;

    virtual void get_value_or_add(const std::string& key, std::string& out, const std::string& def);
    virtual void get_value_or_add(const std::string& key, int16_t& out, int16_t def);
    virtual void get_value_or_add(const std::string& key, int& out, int def);
    virtual void get_value_or_add(const std::string& key, long& out, long def);
    virtual void get_value_or_add(const std::string& key, double& out, double def);

    // Updates the first entry of that key and type, else appends a new entry.
    virtual void add_value(const std::string& key, const ConfigArray& value);
    virtual void add_value(const std::string& key, const std::string& value);
    virtual void add_value(const std::string& key, double value);
    virtual void add_value(const std::string& key, int value);
    virtual void add_value(const std::string& key, long value);

    // Replaces the value of the first entry of that key and type; false (and
    // nothing changed) when there is none.
    virtual bool update_value(const std::string& key, const ConfigArray& value);
    virtual bool update_value(const std::string& key, const std::string& value);
    virtual bool update_value(const std::string& key, int value);
    virtual bool update_value(const std::string& key, long value);
    virtual bool update_value(const std::string& key, double value);

    virtual void put_value(const std::string& key, const ConfigArray& value);
    virtual void put_value(const std::string& key, const std::string& value);
    virtual void put_value(const std::string& key, int value);
    virtual void put_value(const std::string& key, long value);
    virtual void put_value(const std::string& key, double value);

    // Replaces the entries with the file's; 2 when the file does not exist.
    // A path that exists but cannot be read (a directory, no permission)
    // returns 0 and keeps the entries. Raises Exception when the file does
    // not parse (the entries read before the error stay), and "<path> is not
    // a regular file" for a FIFO or device (entries and file name stay).
    int load_config(const std::string& path);
    int load_config();  // the file name last loaded or saved; 2 when none
    // Writes every entry, one per line, to a temporary file beside the target
    // and renames it over the target, so the old file stays whole on failure.
    // 3 when the caller may not open an existing target for writing, or it is
    // not a regular file; where the directory does not let the temporary file
    // be made (or the target's owner kept), the target is written in place,
    // and a failed in-place write (a full file system) leaves the old text.
    int save();
    int save_as(const std::string& path, bool overwrite);
    // 5 when the caller may not write the file; 6 for anything that is not a
    // regular file or symbolic link.
    int delete_config(const std::string& path);
    std::string get_dir() const;

    const std::string& file_name() const { return file_name_; }
    const std::vector<ConfigEntry>& entries() const { return entries_; }
    // The first entry with that key, whatever its type; nullptr when none.
    const ConfigEntry* find(const std::string& key) const;
    // The file text save() writes.
    std::string text() const;

private:
    ConfigEntry* find(const std::string& key, int type);
    const ConfigEntry* find(const std::string& key, int type) const;

    std::string file_name_;
    std::vector<ConfigEntry> entries_;
};
