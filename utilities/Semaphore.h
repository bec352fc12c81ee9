#pragma once
#include <semaphore.h>

#include <string>

// A named counting semaphore shared between processes ("/"+name, the file
// /dev/shm/sem.<name>). POSIX semaphores have no maximum, so the wrapper
// keeps the one it was built with. An existing semaphore is used only when it
// is a regular file that belongs to this user and grants nothing to group or
// others.
//
//   Semaphore start("SipperStartSignal", 0, 100);
//   if (start.wait(10)) { ... }   start.release();
class Semaphore {
public:
    Semaphore(const std::string& name, long initial_count, long maximum_count);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // < 0 waits without limit, 0 only polls; true when a count was taken.
    bool wait(long milliseconds);
    // False when the count is already at the maximum or the call fails.
    bool release();

    bool valid() const { return handle_ != nullptr; }
    bool created() const { return created_; }
    const std::string& error() const { return error_; }

    // A descriptor of the semaphore's file, open as long as the handle (an
    // advisory lock on it can mark the object as in use); -1 when invalid.
    int file_descriptor() const { return fd_; }
    static std::string file_path(const std::string& name);

    static bool remove(const std::string& name);

private:
    void close_handle();

    sem_t* handle_ = nullptr;
    int fd_ = -1;
    bool has_handle_ = false;
    bool created_ = false;
    long maximum_ = 0;
    std::string error_;
};
