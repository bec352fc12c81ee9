#include "utilities/Semaphore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "utilities/KernelObjectSupport.h"

namespace {

using kernel_object::check_name;
using kernel_object::errno_text;
using kernel_object::foreign_descriptor_problem;
using kernel_object::foreign_object_problem;
using kernel_object::monotonic_deadline;
using kernel_object::past;

}  // namespace

Semaphore::Semaphore(const std::string& name, long initial_count, long maximum_count)
    : maximum_(maximum_count) {
    error_ = check_name(name);
    if (!error_.empty()) return;
    if (maximum_count <= 0 || initial_count < 0 || initial_count > maximum_count ||
        maximum_count > SEM_VALUE_MAX) {
        error_ = "counts out of range: initial " + std::to_string(initial_count) + ", maximum " +
                 std::to_string(maximum_count);
        return;
    }
    const std::string object = "/" + name;
    const std::string path = file_path(name);
    // Create, or open the one another process made; one removed or replaced
    // between the steps sends us round again.
    for (int attempt = 0; attempt < 10; ++attempt) {
        sem_t* s = sem_open(object.c_str(), O_CREAT | O_EXCL, 0600,
                            static_cast<unsigned>(initial_count));
        if (s != SEM_FAILED) {
            handle_ = s;
            has_handle_ = true;
            created_ = true;
            // Never blocking: whatever sits at the path by now is checked
            // before it is kept.
            fd_ = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd_ < 0) {
                error_ = path + ": " + errno_text("open", errno);
                close_handle();
                sem_unlink(object.c_str());
                created_ = false;
                return;
            }
            error_ = foreign_descriptor_problem(fd_, path);
            if (!error_.empty()) {
                // Not what we made: someone replaced it, so it is not ours to remove.
                close_handle();
                created_ = false;
            }
            return;
        }
        if (errno != EEXIST) {
            error_ = errno_text("sem_open", errno);
            return;
        }
        // Check the existing object through a descriptor of its own, so that
        // what is checked is what gets used. Without O_NONBLOCK a FIFO planted
        // at the path would hold this open until someone writes to it.
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            if (e == ENOENT) continue;
            struct stat st {};
            const std::string foreign =
                lstat(path.c_str(), &st) == 0 ? foreign_object_problem(st, path) : "";
            error_ = !foreign.empty() ? foreign : path + ": " + errno_text("open", e);
            return;
        }
        const std::string foreign = foreign_descriptor_problem(fd, path);
        if (!foreign.empty()) {
            error_ = foreign;
            ::close(fd);
            return;
        }
        s = sem_open(object.c_str(), 0);
        if (s == SEM_FAILED) {
            const int e = errno;
            ::close(fd);
            if (e == ENOENT) continue;
            error_ = errno_text("sem_open", e);
            return;
        }
        struct stat checked {}, now {};
        if (fstat(fd, &checked) != 0 || stat(path.c_str(), &now) != 0 ||
            checked.st_dev != now.st_dev || checked.st_ino != now.st_ino) {
            sem_close(s);
            ::close(fd);
            continue;
        }
        handle_ = s;
        has_handle_ = true;
        fd_ = fd;
        return;
    }
    error_ = "sem_open failed: the semaphore keeps disappearing";
}

void Semaphore::close_handle() {
    if (has_handle_) sem_close(handle_);
    handle_ = nullptr;
    has_handle_ = false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::string Semaphore::file_path(const std::string& name) { return "/dev/shm/sem." + name; }

Semaphore::~Semaphore() { close_handle(); }

bool Semaphore::wait(long milliseconds) {
    if (handle_ == nullptr) return false;
    int rc;
    if (milliseconds < 0) {
        do rc = sem_wait(handle_);
        while (rc != 0 && errno == EINTR);
    } else if (milliseconds == 0) {
        do rc = sem_trywait(handle_);
        while (rc != 0 && errno == EINTR);
    } else {
        // An absolute deadline keeps a retry after a signal from waiting longer.
        const timespec deadline = monotonic_deadline(milliseconds);
#if defined(__SANITIZE_THREAD__)
        // The thread sanitizer does not know sem_clockwait and would hold
        // back signals for the whole wait; its test builds poll instead.
        for (;;) {
            rc = sem_trywait(handle_);
            if (rc == 0 || (errno != EAGAIN && errno != EINTR)) break;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > deadline.tv_sec ||
                (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
                break;
            timespec pause{0, 200000L};
            nanosleep(&pause, nullptr);
        }
#else
        do rc = sem_clockwait(handle_, CLOCK_MONOTONIC, &deadline);
        while (rc != 0 && errno == EINTR);
#endif
    }
    return rc == 0;
}

bool Semaphore::release() {
    if (handle_ == nullptr) return false;
    // Check and post are two steps: two processes releasing at once may both
    // pass the check. The maxima in use (100 and 1) tolerate that.
    int value = 0;
    if (sem_getvalue(handle_, &value) != 0) return false;
    if (value >= maximum_) return false;
    return sem_post(handle_) == 0;
}

bool Semaphore::remove(const std::string& name) {
    if (!check_name(name).empty()) return false;
    return sem_unlink(("/" + name).c_str()) == 0;
}
