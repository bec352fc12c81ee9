#include "utilities/Syslog.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "utilities/Exception.h"
#include "utilities/Files.h"

extern char** environ;

namespace {

std::string directory_part(const std::string& path) {
    const size_t last = path.find_last_of("/\\");
    if (last == std::string::npos) return "./";
    return path.substr(0, last + 1);
}

bool is_executable_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Looks a bare program name up in PATH here, so that the forked child only
// needs calls that are safe after fork in a threaded process.
std::string resolve_program(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* env = std::getenv("PATH");
    const std::string search = env != nullptr && *env != '\0' ? env : "/usr/local/bin:/usr/bin:/bin";
    size_t begin = 0;
    for (;;) {
        const size_t end = search.find(':', begin);
        std::string dir = search.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + program;
        if (is_executable_file(candidate)) return candidate;
        if (end == std::string::npos) return "";
        begin = end + 1;
    }
}

}  // namespace

Syslog::Syslog(const std::string& path, bool append) : path_(path) {
    // "\" separates like "/" wherever the path came from; the header keeps
    // the path as given.
    std::string local = path;
    std::replace(local.begin(), local.end(), '\\', '/');
    const std::string directory = directory_part(local);
    struct stat st {};
    if (stat(directory.c_str(), &st) != 0) make_directory_chain(directory);

    line_count_ = 0;
    // "e": the descriptor is not handed to programs this process starts.
    file_ = std::fopen(local.c_str(), append ? "a+e" : "w+e");
    if (file_ == nullptr) throw Exception("Failed to open: " + path);
    std::fprintf(file_, "Log file: %s created %s\n", path_.c_str(), now_string().c_str());
    std::fflush(file_);
}

Syslog::~Syslog() {
    lock_.lock();
    if (file_ != nullptr) {
        std::fprintf(file_, "Log file: %s closed %s\r\n", path_.c_str(), now_string().c_str());
        std::fflush(file_);
        std::fclose(file_);
        file_ = nullptr;
    }
    lock_.unlock();
}

bool Syslog::write_line(const char* raw_text, char* copy, size_t copy_size) {
    const std::string line = one_line(raw_text != nullptr ? raw_text : "");
    const char* text = line.c_str();
    lock_.lock();
    ++line_count_;
    const std::string stamp = now_string();
    const std::string copy_text = stamp + " " + text;
    if (copy != nullptr && copy_size > 0) {
        const size_t n = std::min(copy_text.size(), copy_size - 1);
        std::memcpy(copy, copy_text.data(), n);
        copy[n] = '\0';
    }
    bool ok = false;
    if (file_ != nullptr) {
        ok = std::fprintf(file_, "%li %s %s \r\n", line_count_, stamp.c_str(), text) >= 0;
        ok = std::fflush(file_) == 0 && ok;
    }
    lock_.unlock();
    return ok;
}

bool Syslog::write_line(const char* text) { return write_line(text, nullptr, 0); }

bool Syslog::write_line(const std::string& text) { return write_line(text.c_str(), nullptr, 0); }

bool Syslog::write_raw(const char* raw_text) {
    const std::string line = one_line(raw_text != nullptr ? raw_text : "");
    const char* text = line.c_str();
    lock_.lock();
    bool ok = false;
    if (file_ != nullptr) {
        ok = std::fprintf(file_, "%s \r\n", text) >= 0;
        ok = std::fflush(file_) == 0 && ok;
    }
    lock_.unlock();
    return ok;
}

bool Syslog::write_raw(const std::string& text) { return write_raw(text.c_str()); }

void Syslog::open_in_viewer(const std::string& program) {
    const std::string resolved = resolve_program(program);
    if (resolved.empty()) return;
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>(path_.c_str()),
                            nullptr};
    // Double fork: the middle process exits at once and is collected here, so
    // the viewer is adopted by init and never lingers as our zombie, and no
    // SIGCHLD handling of the process is touched.
    const pid_t middle = fork();
    if (middle < 0) return;
    if (middle == 0) {
        const pid_t viewer = fork();
        if (viewer == 0) {
            // The process ignores SIGPIPE; the viewer gets the usual default.
            signal(SIGPIPE, SIG_DFL);
            execve(resolved.c_str(), argv.data(), environ);
            _exit(127);
        }
        _exit(viewer < 0 ? 1 : 0);
    }
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
}

void Syslog::set_value(int value) {
    lock_.lock();
    value_ = value;
    lock_.unlock();
}

std::string Syslog::one_line(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string Syslog::log_dir() const { return directory_part(path_); }
