#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "interfaces/Message.h"
#include "interfaces/SharedMemory.h"
#include "interfaces/SharedQueue.h"
#include "tests/support/ChildProcess.h"

namespace {

// A message of `length` bytes with id `id` whose body bytes follow `seed`.
Message make_message(std::uint16_t length, std::uint16_t id, std::uint8_t seed)
{
    std::vector<std::uint8_t> bytes(length);
    wire::store_u16(bytes.data(), length);
    wire::store_u16(bytes.data() + 2, id);
    for (std::size_t i = 4; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i);
    return Message(std::move(bytes));
}

bool same_bytes(const Message& a, const Message& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

class SharedQueueTest : public ::testing::Test {
protected:
    std::string unique_name()
    {
        std::string name = "iftest_q_" + std::to_string(::getpid()) + "_" + std::to_string(names_.size());
        names_.push_back(name);
        return name;
    }
    void TearDown() override
    {
        for (const auto& n : names_)
            SharedMemory::remove(n);
    }

    std::uint32_t header(SharedQueue& q, std::uint32_t offset)
    {
        std::uint32_t v = 0;
        q.read(offset, &v, 4);
        return v;
    }
    void set_header(SharedQueue& q, std::uint32_t offset, std::uint32_t value) { q.write(offset, &value, 4); }

    std::vector<std::string> names_;
};

// Queue of 64 bytes: a 48-byte ring.
constexpr std::size_t SMALL = 64;

TEST_F(SharedQueueTest, NewQueueIsEmptyWithItsHeaderInitialised)
{
    SharedQueue q;
    ASSERT_TRUE(q.open(unique_name(), SMALL)) << q.error();
    EXPECT_TRUE(q.created());
    EXPECT_EQ(header(q, SharedQueue::CAPACITY_OFFSET), SMALL);
    EXPECT_EQ(header(q, SharedQueue::READ_OFFSET), 16u);
    EXPECT_EQ(header(q, SharedQueue::WRITE_OFFSET), 16u);
    Message m;
    EXPECT_EQ(q.pop(m), SharedQueue::PopResult::empty);
}

TEST_F(SharedQueueTest, MessageFillingTheRingExactlyIsAcceptedThenQueueIsFull)
{
    SharedQueue q;
    ASSERT_TRUE(q.open(unique_name(), SMALL)) << q.error();
    const Message whole = make_message(48, 7, 1);
    ASSERT_TRUE(q.push(whole));
    EXPECT_EQ(header(q, SharedQueue::READ_OFFSET), header(q, SharedQueue::WRITE_OFFSET));
    EXPECT_EQ(q.count(), 1u);
    EXPECT_FALSE(q.push(make_message(4, 1, 0)));
    EXPECT_EQ(q.count(), 1u);

    Message out;
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);
    EXPECT_TRUE(same_bytes(out, whole));
    EXPECT_EQ(q.pop(out), SharedQueue::PopResult::empty);
}

TEST_F(SharedQueueTest, MessageLongerThanTheFreeSpaceIsRefusedAndQueueUnchanged)
{
    SharedQueue q;
    ASSERT_TRUE(q.open(unique_name(), SMALL)) << q.error();
    const Message a = make_message(20, 1, 10);
    const Message b = make_message(20, 2, 20);
    ASSERT_TRUE(q.push(a));
    ASSERT_TRUE(q.push(b));
    const std::uint32_t w = header(q, SharedQueue::WRITE_OFFSET);
    EXPECT_FALSE(q.push(make_message(12, 3, 30)));  // 8 bytes free
    EXPECT_EQ(header(q, SharedQueue::WRITE_OFFSET), w);
    EXPECT_EQ(q.count(), 2u);
    EXPECT_TRUE(q.push(make_message(8, 4, 40)));  // exactly the free space

    Message out;
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);
    EXPECT_TRUE(same_bytes(out, a));
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);
    EXPECT_TRUE(same_bytes(out, b));
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);
    EXPECT_EQ(out.id(), 4u);
}

TEST_F(SharedQueueTest, MessageEndingAtTheRingEndLeavesWritePositionAtRingStart)
{
    SharedQueue q;
    ASSERT_TRUE(q.open(unique_name(), SMALL)) << q.error();
    ASSERT_TRUE(q.push(make_message(24, 1, 1)));
    const Message tail = make_message(24, 2, 2);
    ASSERT_TRUE(q.push(tail));
    EXPECT_EQ(header(q, SharedQueue::WRITE_OFFSET), 16u);

    Message out;
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);
    EXPECT_TRUE(same_bytes(out, tail));
    EXPECT_EQ(header(q, SharedQueue::READ_OFFSET), 16u);
}

TEST_F(SharedQueueTest, MessageCrossingTheRingEndComesBackWhole)
{
    SharedQueue q;
    ASSERT_TRUE(q.open(unique_name(), SMALL)) << q.error();
    Message out;
    ASSERT_TRUE(q.push(make_message(32, 1, 1)));
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);  // both positions now at 48

    const Message crossing = make_message(28, 9, 77);  // 16 bytes before the end, 12 after
    ASSERT_TRUE(q.push(crossing));
    EXPECT_EQ(header(q, SharedQueue::WRITE_OFFSET), 16u + 12u);
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);
    EXPECT_TRUE(same_bytes(out, crossing));
    EXPECT_EQ(header(q, SharedQueue::READ_OFFSET), 28u);
    EXPECT_EQ(q.pop(out), SharedQueue::PopResult::empty);
}

TEST_F(SharedQueueTest, OpeningAnExistingQueueKeepsItsMessages)
{
    const std::string name = unique_name();
    SharedQueue first;
    ASSERT_TRUE(first.open(name, SMALL)) << first.error();
    const Message m = make_message(12, 5, 3);
    ASSERT_TRUE(first.push(m));

    SharedQueue second;
    ASSERT_TRUE(second.open(name, SMALL)) << second.error();
    EXPECT_FALSE(second.created());
    Message out;
    ASSERT_EQ(second.pop(out), SharedQueue::PopResult::message);
    EXPECT_TRUE(same_bytes(out, m));
}

TEST_F(SharedQueueTest, MalformedMessagesAreNotPushed)
{
    SharedQueue q;
    ASSERT_TRUE(q.open(unique_name(), SMALL)) << q.error();
    EXPECT_FALSE(q.push(make_message(6, 1, 0)));    // not a multiple of 4
    Message lying = make_message(12, 1, 0);
    wire::store_u16(lying.data(), 8);                // length word disagrees with the size
    EXPECT_FALSE(q.push(lying));
    EXPECT_FALSE(q.push(make_message(52, 1, 0)));   // longer than the ring
    EXPECT_EQ(q.count(), 0u);
}

TEST_F(SharedQueueTest, TwoProcessesPushAndPopWithNothingLostOrDuplicated)
{
    const std::string name = unique_name();
    constexpr std::uint32_t N = 20000;
    // A small queue so that it wraps often and fills up.
    SharedQueue reader;
    ASSERT_TRUE(reader.open(name, 1024)) << reader.error();

    ChildProcess writer([&] {
        SharedQueue q;
        if (!q.open(name, 1024))
            return 2;
        for (std::uint32_t i = 0; i < N;) {
            // Lengths 8 to 64, sequence number in the body.
            const auto length = static_cast<std::uint16_t>(8 + 4 * (i % 15));
            Message m = make_message(length, static_cast<std::uint16_t>(i % 65000), static_cast<std::uint8_t>(i));
            std::memcpy(m.data() + 4, &i, 4);
            if (q.push(m))
                ++i;
            else
                sched_yield();
        }
        return 0;
    });
    ASSERT_TRUE(writer.started());

    std::uint32_t expected = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    Message out;
    while (expected < N && std::chrono::steady_clock::now() < deadline) {
        const SharedQueue::PopResult r = reader.pop(out);
        ASSERT_NE(r, SharedQueue::PopResult::corrupt);
        if (r != SharedQueue::PopResult::message) {
            sched_yield();
            continue;
        }
        std::uint32_t seq = 0;
        std::memcpy(&seq, out.data() + 4, 4);
        ASSERT_EQ(seq, expected) << "message lost, duplicated or out of order";
        ASSERT_EQ(out.size(), 8u + 4u * (seq % 15));
        ASSERT_TRUE(same_bytes(out, [&] {
            Message m = make_message(static_cast<std::uint16_t>(out.size()), static_cast<std::uint16_t>(seq % 65000),
                                     static_cast<std::uint8_t>(seq));
            std::memcpy(m.data() + 4, &seq, 4);
            return m;
        }()));
        ++expected;
    }
    EXPECT_EQ(expected, N);
    EXPECT_EQ(writer.wait(10000), 0);
    EXPECT_EQ(reader.pop(out), SharedQueue::PopResult::empty);
}

struct Corruption {
    const char* what;
    std::uint32_t count, read, write;
    // Length word written at the read position (0: leave the bytes alone).
    std::uint16_t length;
};

class CorruptedQueueTest : public SharedQueueTest, public ::testing::WithParamInterface<Corruption> {};

TEST_P(CorruptedQueueTest, PopReportsImpossibleHeaderAndResetsQueueToEmpty)
{
    const Corruption c = GetParam();
    SharedQueue q;
    ASSERT_TRUE(q.open(unique_name(), SMALL)) << q.error();
    ASSERT_TRUE(q.push(make_message(8, 1, 0)));
    set_header(q, SharedQueue::COUNT_OFFSET, c.count);
    set_header(q, SharedQueue::READ_OFFSET, c.read);
    set_header(q, SharedQueue::WRITE_OFFSET, c.write);
    if (c.length != 0 && c.read + 2 <= SMALL)
        q.write(c.read, &c.length, 2);

    Message out;
    std::string problem;
    EXPECT_EQ(q.pop(out, &problem), SharedQueue::PopResult::corrupt) << c.what;
    EXPECT_NE(problem.find("corrupted"), std::string::npos) << problem;
    EXPECT_EQ(q.pop(out), SharedQueue::PopResult::empty);
    EXPECT_EQ(header(q, SharedQueue::READ_OFFSET), 16u);
    EXPECT_EQ(header(q, SharedQueue::WRITE_OFFSET), 16u);

    // The queue works again.
    const Message m = make_message(12, 3, 9);
    ASSERT_TRUE(q.push(m));
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);
    EXPECT_TRUE(same_bytes(out, m));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, CorruptedQueueTest,
    ::testing::Values(Corruption{"read position before the ring", 1, 8, 16, 0},
                      Corruption{"read position past the end", 1, 64, 16, 0},
                      Corruption{"read position far outside", 1, 0xFFFFFFF0u, 16, 0},
                      Corruption{"read position not on a word", 1, 18, 24, 0},
                      Corruption{"write position outside", 1, 16, 4000, 0},
                      Corruption{"count 0 with bytes queued", 0, 16, 24, 0},
                      Corruption{"count larger than the bytes allow", 5, 16, 24, 0},
                      Corruption{"count claims more messages than the bytes hold", 2, 16, 24, 0},
                      Corruption{"length 0", 1, 16, 24, 1},
                      Corruption{"length below the header", 1, 16, 24, 2},
                      Corruption{"length not a multiple of 4", 1, 16, 24, 6},
                      Corruption{"length beyond the queued bytes", 1, 16, 24, 40},
                      Corruption{"length beyond the ring", 1, 16, 24, 60000}));

TEST_F(SharedQueueTest, PushOntoAnImpossibleHeaderStartsTheQueueAfresh)
{
    SharedQueue q;
    ASSERT_TRUE(q.open(unique_name(), SMALL)) << q.error();
    set_header(q, SharedQueue::READ_OFFSET, 3);
    set_header(q, SharedQueue::COUNT_OFFSET, 77);
    const Message m = make_message(16, 2, 5);
    ASSERT_TRUE(q.push(m));
    Message out;
    ASSERT_EQ(q.pop(out), SharedQueue::PopResult::message);
    EXPECT_TRUE(same_bytes(out, m));
}

TEST_F(SharedQueueTest, QueueOfUnusableSizeDoesNotOpen)
{
    SharedQueue q;
    EXPECT_FALSE(q.open(unique_name(), 0));
    EXPECT_FALSE(q.open(unique_name(), 66));
    EXPECT_FALSE(q.error().empty());
    Message out;
    EXPECT_FALSE(q.push(make_message(8, 1, 0)));
    EXPECT_EQ(q.pop(out), SharedQueue::PopResult::failed);
}

TEST_F(SharedQueueTest, SecondOpenerMapsTheSizeTheCreatorSetAndStaysInsideIt)
{
    const std::string name = unique_name();
    SharedMemory small;
    ASSERT_TRUE(small.open(name, 100)) << small.error();
    SharedMemory big;
    ASSERT_TRUE(big.open(name, 5000)) << big.error();
    EXPECT_FALSE(big.created());
    EXPECT_EQ(big.mapped_size(), 100u);

    char buffer[8] = "abcdefg";
    EXPECT_TRUE(big.locked_write(92, buffer, 8));
    EXPECT_FALSE(big.locked_write(96, buffer, 8));
    EXPECT_FALSE(big.read(4000, buffer, 4));
    char back[8] = {};
    EXPECT_TRUE(small.locked_read(92, back, 8));
    EXPECT_STREQ(back, "abcdefg");
}

TEST_F(SharedQueueTest, UnusableNamesAreRefusedWithAReason)
{
    SharedMemory m;
    EXPECT_FALSE(m.open("", 64));
    EXPECT_NE(m.error().find("empty"), std::string::npos) << m.error();
    EXPECT_FALSE(m.open("a/b", 64));
    EXPECT_NE(m.error().find("/"), std::string::npos) << m.error();
    EXPECT_FALSE(m.open(std::string(251, 'x'), 64));
    EXPECT_NE(m.error().find("250"), std::string::npos) << m.error();
    EXPECT_FALSE(m.is_open());
}

}  // namespace
