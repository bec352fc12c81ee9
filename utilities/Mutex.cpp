#include "utilities/Mutex.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <new>

#include "utilities/KernelObjectSupport.h"

namespace {

using kernel_object::check_name;
using kernel_object::errno_text;
using kernel_object::foreign_descriptor_problem;
using kernel_object::foreign_object_problem;
using kernel_object::monotonic_deadline;
using kernel_object::past;

// Layout of the 64-byte segment every process of the installation agrees on.
constexpr size_t SEGMENT_SIZE = 64;
constexpr size_t MUTEX_OFFSET = 8;
constexpr uint32_t READY_WORD = 0x5854554D;  // "MUTX" as little-endian bytes
constexpr long OPEN_WAIT_MS = 1000;          // how long an opener waits for the creator

static_assert(MUTEX_OFFSET + sizeof(pthread_mutex_t) <= SEGMENT_SIZE,
              "the mutex must fit its slot in the shared segment");

void pause_briefly() {
    timespec t{0, 1000000L};  // 1 ms
    nanosleep(&t, nullptr);
}

std::atomic_ref<uint32_t> ready_word(void* segment) {
    return std::atomic_ref<uint32_t>(*static_cast<uint32_t*>(segment));
}

pthread_mutex_t* mutex_in(void* segment) {
    return reinterpret_cast<pthread_mutex_t*>(static_cast<char*>(segment) + MUTEX_OFFSET);
}

// A lock whose owner died is ours now; mark it usable again.
bool acquired(pthread_mutex_t* m, int rc) {
    if (rc == 0) return true;
    if (rc == EOWNERDEAD) return pthread_mutex_consistent(m) == 0;
    return false;
}

}  // namespace

Mutex::Mutex(bool initial_owner) {
    auto* m = new (std::nothrow) pthread_mutex_t;
    if (m == nullptr) {
        error_ = "out of memory";
        return;
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        delete m;
        error_ = errno_text("pthread_mutex_init", rc);
        return;
    }
    handle_ = m;
    has_handle_ = true;
    if (initial_owner) lock();
}

Mutex::Mutex(const std::string& name, bool initial_owner) : named_(true), name_(name) {
    error_ = check_name(name);
    if (!error_.empty()) return;
    const std::string object = "/" + name;

    // Create, or open the one another process made; a segment removed between
    // the two attempts sends us round again.
    int fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; ++attempt) {
        fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            created_ = true;
            break;
        }
        if (errno != EEXIST) {
            error_ = errno_text("shm_open", errno);
            return;
        }
        // O_NONBLOCK: an object planted at the name may be a FIFO (refused
        // below as no regular file); opening one must not wait.
        fd = shm_open(object.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0 && errno != ENOENT) {
            // Refused to an unprivileged user: say whose it is where we can.
            const int e = errno;
            struct stat st {};
            const std::string path = "/dev/shm/" + name;
            error_ = lstat(path.c_str(), &st) == 0 ? foreign_object_problem(st, path) : "";
            if (error_.empty()) error_ = errno_text("shm_open", e);
            return;
        }
    }
    if (fd < 0) {
        error_ = "shm_open failed: the segment keeps disappearing";
        return;
    }

    if (created_) {
        if (ftruncate(fd, SEGMENT_SIZE) != 0) {
            error_ = errno_text("ftruncate", errno);
            close(fd);
            shm_unlink(object.c_str());
            created_ = false;
            return;
        }
    } else {
        const std::string foreign = foreign_descriptor_problem(fd, "/dev/shm/" + name);
        if (!foreign.empty()) {
            error_ = foreign;
            close(fd);
            return;
        }
        // The creator sets the size right after creating; wait for it.
        const timespec deadline = monotonic_deadline(OPEN_WAIT_MS);
        for (;;) {
            struct stat st {};
            if (fstat(fd, &st) != 0) {
                error_ = errno_text("fstat", errno);
                close(fd);
                return;
            }
            if (static_cast<size_t>(st.st_size) >= SEGMENT_SIZE) break;
            if (st.st_size > 0) {
                // A size once set never grows; this is no mutex segment.
                error_ = "segment /" + name + " is " + std::to_string(st.st_size) +
                         " bytes, smaller than the " + std::to_string(SEGMENT_SIZE) +
                         " bytes of a mutex; not used";
                close(fd);
                return;
            }
            if (past(deadline)) {
                error_ = "segment /" + name + " never got its size (creator gone?)";
                close(fd);
                return;
            }
            pause_briefly();
        }
    }

    void* segment = mmap(nullptr, SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (segment == MAP_FAILED) {
        error_ = errno_text("mmap", errno);
        if (created_) shm_unlink(object.c_str());
        created_ = false;
        return;
    }

    pthread_mutex_t* m = mutex_in(segment);
    if (created_) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        int rc = pthread_mutex_init(m, &attr);
        pthread_mutexattr_destroy(&attr);
        if (rc != 0) {
            error_ = errno_text("pthread_mutex_init", rc);
            munmap(segment, SEGMENT_SIZE);
            shm_unlink(object.c_str());
            created_ = false;
            return;
        }
        ready_word(segment).store(READY_WORD, std::memory_order_release);
    } else {
        const timespec deadline = monotonic_deadline(OPEN_WAIT_MS);
        while (ready_word(segment).load(std::memory_order_acquire) != READY_WORD) {
            if (past(deadline)) {
                error_ = "segment /" + name + " never became ready (creator gone?)";
                munmap(segment, SEGMENT_SIZE);
                return;
            }
            pause_briefly();
        }
    }

    segment_ = segment;
    handle_ = m;
    has_handle_ = true;
    // As with the operating systems that have named mutexes, only the creator
    // takes initial ownership: an opener would otherwise block in construction.
    if (initial_owner && created_) lock();
}

Mutex::~Mutex() {
    if (!has_handle_) return;
    // Give up every level this thread took through this object: the memory
    // of the mutex goes away here, and a held robust mutex is linked into the
    // thread's robust list, which must never point at unmapped memory (and
    // other processes would wait for it for ever).
    if (owner_.load() == std::this_thread::get_id()) {
        while (depth_ > 0) {
            --depth_;
            pthread_mutex_unlock(handle_);
        }
        owner_.store(std::thread::id());
    }
    if (named_) {
        munmap(segment_, SEGMENT_SIZE);
    } else {
        pthread_mutex_destroy(handle_);
        delete handle_;
    }
    handle_ = nullptr;
    segment_ = nullptr;
    has_handle_ = false;
}

bool Mutex::note_acquired(bool ok) {
    if (!ok) return false;
    // Only the holder gets here, so depth_ is never touched by two threads.
    if (owner_.load() == std::this_thread::get_id()) {
        ++depth_;
    } else {
        owner_.store(std::this_thread::get_id());
        depth_ = 1;
    }
    return true;
}

void Mutex::note_released() {
    if (owner_.load() != std::this_thread::get_id()) return;
    if (--depth_ <= 0) {
        depth_ = 0;
        owner_.store(std::thread::id());
    }
}

bool Mutex::lock() {
    if (handle_ == nullptr) return false;
    return note_acquired(acquired(handle_, pthread_mutex_lock(handle_)));
}

bool Mutex::lock(long milliseconds) {
    if (handle_ == nullptr) return false;
    if (milliseconds < 0) return lock();
    if (milliseconds == 0) return note_acquired(acquired(handle_, pthread_mutex_trylock(handle_)));
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer knows neither pthread_mutex_clocklock nor an
    // abandoned mutex won by a timed lock; its test builds poll trylock,
    // which it follows in every outcome.
    const timespec deadline = monotonic_deadline(milliseconds);
    for (;;) {
        const int rc = pthread_mutex_trylock(handle_);
        if (rc != EBUSY) return note_acquired(acquired(handle_, rc));
        if (past(deadline)) return false;
        timespec pause{0, 200000L};
        nanosleep(&pause, nullptr);
    }
#else
    const timespec deadline = monotonic_deadline(milliseconds);
    return note_acquired(
        acquired(handle_, pthread_mutex_clocklock(handle_, CLOCK_MONOTONIC, &deadline)));
#endif
}

bool Mutex::unlock() {
    if (handle_ == nullptr) return false;
    note_released();
    return pthread_mutex_unlock(handle_) == 0;
}

bool Mutex::remove(const std::string& name) {
    if (!check_name(name).empty()) return false;
    return shm_unlink(("/" + name).c_str()) == 0;
}
