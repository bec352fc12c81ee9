#include "config/ConfigurationFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>

#include "config/ConfigReader.h"
#include "utilities/Exception.h"

namespace {

// Entries hold 32-bit integers; a long that does not fit must not become
// another number.
int checked_int(const char* operation, const std::string& key, long value)
{
    if (value < INT_MIN || value > INT_MAX)
        throw Exception(std::string("ConfigurationFile::") + operation + "() ERROR, value " +
                        std::to_string(value) + " of " + key + " is outside the 32-bit integer range");
    return static_cast<int>(value);
}

// Infinity and NaN have no text form that reads back.
double checked_real(const char* operation, const std::string& key, double value)
{
    if (!std::isfinite(value))
        throw Exception(std::string("ConfigurationFile::") + operation + "() ERROR, value of " + key +
                        " is not a finite number");
    return value;
}

// Writes text from the start of the file, whatever the file offset.
bool write_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The whole content of the file; false when the descriptor may not read.
bool read_all(int fd, std::string& text)
{
    text.clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// Writes text over the file an open descriptor holds and closes it. The file
// is never emptied first: the blocks the new text needs are reserved before
// a byte of the old text is overwritten, so a full file system refuses the
// save and leaves the file whole. Should a write fail all the same (a file
// system without reservation, one that allocates anew on every write), the
// old text is written back, when the descriptor could read it.
bool write_in_place(int fd, const std::string& text)
{
    struct stat before;
    if (::fstat(fd, &before) != 0) {
        ::close(fd);
        return false;
    }
    std::string old;
    const bool old_read = read_all(fd, old);

    if (!text.empty()) {
        const int reserved = ::posix_fallocate(fd, 0, static_cast<off_t>(text.size()));
        if (reserved == ENOSPC || reserved == EDQUOT || reserved == EFBIG) {
            // A part of the space may have been taken past the old end; the
            // old text itself is untouched. Cutting back can fail only to
            // leave the file longer, with zeros after its last line.
            [[maybe_unused]] const int cut = ::ftruncate(fd, before.st_size);
            ::close(fd);
            return false;
        }
        // Any other refusal means the file system cannot reserve: write and check.
    }
    const bool written = write_all(fd, text) &&
                         ::ftruncate(fd, static_cast<off_t>(text.size())) == 0 && ::fsync(fd) == 0;
    if (!written && old_read && write_all(fd, old) &&
        ::ftruncate(fd, static_cast<off_t>(old.size())) == 0)
        ::fsync(fd);
    return (::close(fd) == 0) && written;
}

enum class Replaced { DONE, NOT_HERE, FAILED };

// Writes text to a new file beside target and renames it over the target:
// readers see either the old file or the complete new one, never a part.
// The new file takes the mode, owner and group of the old one (old, when
// given). NOT_HERE when that cannot be done here: the directory may not be
// written, or the owner cannot be kept.
Replaced replace_file(const std::string& target, const std::string& text, const struct stat* old)
{
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return errno == EACCES || errno == EPERM ? Replaced::NOT_HERE : Replaced::FAILED;
    }
    if (fd < 0)
        return Replaced::FAILED;

    bool ok = true;
    if (old != nullptr) {
        struct stat made;
        ok = ::fstat(fd, &made) == 0;
        if (ok && (made.st_uid != old->st_uid || made.st_gid != old->st_gid) &&
            ::fchown(fd, old->st_uid, old->st_gid) != 0) {
            ::close(fd);
            ::unlink(temp.c_str());
            return Replaced::NOT_HERE;
        }
        ok = ok && ::fchmod(fd, old->st_mode & 07777) == 0;
    }
    ok = ok && write_all(fd, text) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok ? Replaced::DONE : Replaced::FAILED;
}

}  // namespace

ConfigurationFile::ConfigurationFile() = default;

ConfigurationFile::~ConfigurationFile() = default;

// Only the first entry of a key is ever found; it counts when its type fits.
ConfigEntry* ConfigurationFile::find(const std::string& key, int type)
{
    for (ConfigEntry& entry : entries_)
        if (entry.key() == key)
            return entry.type() == type ? &entry : nullptr;
    return nullptr;
}

const ConfigEntry* ConfigurationFile::find(const std::string& key, int type) const
{
    for (const ConfigEntry& entry : entries_)
        if (entry.key() == key)
            return entry.type() == type ? &entry : nullptr;
    return nullptr;
}

const ConfigEntry* ConfigurationFile::find(const std::string& key) const
{
    for (const ConfigEntry& entry : entries_)
        if (entry.key() == key)
            return &entry;
    return nullptr;
}

// ---------------------------------------------------------------- get_value

bool ConfigurationFile::get_value(const std::string& key, ConfigArray& out) const
{
    const ConfigEntry* entry = find(key, ConfigEntry::TYPE_ARRAY);
    if (entry == nullptr)
        return false;
    out = entry->elements();
    return true;
}

bool ConfigurationFile::get_value(const std::string& key, std::string& out) const
{
    const ConfigEntry* entry = find(key, ConfigEntry::TYPE_STRING);
    if (entry == nullptr)
        return false;
    out = entry->string_value();
    return true;
}

bool ConfigurationFile::get_value(const std::string& key, int16_t& out) const
{
    const ConfigEntry* entry = find(key, ConfigEntry::TYPE_INTEGER);
    if (entry == nullptr)
        return false;
    out = static_cast<int16_t>(static_cast<uint16_t>(entry->int_value() & 0xFFFF));
    return true;
}

bool ConfigurationFile::get_value(const std::string& key, int& out) const
{
    const ConfigEntry* entry = find(key, ConfigEntry::TYPE_INTEGER);
    if (entry == nullptr)
        return false;
    out = entry->int_value();
    return true;
}

bool ConfigurationFile::get_value(const std::string& key, long& out) const
{
    const ConfigEntry* entry = find(key, ConfigEntry::TYPE_INTEGER);
    if (entry == nullptr)
        return false;
    out = entry->int_value();
    return true;
}

bool ConfigurationFile::get_value(const std::string& key, double& out) const
{
    const ConfigEntry* entry = find(key, ConfigEntry::TYPE_REAL);
    if (entry == nullptr)
        return false;
    out = entry->real_value();
    return true;
}

// ---------------------------------------------------------------- get_value_or_add

void ConfigurationFile::get_value_or_add(const std::string& key, std::string& out, const std::string& def)
{
    if (get_value(key, out))
        return;
    add_value(key, def);
    out = def;
}

void ConfigurationFile::get_value_or_add(const std::string& key, int16_t& out, int16_t def)
{
    if (get_value(key, out))
        return;
    add_value(key, static_cast<int>(def));
    out = def;
}

void ConfigurationFile::get_value_or_add(const std::string& key, int& out, int def)
{
    if (get_value(key, out))
        return;
    add_value(key, def);
    out = def;
}

void ConfigurationFile::get_value_or_add(const std::string& key, long& out, long def)
{
    if (get_value(key, out))
        return;
    add_value(key, def);
    out = def;
}

void ConfigurationFile::get_value_or_add(const std::string& key, double& out, double def)
{
    if (get_value(key, out))
        return;
    add_value(key, def);
    out = def;
}

// ---------------------------------------------------------------- add_value

void ConfigurationFile::add_value(const std::string& key, const ConfigArray& value)
{
    if (!update_value(key, value))
        entries_.emplace_back(key, value);
}

void ConfigurationFile::add_value(const std::string& key, const std::string& value)
{
    if (!update_value(key, value))
        entries_.emplace_back(key, value);
}

void ConfigurationFile::add_value(const std::string& key, double value)
{
    checked_real("add_value", key, value);
    if (!update_value(key, value))
        entries_.emplace_back(key, value);
}

void ConfigurationFile::add_value(const std::string& key, int value)
{
    if (!update_value(key, value))
        entries_.emplace_back(key, value);
}

void ConfigurationFile::add_value(const std::string& key, long value)
{
    int narrow = checked_int("add_value", key, value);
    if (!update_value(key, narrow))
        entries_.emplace_back(key, narrow);
}

// ---------------------------------------------------------------- update_value

bool ConfigurationFile::update_value(const std::string& key, const ConfigArray& value)
{
    ConfigEntry* entry = find(key, ConfigEntry::TYPE_ARRAY);
    if (entry == nullptr)
        return false;
    entry->set(value);
    return true;
}

bool ConfigurationFile::update_value(const std::string& key, const std::string& value)
{
    ConfigEntry* entry = find(key, ConfigEntry::TYPE_STRING);
    if (entry == nullptr)
        return false;
    entry->set(value);
    return true;
}

bool ConfigurationFile::update_value(const std::string& key, int value)
{
    ConfigEntry* entry = find(key, ConfigEntry::TYPE_INTEGER);
    if (entry == nullptr)
        return false;
    entry->set(value);
    return true;
}

bool ConfigurationFile::update_value(const std::string& key, long value)
{
    return update_value(key, checked_int("update_value", key, value));
}

bool ConfigurationFile::update_value(const std::string& key, double value)
{
    checked_real("update_value", key, value);
    ConfigEntry* entry = find(key, ConfigEntry::TYPE_REAL);
    if (entry == nullptr)
        return false;
    entry->set(value);
    return true;
}

// ---------------------------------------------------------------- put_value

void ConfigurationFile::put_value(const std::string& key, const ConfigArray& value)
{
    if (!update_value(key, value))
        add_value(key, value);
}

void ConfigurationFile::put_value(const std::string& key, const std::string& value)
{
    if (!update_value(key, value))
        add_value(key, value);
}

void ConfigurationFile::put_value(const std::string& key, int value)
{
    if (!update_value(key, value))
        add_value(key, value);
}

void ConfigurationFile::put_value(const std::string& key, long value)
{
    int narrow = checked_int("put_value", key, value);
    if (!update_value(key, narrow))
        add_value(key, narrow);
}

void ConfigurationFile::put_value(const std::string& key, double value)
{
    checked_real("put_value", key, value);
    if (!update_value(key, value))
        add_value(key, value);
}

// ---------------------------------------------------------------- files

int ConfigurationFile::load_config(const std::string& path)
{
    if (!file_exists(path))
        return CONFIG_NOT_FOUND;
    std::string name = path;
    normalize_path(name);

    // A directory passes file_exists but is no configuration: keep the entries.
    struct stat status;
    if (::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        file_name_ = name;
        return CONFIG_OK;
    }
    // Any other file that is not a regular one (a FIFO, a device) raises
    // before its name is taken, so that no later save writes there.
    std::unique_ptr<std::istream> in = open_config_file(name);
    file_name_ = name;
    if (in == nullptr)
        return CONFIG_OK;

    entries_.clear();
    parse_config(*in, entries_);  // raises Exception with the reader's message
    return CONFIG_OK;
}

int ConfigurationFile::load_config()
{
    if (file_name_.empty())
        return CONFIG_NOT_FOUND;
    return load_config(file_name_);
}

std::string ConfigurationFile::text() const
{
    std::string result;
    for (const ConfigEntry& entry : entries_) {
        result += entry.text();
        result += '\n';
    }
    return result;
}

int ConfigurationFile::save()
{
    if (file_name_.empty())
        return CONFIG_NOT_FOUND;

    // Through a symbolic link the file it points to is replaced, not the link.
    std::string target = file_name_;
    struct stat status;
    if (::lstat(target.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        char* resolved = ::realpath(target.c_str(), nullptr);
        if (resolved != nullptr) {
            target = resolved;
            ::free(resolved);
        }
    }
    // Never replaces a FIFO, a device or a directory.
    const bool exists = ::stat(target.c_str(), &status) == 0;
    if (exists && !S_ISREG(status.st_mode))
        return CONFIG_WRITE_FAILED;
    // The file's own write protection counts: who may not open it for
    // writing may not replace it either. Read access is taken too where
    // granted, so that a failed in-place write can put the old text back.
    int fd = -1;
    if (exists) {
        const int flags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        fd = ::open(target.c_str(), O_RDWR | flags);
        if (fd < 0 && errno == EACCES)
            fd = ::open(target.c_str(), O_WRONLY | flags);
        if (fd < 0)
            return CONFIG_WRITE_FAILED;
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            ::close(fd);
            return CONFIG_WRITE_FAILED;
        }
    }
    const Replaced replaced = replace_file(target, text(), exists ? &status : nullptr);
    if (replaced == Replaced::NOT_HERE && fd >= 0)
        return write_in_place(fd, text()) ? CONFIG_OK : CONFIG_WRITE_FAILED;
    if (fd >= 0)
        ::close(fd);
    return replaced == Replaced::DONE ? CONFIG_OK : CONFIG_WRITE_FAILED;
}

int ConfigurationFile::save_as(const std::string& path, bool overwrite)
{
    if (!overwrite && file_exists(path))
        return CONFIG_EXISTS;
    std::string dir = dir_of(path);
    if (!file_exists(dir) && !make_dirs(dir))
        return CONFIG_NO_DIRECTORY;
    file_name_ = path;
    return save();
}

int ConfigurationFile::delete_config(const std::string& path)
{
    if (!file_exists(path))
        return CONFIG_NOT_FOUND;
    // Remove the name that exists: as passed, or its normalised form.
    std::string name = path;
    struct stat status;
    if (::lstat(name.c_str(), &status) != 0) {
        normalize_path(name);
        if (::lstat(name.c_str(), &status) != 0)
            return CONFIG_DELETE_FAILED;
    }
    // Only configuration files go: no FIFO, device or directory. A file's
    // write protection guards it against deletion as well; removing a
    // symbolic link leaves the file it names alone.
    if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode))
        return CONFIG_DELETE_FAILED;
    if (S_ISREG(status.st_mode) && ::faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) != 0)
        return errno == EACCES || errno == EPERM || errno == EROFS ? CONFIG_ACCESS_DENIED : CONFIG_DELETE_FAILED;
    if (::unlink(name.c_str()) == 0)
        return CONFIG_OK;
    if (errno == EACCES || errno == EPERM || errno == EROFS)
        return CONFIG_ACCESS_DENIED;
    return CONFIG_DELETE_FAILED;
}

std::string ConfigurationFile::get_dir() const
{
    return dir_of(file_name_);
}
