// Feeds a command queue whose shared area another process has scribbled over.
// The input becomes the queue's header and ring bytes; then the queue is
// popped until it reports empty. Nothing may crash, loop for ever or read
// outside the area, every message handed out must be whole (length word =
// size, a multiple of 4), and afterwards the queue must work again: a message
// pushed comes back unchanged.
//
// Input layout: byte 0 picks the queue (even: a 1024-byte queue whose area is
// the rest of the input from offset 0; odd: a full 1,000,000-byte queue whose
// header is the next 16 bytes and whose remaining input bytes are laid into
// the ring from the header's read position on, wrapping at the ring's end,
// so that long wrapped messages can be built with short inputs).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "interfaces/Message.h"
#include "interfaces/SharedQueue.h"

namespace {

constexpr std::uint32_t SMALL_SIZE = 1024;
constexpr std::uint32_t LARGE_SIZE = 1000000;

struct Queues {
    SharedQueue small;
    SharedQueue large;
};

Queues* queues = nullptr;

SharedQueue& open_queue(SharedQueue& q, const std::string& name, std::uint32_t size)
{
    if (!q.open(name, size)) {
        std::cerr << "fuzz_queue: cannot open " << name << ": " << q.error() << "\n";
        std::abort();
    }
    // The mappings stay valid once unlinked, so nothing is left in /dev/shm
    // whatever way the fuzzer ends.
    SharedMemory::remove(name);
    return q;
}

void fill(SharedQueue& q, const uint8_t* data, size_t size)
{
    std::uint8_t* area = q.base();
    const std::uint32_t capacity = q.capacity();
    if (capacity == SMALL_SIZE) {
        std::memset(area, 0, capacity);
        std::memcpy(area, data, std::min<size_t>(size, capacity));
        return;
    }
    // Large queue: header from the input, then the ring bytes from the read
    // position on (or from the ring's start when that is out of range).
    std::memset(area, 0, capacity);
    const size_t header = std::min<size_t>(size, SharedQueue::DATA_OFFSET);
    std::memcpy(area, data, header);
    data += header;
    size -= header;
    std::uint32_t at = wire::load_u32(area + SharedQueue::READ_OFFSET);
    if (at < SharedQueue::DATA_OFFSET || at >= capacity)
        at = SharedQueue::DATA_OFFSET;
    for (size_t i = 0; i < size && i < capacity - SharedQueue::DATA_OFFSET; ++i) {
        area[at] = data[i];
        if (++at == capacity)
            at = SharedQueue::DATA_OFFSET;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    queues = new Queues;
    const std::string base = "fuzz_queue_" + std::to_string(::getpid());
    open_queue(queues->small, base + "_small", SMALL_SIZE);
    open_queue(queues->large, base + "_large", LARGE_SIZE);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    SharedQueue& q = (data[0] & 1) ? queues->large : queues->small;
    fill(q, data + 1, size - 1);

    // Each pop takes at least 4 bytes off or resets the queue, so more pops
    // than the ring holds 4-byte messages means it went round in circles.
    const std::uint32_t most = q.ring_size() / 4 + 1;
    std::uint32_t pops = 0;
    std::size_t bytes = 0;
    for (;;) {
        Message m;
        const SharedQueue::PopResult r = q.pop(m);
        if (r == SharedQueue::PopResult::empty || r == SharedQueue::PopResult::corrupt)
            break;
        if (r != SharedQueue::PopResult::message)
            std::abort();
        if (m.size() < 4 || m.size() % 4 != 0 || m.length_field() != m.size())
            std::abort();
        bytes += m.size();
        if (++pops > most || bytes > q.ring_size())
            std::abort();
    }
    if (q.count() != 0)
        std::abort();

    // The queue must be usable again.
    std::vector<std::uint8_t> probe(12);
    wire::store_u16(probe.data(), 12);
    wire::store_u16(probe.data() + 2, 5);
    wire::store_u32(probe.data() + 8, 0xC0FFEE);
    if (!q.push(Message(probe)))
        std::abort();
    Message back;
    if (q.pop(back) != SharedQueue::PopResult::message || back.size() != probe.size() ||
        std::memcmp(back.data(), probe.data(), probe.size()) != 0)
        std::abort();
    return 0;
}
