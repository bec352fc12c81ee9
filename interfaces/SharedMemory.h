#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "utilities/Mutex.h"

// One named shared-memory segment ("/" + name in /dev/shm) with its own named
// lock (name + "mutex"). The segment is opened if it exists and created
// otherwise; an opener maps the size its creator set, whatever size it asked
// for. Every access is checked against the mapping, so a segment smaller than
// a caller expects can never be read or written outside. An existing segment
// (and lock) is used only when it is a regular file that belongs to this user
// and grants nothing to group or others: anyone else could read or forge what
// passes through it.
//
//   SharedMemory props;
//   if (props.open("Sipper_properties", 20584)) props.locked_write(12, text, n);
class SharedMemory {
public:
    SharedMemory() = default;
    virtual ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // False, with error() telling why, when the name cannot be used or the
    // lock or segment cannot be opened, created or mapped.
    bool open(const std::string& name, std::size_t size, bool read_only = false);
    void close();

    // Grows the segment to at least `size` bytes and maps all of it (never
    // shrinks it); other processes keep their smaller mappings, which stay
    // valid. False, with error() telling why, when it is not open for writing
    // or cannot be grown; the old mapping is then kept.
    bool grow(std::size_t size);

    // Copies n bytes without the lock; false (nothing copied) when the range
    // lies outside the mapping or the segment is not open.
    bool read(std::size_t offset, void* destination, std::size_t n) const;
    // Does nothing on a read-only segment.
    bool write(std::size_t offset, const void* source, std::size_t n);
    // The same under the segment's lock.
    bool locked_read(std::size_t offset, void* destination, std::size_t n) const;
    bool locked_write(std::size_t offset, const void* source, std::size_t n);

    bool is_open() const { return base_ != nullptr; }
    bool created() const { return created_; }
    bool read_only() const { return read_only_; }
    const std::string& name() const { return name_; }
    const std::string& error() const { return error_; }
    // The size asked for at opening and the size actually mapped.
    std::size_t requested_size() const { return requested_size_; }
    std::size_t mapped_size() const { return mapped_size_; }

    // The mapped view (null when not open) and the segment's lock.
    std::uint8_t* base() const { return base_; }
    Mutex* lock() const { return lock_.get(); }

    // Why an object name cannot be used for a named kernel object (empty,
    // holding a "/", longer than 250 characters); empty when it can.
    static std::string name_problem(const std::string& name);
    // Unlinks the segment and its lock (operators and tests only).
    static bool remove(const std::string& name);

protected:
    // Opens like open(); with hold_lock the segment's lock is taken before
    // the segment is created and is still held on success, so the creator can
    // initialise the contents before any other opener can use them.
    bool open_segment(const std::string& name, std::size_t size, bool read_only, bool hold_lock);
    // Closes the segment and records why `name` could not be used; false.
    bool fail_open(const std::string& name, const std::string& why);

private:
    bool fail(const std::string& why);

    std::unique_ptr<Mutex> lock_;
    std::string name_;
    int handle_ = -1;
    std::uint8_t* base_ = nullptr;
    std::size_t requested_size_ = 0;
    bool read_only_ = false;
    bool created_ = false;
    std::size_t mapped_size_ = 0;
    std::string error_;
};
