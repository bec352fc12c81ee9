#pragma once
#include <pthread.h>

#include <atomic>
#include <string>
#include <thread>

// A recursive mutex, process-private (unnamed) or shared by name between
// processes. A named mutex lives in a 64-byte shared-memory segment "/"+name
// holding a ready word and a robust, process-shared, recursive pthread mutex;
// a lock whose owner died ("abandoned") counts as acquired. An existing
// segment is used only when it is a regular file that belongs to this user
// and grants nothing to group or others.
//
//   Mutex m("pci7344-1MUTEX");
//   if (m.lock(1000)) { ...; m.unlock(); }
class Mutex {
public:
    explicit Mutex(bool initial_owner = false);
    explicit Mutex(const std::string& name, bool initial_owner = false);
    // Without it a string literal would pick the bool constructor and give an
    // unnamed mutex.
    explicit Mutex(const char* name, bool initial_owner = false)
        : Mutex(std::string(name != nullptr ? name : ""), initial_owner) {}
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Waits without limit; false only when the mutex is unusable.
    bool lock();
    // Waits at most `milliseconds` (0 only tries, < 0 waits without limit);
    // true when acquired.
    bool lock(long milliseconds);
    bool unlock();

    // True when the handle was obtained (the named segment opened).
    bool valid() const { return handle_ != nullptr; }
    // True when this object created the named segment.
    bool created() const { return created_; }
    // Why the handle could not be obtained (empty when valid).
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }

    // Removes the named segment from the system (operators and tests only).
    static bool remove(const std::string& name);

private:
    pthread_mutex_t* handle_ = nullptr;
    bool has_handle_ = false;
    bool created_ = false;
    bool named_ = false;
    void* segment_ = nullptr;
    std::string name_;
    std::string error_;
    // The levels taken through this object by the thread that holds it, so
    // that destruction gives back exactly those and no others.
    std::atomic<std::thread::id> owner_{};
    long depth_ = 0;

    bool note_acquired(bool ok);
    void note_released();
};
