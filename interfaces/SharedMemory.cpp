#include "interfaces/SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "utilities/KernelObjectSupport.h"
#include "utilities/Timer.h"

namespace {

constexpr std::size_t MAX_NAME_LENGTH = 250;
// How long an opener waits for the creator to size a new segment.
constexpr long SIZE_WAIT_MS = 1000;

std::string errno_text(const char* call, int error)
{
    return std::string(call) + " failed: " + std::strerror(error);
}

}  // namespace

SharedMemory::~SharedMemory()
{
    close();
}

std::string SharedMemory::name_problem(const std::string& name)
{
    if (name.empty())
        return "the name is empty";
    if (name.find('/') != std::string::npos)
        return "the name \"" + name + "\" holds a \"/\"";
    if (name.size() > MAX_NAME_LENGTH)
        return "the name is longer than 250 characters";
    return {};
}

bool SharedMemory::fail(const std::string& why)
{
    error_ = "shared memory \"" + name_ + "\": " + why;
    close();
    return false;
}

bool SharedMemory::fail_open(const std::string& name, const std::string& why)
{
    name_ = name;
    return fail(why);
}

bool SharedMemory::open(const std::string& name, std::size_t size, bool read_only)
{
    return open_segment(name, size, read_only, false);
}

bool SharedMemory::open_segment(const std::string& name, std::size_t size, bool read_only, bool hold_lock)
{
    close();
    name_ = name;
    requested_size_ = size;
    read_only_ = read_only;
    created_ = false;
    error_.clear();

    std::string problem = name_problem(name);
    if (problem.empty())
        problem = name_problem(name + "mutex");
    if (!problem.empty())
        return fail(problem);
    if (size == 0)
        return fail("a segment of 0 bytes cannot be mapped");

    lock_ = std::make_unique<Mutex>(name + "mutex");
    if (!lock_->valid())
        return fail("its lock cannot be opened: " + lock_->error());
    if (hold_lock && !lock_->lock())
        return fail("its lock cannot be taken");

    const std::string object = "/" + name;
    struct stat st {};
    // An existing segment may be unlinked between the two opens; try again.
    for (int attempt = 0; attempt < 3 && handle_ < 0; ++attempt) {
        handle_ = ::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (handle_ >= 0) {
            if (::ftruncate(handle_, static_cast<off_t>(size)) != 0) {
                const int e = errno;
                ::shm_unlink(object.c_str());
                if (hold_lock)
                    lock_->unlock();
                return fail(errno_text("ftruncate", e));
            }
            created_ = true;
            break;
        }
        if (errno != EEXIST) {
            const int e = errno;
            if (hold_lock)
                lock_->unlock();
            return fail(errno_text("shm_open", e));
        }
        // O_NONBLOCK: a FIFO planted at the name (refused below as no regular
        // file) would otherwise hold a read-only open until someone writes.
        handle_ = ::shm_open(object.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_CLOEXEC, 0);
        if (handle_ < 0 && errno != ENOENT) {
            const int e = errno;
            if (hold_lock)
                lock_->unlock();
            struct stat found {};
            const std::string path = "/dev/shm/" + name;
            const std::string foreign =
                ::lstat(path.c_str(), &found) == 0 ? kernel_object::foreign_object_problem(found, path) : "";
            return fail(foreign.empty() ? errno_text("shm_open", e) : foreign);
        }
        if (handle_ >= 0) {
            const std::string foreign = kernel_object::foreign_descriptor_problem(handle_, "/dev/shm/" + name);
            if (!foreign.empty()) {
                if (hold_lock)
                    lock_->unlock();
                return fail(foreign);
            }
        }
    }
    if (handle_ < 0) {
        if (hold_lock)
            lock_->unlock();
        return fail("shm_open kept failing: the segment appeared and vanished again");
    }

    // The creator sets the size right after creating the segment; wait for it.
    Timer waited;
    waited.start();
    for (;;) {
        if (::fstat(handle_, &st) != 0) {
            const int e = errno;
            if (hold_lock)
                lock_->unlock();
            return fail(errno_text("fstat", e));
        }
        if (st.st_size > 0 || waited.elapsed() * 1000.0 > SIZE_WAIT_MS)
            break;
        sleep_ms(1);
    }
    if (st.st_size <= 0) {
        if (hold_lock)
            lock_->unlock();
        return fail("the segment exists but its creator never gave it a size");
    }

    const int protection = read_only ? PROT_READ : PROT_READ | PROT_WRITE;
    void* view = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), protection, MAP_SHARED, handle_, 0);
    if (view == MAP_FAILED) {
        const int e = errno;
        if (hold_lock)
            lock_->unlock();
        return fail(errno_text("mmap", e));
    }
    base_ = static_cast<std::uint8_t*>(view);
    mapped_size_ = static_cast<std::size_t>(st.st_size);
    return true;
}

bool SharedMemory::grow(std::size_t size)
{
    if (base_ == nullptr || read_only_)
        return false;
    struct stat st {};
    if (::fstat(handle_, &st) != 0) {
        error_ = "shared memory \"" + name_ + "\": " + errno_text("fstat", errno);
        return false;
    }
    // Never shrink: a larger opener's mapping would lose its end.
    if (static_cast<std::size_t>(st.st_size) < size && ::ftruncate(handle_, static_cast<off_t>(size)) != 0) {
        error_ = "shared memory \"" + name_ + "\": " + errno_text("ftruncate", errno);
        return false;
    }
    const std::size_t now = std::max(size, static_cast<std::size_t>(st.st_size));
    void* view = ::mmap(nullptr, now, PROT_READ | PROT_WRITE, MAP_SHARED, handle_, 0);
    if (view == MAP_FAILED) {
        error_ = "shared memory \"" + name_ + "\": " + errno_text("mmap", errno);
        return false;
    }
    ::munmap(base_, mapped_size_);
    base_ = static_cast<std::uint8_t*>(view);
    mapped_size_ = now;
    return true;
}

void SharedMemory::close()
{
    if (base_ != nullptr)
        ::munmap(base_, mapped_size_);
    base_ = nullptr;
    mapped_size_ = 0;
    if (handle_ >= 0)
        ::close(handle_);
    handle_ = -1;
    lock_.reset();
}

bool SharedMemory::read(std::size_t offset, void* destination, std::size_t n) const
{
    if (base_ == nullptr || offset > mapped_size_ || n > mapped_size_ - offset)
        return false;
    std::memcpy(destination, base_ + offset, n);
    return true;
}

bool SharedMemory::write(std::size_t offset, const void* source, std::size_t n)
{
    if (base_ == nullptr || read_only_ || offset > mapped_size_ || n > mapped_size_ - offset)
        return false;
    std::memcpy(base_ + offset, source, n);
    return true;
}

bool SharedMemory::locked_read(std::size_t offset, void* destination, std::size_t n) const
{
    if (!lock_ || !lock_->lock())
        return false;
    const bool ok = read(offset, destination, n);
    lock_->unlock();
    return ok;
}

bool SharedMemory::locked_write(std::size_t offset, const void* source, std::size_t n)
{
    if (!lock_ || !lock_->lock())
        return false;
    const bool ok = write(offset, source, n);
    lock_->unlock();
    return ok;
}

bool SharedMemory::remove(const std::string& name)
{
    if (!name_problem(name).empty())
        return false;
    const bool segment = ::shm_unlink(("/" + name).c_str()) == 0;
    const bool lock = Mutex::remove(name + "mutex");
    return segment || lock;
}
