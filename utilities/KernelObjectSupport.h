#pragma once
// Helpers shared by the named kernel-object wrappers (Mutex, Semaphore).
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
