#pragma once
#include <cstdint>
#include <string>

#include "interfaces/Message.h"
#include "interfaces/SharedMemory.h"

// The command queue of a channel: a ring of messages in one shared segment.
//
//   offset 0 capacity | 4 count | 8 read position | 12 write position | 16.. ring
//
// Messages are stored contiguously and wrap at the ring's end; each starts
// with its u16 length. Every step runs under the queue's lock.
//
// The header lives in memory any process can write, so both push and pop
// check it before they trust it. A header or length prefix that no sequence
// of pushes and pops can produce makes pop report the problem and reset the
// queue to empty (its messages are lost); push resets such a queue before it
// stores its message.
class SharedQueue : public SharedMemory {
public:
    static constexpr std::uint32_t CAPACITY_OFFSET = 0;
    static constexpr std::uint32_t COUNT_OFFSET = 4;
    static constexpr std::uint32_t READ_OFFSET = 8;
    static constexpr std::uint32_t WRITE_OFFSET = 12;
    static constexpr std::uint32_t DATA_OFFSET = 16;

    enum class PopResult {
        empty,      // nothing queued
        message,    // the oldest message was taken off
        corrupt,    // the header was impossible; the queue is now empty
        failed,     // the queue is not open or its lock is unusable
    };

    // Opens or creates the queue of `size` bytes (a multiple of 4, at least
    // 24). The creator initialises the header; an existing queue is left as
    // it is.
    bool open(const std::string& name, std::size_t size);

    // Appends a copy of the message (its size must equal its length word, a
    // multiple of 4 of at least 4 bytes). False when it does not fit.
    bool push(const Message& message);

    // Takes the oldest message off. `problem`, when given, receives a one-line
    // description for PopResult::corrupt and PopResult::failed.
    PopResult pop(Message& message, std::string* problem = nullptr);

    // The number of queued messages (under the lock; 0 when unavailable).
    std::uint32_t count() const;
    // The size of the whole queue area this side uses, header included.
    std::uint32_t capacity() const { return capacity_; }
    std::uint32_t ring_size() const { return capacity_ - DATA_OFFSET; }

private:
    struct Header {
        std::uint32_t count;
        std::uint32_t read;
        std::uint32_t write;
    };
    Header load_header() const;
    // Why the header cannot be right; empty when it is consistent.
    std::string header_problem(const Header& h) const;
    // Bytes held by the queued messages.
    std::uint32_t used_bytes(const Header& h) const;
    void reset_empty();

    std::uint32_t capacity_ = 0;
};
