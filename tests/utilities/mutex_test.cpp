#include "utilities/Mutex.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/ChildProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

class NamedMutexTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        name_ = "utiltest-mutex-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    }
    void TearDown() override { Mutex::remove(name_); }

    // Result of lock(0) tried from another process: 0 acquired, 1 refused.
    int try_from_other_process() {
        ChildProcess child([&] {
            Mutex m(name_);
            if (!m.valid()) return 2;
            if (!m.lock(0)) return 1;
            m.unlock();
            return 0;
        });
        return child.wait(5000);
    }

    // A child that takes the lock and ends without releasing it.
    int die_holding_lock() {
        ChildProcess owner([&] {
            auto* m = new Mutex(name_);  // left alive: its destructor would release
            return m->lock() ? 0 : 1;
        });
        return owner.wait(5000);
    }

    std::string name_;
};

TEST_F(NamedMutexTest, CreatorAndOpenerShareOneSegmentWithAgreedLayout) {
    Mutex first(name_);
    ASSERT_TRUE(first.valid()) << first.error();
    EXPECT_TRUE(first.created());
    EXPECT_TRUE(first.error().empty());
    Mutex second(name_);
    ASSERT_TRUE(second.valid()) << second.error();
    EXPECT_FALSE(second.created());

    struct stat st {};
    ASSERT_EQ(stat(("/dev/shm/" + name_).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 64);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream raw("/dev/shm/" + name_, std::ios::binary);
    unsigned char ready[4] = {};
    raw.read(reinterpret_cast<char*>(ready), 4);
    EXPECT_EQ(std::memcmp(ready, "MUTX", 4), 0);
}

TEST_F(NamedMutexTest, LockHeldByOtherProcessRefusesTryAtOnceAndTimesOut) {
    Pipe held, release;
    ChildProcess holder([&] {
        Mutex m(name_);
        if (!m.lock()) return 1;
        held.notify();
        release.await(10000);
        m.unlock();
        return 0;
    });
    ASSERT_TRUE(held.await(5000));

    Mutex m(name_);
    ASSERT_TRUE(m.valid()) << m.error();
    auto t = Clock::now();
    EXPECT_FALSE(m.lock(0));
    EXPECT_LT(seconds_since(t), 0.5);

    t = Clock::now();
    EXPECT_FALSE(m.lock(200));
    const double waited = seconds_since(t);
    EXPECT_GE(waited, 0.15);
    EXPECT_LT(waited, 5.0);

    release.notify();
    EXPECT_TRUE(m.lock(5000));
    EXPECT_TRUE(m.unlock());
    EXPECT_EQ(holder.wait(5000), 0);
}

TEST_F(NamedMutexTest, LockAbandonedByDeadOwnerCountsAsAcquiredAndStaysUsable) {
    ASSERT_EQ(die_holding_lock(), 0);
    Mutex m(name_);
    ASSERT_TRUE(m.valid()) << m.error();
    EXPECT_TRUE(m.lock(0));
    EXPECT_TRUE(m.unlock());
    // Recovered: other processes can take and release it normally again.
    EXPECT_EQ(try_from_other_process(), 0);
    EXPECT_TRUE(m.lock(1000));
    EXPECT_TRUE(m.unlock());
}

TEST_F(NamedMutexTest, UnlimitedLockAlsoAcquiresAbandonedMutex) {
    ASSERT_EQ(die_holding_lock(), 0);
    // In a child, so that a lock that never returns fails the test instead of hanging it.
    ChildProcess locker([&] {
        Mutex m(name_);
        if (!m.lock()) return 1;
        return m.unlock() ? 0 : 2;
    });
    EXPECT_EQ(locker.wait(5000), 0);
    EXPECT_EQ(try_from_other_process(), 0);
}

TEST_F(NamedMutexTest, DestroyingHandleReleasesLevelsItsThreadHolds) {
    Pipe held, release;
    ChildProcess holder([&] {
        {
            Mutex m(name_);
            if (!m.lock() || !m.lock()) return 1;
        }
        held.notify();
        release.await(10000);  // alive, so only the destruction can have freed it
        return 0;
    });
    ASSERT_TRUE(held.await(5000));
    Mutex m(name_);
    EXPECT_TRUE(m.lock(0));
    m.unlock();
    release.notify();
    EXPECT_EQ(holder.wait(5000), 0);
}

TEST_F(NamedMutexTest, RecursiveLockNeedsOneUnlockPerLock) {
    Mutex m(name_);
    ASSERT_TRUE(m.lock());
    ASSERT_TRUE(m.lock(0));
    ASSERT_TRUE(m.lock(100));
    EXPECT_EQ(try_from_other_process(), 1);
    EXPECT_TRUE(m.unlock());
    EXPECT_TRUE(m.unlock());
    EXPECT_EQ(try_from_other_process(), 1);
    EXPECT_TRUE(m.unlock());
    EXPECT_EQ(try_from_other_process(), 0);
}

TEST_F(NamedMutexTest, TwoHandlesInOneProcessExcludeEachOthersThreads) {
    Mutex a(name_);
    Mutex b(name_);
    ASSERT_TRUE(a.lock());
    std::atomic<bool> got{true};
    std::thread other([&] { got = b.lock(0); });
    other.join();
    EXPECT_FALSE(got);
    a.unlock();
    std::thread again([&] {
        got = b.lock(0);
        if (got) b.unlock();
    });
    again.join();
    EXPECT_TRUE(got);
}

TEST_F(NamedMutexTest, InitialOwnerHoldsNewlyCreatedMutex) {
    Mutex m(name_, true);
    ASSERT_TRUE(m.created());
    EXPECT_EQ(try_from_other_process(), 1);
    m.unlock();
    EXPECT_EQ(try_from_other_process(), 0);
}

TEST_F(NamedMutexTest, InitialOwnerDoesNotBlockOnExistingMutex) {
    Pipe held, release;
    ChildProcess holder([&] {
        Mutex m(name_);
        if (!m.lock()) return 1;
        held.notify();
        release.await(10000);
        return 0;
    });
    ASSERT_TRUE(held.await(5000));
    const auto t = Clock::now();
    Mutex m(name_, true);
    EXPECT_LT(seconds_since(t), 2.0);
    EXPECT_TRUE(m.valid());
    EXPECT_FALSE(m.created());
    EXPECT_FALSE(m.lock(0));
    release.notify();
    EXPECT_EQ(holder.wait(5000), 0);
}

TEST_F(NamedMutexTest, SegmentNeverMadeReadyFailsWithinBound) {
    // A creator that died before publishing the ready word leaves this behind.
    const int fd = shm_open(("/" + name_).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 64), 0);
    close(fd);
    const auto t = Clock::now();
    Mutex m(name_);
    EXPECT_LT(seconds_since(t), 5.0);
    EXPECT_FALSE(m.valid());
    EXPECT_NE(m.error().find("ready"), std::string::npos) << m.error();
    EXPECT_FALSE(m.lock());
    EXPECT_FALSE(m.unlock());
}

TEST_F(NamedMutexTest, RemoveDeletesSegment) {
    {
        Mutex m(name_);
        ASSERT_TRUE(m.valid());
    }
    EXPECT_TRUE(Mutex::remove(name_));
    EXPECT_FALSE(Mutex::remove(name_));
    EXPECT_NE(access(("/dev/shm/" + name_).c_str(), F_OK), 0);
}

TEST(MutexNames, UnusableNamesGiveInvalidMutexWithReason) {
    for (const std::string& bad : {std::string(), std::string("a/b"), std::string(251, 'n')}) {
        Mutex m(bad);
        EXPECT_FALSE(m.valid()) << bad;
        EXPECT_FALSE(m.error().empty()) << bad;
        EXPECT_FALSE(m.lock(0));
        EXPECT_FALSE(Mutex::remove(bad));
    }
    EXPECT_NE(Mutex("").error().find("empty"), std::string::npos);
    EXPECT_NE(Mutex("x/y").error().find("/"), std::string::npos);
    EXPECT_NE(Mutex(std::string(251, 'n')).error().find("250"), std::string::npos);
}

TEST(MutexNames, StringLiteralGivesNamedMutex) {
    Mutex m("utiltest-literal-named");
    EXPECT_TRUE(m.valid());
    EXPECT_EQ(m.name(), "utiltest-literal-named");
    EXPECT_TRUE(Mutex::remove("utiltest-literal-named"));
}

TEST(MutexNames, LongestAllowedNameWorks) {
    const std::string name = std::to_string(getpid()) + std::string(250 - std::to_string(getpid()).size(), 'm');
    Mutex m(name);
    EXPECT_TRUE(m.valid()) << m.error();
    EXPECT_TRUE(Mutex::remove(name));
}

TEST(UnnamedMutex, OtherThreadIsRefusedUntilEveryLevelIsReleased) {
    Mutex m;
    ASSERT_TRUE(m.valid());
    ASSERT_TRUE(m.lock());
    ASSERT_TRUE(m.lock(50));
    auto try_other = [&] {
        bool got = true;
        std::thread t([&] {
            got = m.lock(0);
            if (got) m.unlock();
        });
        t.join();
        return got;
    };
    EXPECT_FALSE(try_other());
    m.unlock();
    EXPECT_FALSE(try_other());
    m.unlock();
    EXPECT_TRUE(try_other());
}

TEST(UnnamedMutex, TimedLockGivesUpWhileOtherThreadHolds) {
    Mutex m(true);
    bool got = true;
    double waited = 0;
    std::thread t([&] {
        const auto start = Clock::now();
        got = m.lock(100);
        waited = seconds_since(start);
    });
    t.join();
    EXPECT_FALSE(got);
    EXPECT_GE(waited, 0.05);
    m.unlock();
}

TEST(UnnamedMutex, ProtectsCounterAcrossThreadsWithEveryLockForm) {
    Mutex m;
    long counter = 0;
    auto work = [&](long wait) {
        for (int i = 0; i < 20000;) {
            if (wait == -2 ? !m.lock() : !m.lock(wait)) continue;  // a poll may miss
            ++counter;
            ++i;
            m.unlock();
        }
    };
    std::thread a(work, -2);
    std::thread b(work, 1000);
    std::thread c(work, 0);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 60000);
}

TEST_F(NamedMutexTest, ProtectsCounterAcrossThreadsOfOneProcess) {
    Mutex m(name_);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            if (!m.lock(1000)) continue;
            ++counter;
            m.unlock();
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

}  // namespace
