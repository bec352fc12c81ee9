#pragma once
// Helpers shared by the named kernel-object wrappers (Mutex, Semaphore,
// SharedMemory).
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace kernel_object {

inline std::string errno_text(const char* call, int error) {
    return std::string(call) + " failed: " + std::strerror(error);
}

// Why a name cannot be used for a named object; empty when it can.
inline std::string check_name(const std::string& name) {
    if (name.empty()) return "empty name";
    if (name.find('/') != std::string::npos) return "name holds a '/': " + name;
    if (name.size() > 250) return "name longer than 250 characters";
    return "";
}

// "name (uid N)", or "uid N" for an account without a name.
inline std::string account_text(uid_t uid) {
    char buffer[1024];
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
    return "uid " + std::to_string(uid);
}

// What a file that is no regular file is, for messages.
inline const char* file_kind(mode_t mode) {
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISLNK(mode)) return "symbolic link";
    if (S_ISDIR(mode)) return "directory";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "character device";
    if (S_ISBLK(mode)) return "block device";
    return "special file";
}

// Why an object some other process made must not be used; empty when it may.
// Only this user's regular files that grant nothing to group or others are
// used: whoever made the object can otherwise read the channel, put commands
// into it or hold its locks, and a FIFO or device planted under an object's
// name would block or mislead whoever opens it. `path` names the object as
// an operator finds it.
inline std::string foreign_object_problem(const struct stat& st, const std::string& path) {
    const uid_t me = geteuid();
    const bool regular = S_ISREG(st.st_mode);
    const bool ours = st.st_uid == me;
    const bool private_mode = (st.st_mode & 077) == 0;
    if (regular && ours && private_mode) return "";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (!regular)
        return path + " belongs to " + account_text(st.st_uid) + " with mode " + mode + " and is a " +
               file_kind(st.st_mode) + ", not a regular file; only regular files of " + account_text(me) +
               " that grant nothing to group or others are used";
    return path + " belongs to " + account_text(st.st_uid) + " with mode " + mode +
           "; only objects of " + account_text(me) +
           " that grant nothing to group or others are used";
}

// The same for an open descriptor of the object.
inline std::string foreign_descriptor_problem(int fd, const std::string& path) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return path + ": " + errno_text("fstat", errno);
    return foreign_object_problem(st, path);
}

inline timespec monotonic_deadline(long milliseconds) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += milliseconds / 1000;
    t.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

inline bool past(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace kernel_object
