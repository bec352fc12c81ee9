#include "interfaces/SharedQueue.h"

#include <cstring>

namespace {

constexpr std::size_t MIN_QUEUE_SIZE = SharedQueue::DATA_OFFSET + 8;

// Holds the queue lock for one step; a lock that cannot be taken leaves the
// guard empty.
class StepLock {
public:
    explicit StepLock(Mutex* lock) : lock_(lock != nullptr && lock->lock() ? lock : nullptr) {}
    ~StepLock()
    {
        if (lock_ != nullptr)
            lock_->unlock();
    }
    StepLock(const StepLock&) = delete;
    StepLock& operator=(const StepLock&) = delete;
    bool held() const { return lock_ != nullptr; }

private:
    Mutex* lock_;
};

}  // namespace

bool SharedQueue::open(const std::string& name, std::size_t size)
{
    capacity_ = 0;
    if (size < MIN_QUEUE_SIZE || size % 4 != 0 || size > UINT32_MAX)
        return fail_open(name, "a queue needs a multiple of 4 bytes, at least 24");
    if (!open_segment(name, size, false, true))
        return false;
    if (mapped_size() < size) {
        // Made by someone with another idea of the queue: its header and ring
        // would not be where this side puts them.
        const std::size_t found = mapped_size();
        lock()->unlock();
        return fail_open(name, "the existing command queue is " + std::to_string(found) +
                                   " bytes, smaller than the " + std::to_string(size) +
                                   " bytes this side needs; not used");
    }
    capacity_ = static_cast<std::uint32_t>(size);
    if (created())
        reset_empty();
    lock()->unlock();
    return true;
}

SharedQueue::Header SharedQueue::load_header() const
{
    const std::uint8_t* b = base();
    return Header{wire::load_u32(b + COUNT_OFFSET), wire::load_u32(b + READ_OFFSET),
                  wire::load_u32(b + WRITE_OFFSET)};
}

void SharedQueue::reset_empty()
{
    std::uint8_t* b = base();
    wire::store_u32(b + READ_OFFSET, DATA_OFFSET);
    wire::store_u32(b + WRITE_OFFSET, DATA_OFFSET);
    wire::store_u32(b + CAPACITY_OFFSET, capacity_);
    wire::store_u32(b + COUNT_OFFSET, 0);
}

std::uint32_t SharedQueue::used_bytes(const Header& h) const
{
    if (h.read < h.write)
        return h.write - h.read;
    if (h.read > h.write)
        return ring_size() - (h.read - h.write);
    return h.count == 0 ? 0 : ring_size();
}

std::string SharedQueue::header_problem(const Header& h) const
{
    auto in_ring = [this](std::uint32_t p) { return p >= DATA_OFFSET && p < capacity_ && p % 4 == 0; };
    if (!in_ring(h.read))
        return "read position " + std::to_string(h.read) + " is not a message boundary in the ring";
    if (!in_ring(h.write))
        return "write position " + std::to_string(h.write) + " is not a message boundary in the ring";
    if (h.count == 0 && h.read != h.write)
        return "count 0 with read position " + std::to_string(h.read) + " and write position " +
               std::to_string(h.write);
    // Every message takes at least 4 bytes.
    if (std::uint64_t(h.count) * 4 > used_bytes(h))
        return "count " + std::to_string(h.count) + " does not fit into the " +
               std::to_string(used_bytes(h)) + " queued bytes";
    return {};
}

bool SharedQueue::push(const Message& message)
{
    const std::size_t length = message.size();
    if (!is_open() || length < 4 || length % 4 != 0 || length != message.length_field() ||
        length > ring_size())
        return false;
    StepLock step(lock());
    if (!step.held())
        return false;

    Header h = load_header();
    if (!header_problem(h).empty()) {
        // Nobody can take anything off this queue any more; start afresh so
        // that the channel works again.
        reset_empty();
        h = load_header();
    }
    const std::uint32_t free_space = ring_size() - used_bytes(h);
    const auto L = static_cast<std::uint32_t>(length);
    if (L > free_space)
        return false;

    std::uint8_t* b = base();
    const std::uint32_t room = capacity_ - h.write;
    std::uint32_t w;
    if (L < room) {
        std::memcpy(b + h.write, message.data(), L);
        w = h.write + L;
    } else if (L == room) {
        std::memcpy(b + h.write, message.data(), L);
        w = DATA_OFFSET;
    } else {
        std::memcpy(b + h.write, message.data(), room);
        std::memcpy(b + DATA_OFFSET, message.data() + room, L - room);
        w = DATA_OFFSET + L - room;
    }
    wire::store_u32(b + WRITE_OFFSET, w);
    wire::store_u32(b + COUNT_OFFSET, h.count + 1);
    return true;
}

SharedQueue::PopResult SharedQueue::pop(Message& message, std::string* problem)
{
    auto report = [&](PopResult result, const std::string& text) {
        if (problem != nullptr)
            *problem = text;
        return result;
    };
    if (!is_open())
        return report(PopResult::failed, "command queue \"" + name() + "\" is not open");
    StepLock step(lock());
    if (!step.held())
        return report(PopResult::failed, "command queue \"" + name() + "\": its lock cannot be taken");

    const Header h = load_header();
    std::string why = header_problem(h);
    if (why.empty() && h.count == 0)
        return PopResult::empty;

    std::uint8_t* b = base();
    std::uint32_t L = 0;
    if (why.empty()) {
        L = wire::load_u16(b + h.read);
        if (L < 4 || L % 4 != 0 || L > used_bytes(h))
            why = "message length " + std::to_string(L) + " at read position " + std::to_string(h.read) +
                  " is impossible";
    }
    if (!why.empty()) {
        reset_empty();
        return report(PopResult::corrupt, "command queue \"" + name() + "\" corrupted (" + why +
                                              "); queue reset to empty");
    }

    std::vector<std::uint8_t> bytes(L);
    const std::uint32_t room = capacity_ - h.read;
    std::uint32_t r;
    if (room < L) {
        std::memcpy(bytes.data(), b + h.read, room);
        std::memcpy(bytes.data() + room, b + DATA_OFFSET, L - room);
        r = DATA_OFFSET + L - room;
    } else {
        std::memcpy(bytes.data(), b + h.read, L);
        r = room == L ? DATA_OFFSET : h.read + L;
    }
    // Read position meeting the write position means nothing is left; a
    // count that still claims messages would hand the same bytes out again.
    if (r == h.write && h.count != 1) {
        reset_empty();
        return report(PopResult::corrupt, "command queue \"" + name() + "\" corrupted (count " +
                                              std::to_string(h.count) + " for fewer messages); queue reset to empty");
    }
    wire::store_u32(b + READ_OFFSET, r);
    wire::store_u32(b + COUNT_OFFSET, h.count - 1);
    message = Message(std::move(bytes));
    return PopResult::message;
}

std::uint32_t SharedQueue::count() const
{
    if (!is_open())
        return 0;
    StepLock step(lock());
    return step.held() ? wire::load_u32(base() + COUNT_OFFSET) : 0;
}
