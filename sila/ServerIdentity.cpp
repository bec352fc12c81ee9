#include "sila/ServerIdentity.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>

#include "utilities/Exception.h"

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// Written beside, then renamed over, so that a crash leaves the old file or the new one.
void write_file(const std::string& path, const std::string& text) {
    const std::string part = path + ".new";
    {
        std::ofstream out(part, std::ios::trunc);
        out << text << '\n';
        if (!out.flush()) throw Exception("sipper-sila: cannot write " + part);
    }
    if (std::rename(part.c_str(), path.c_str()) != 0)
        throw Exception("sipper-sila: cannot rename " + part + " to " + path + ": " +
                        std::strerror(errno));
}

}  // namespace

ServerIdentity::ServerIdentity(std::string state_dir) : dir_(std::move(state_dir)) {
    if (mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST)
        throw Exception("sipper-sila: cannot create the state directory " + dir_ + ": " +
                        std::strerror(errno));
    const std::string uuid_path = dir_ + "/" + UUID_FILE;
    if (std::optional<std::string> kept = read_file(uuid_path)) {
        if (!is_uuid(*kept))
            throw Exception("sipper-sila: " + uuid_path + " does not hold a lower-case UUID");
        uuid_ = *kept;
    } else {
        uuid_ = new_uuid();
        write_file(uuid_path, uuid_);
    }
    const std::optional<std::string> name = read_file(dir_ + "/" + NAME_FILE);
    name_ = name && !name->empty() ? *name : SERVER_TYPE;
}

std::string ServerIdentity::name() const {
    std::lock_guard<std::mutex> hold(guard_);
    return name_;
}

void ServerIdentity::set_name(const std::string& name) {
    std::lock_guard<std::mutex> hold(guard_);
    write_file(dir_ + "/" + NAME_FILE, name);
    name_ = name;
}

std::string ServerIdentity::new_uuid() {
    std::random_device random;
    unsigned char b[16];
    for (unsigned char& x : b) x = static_cast<unsigned char>(random());
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

bool ServerIdentity::is_uuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}
