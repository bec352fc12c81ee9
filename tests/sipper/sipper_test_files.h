#pragma once
// Small file helpers shared by the Sipper tests: a private directory per
// test, whole-file reads and writes, and log line lookups.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace sipper_test {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string tmpl = "/tmp/sipper_test_XXXXXX";
        char* made = mkdtemp(tmpl.data());
        path_ = made ? made : "";
        path_ += "/";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool file_present(const std::string& path) { return std::filesystem::exists(path); }

// Counts the log lines that carry "<name>: " + text.
inline int count_log_lines(const std::string& log_path, const std::string& name,
                           const std::string& text) {
    std::istringstream in(read_file(log_path));
    const std::string needle = "<" + name + ">: " + text;
    int n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos) ++n;
    return n;
}

// Interface names tests may own alone: the pid and a per-process counter.
inline std::string unique_name(const std::string& stem) {
    static int counter = 0;
    return stem + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

}  // namespace sipper_test
