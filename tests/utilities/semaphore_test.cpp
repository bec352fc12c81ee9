#include "utilities/Semaphore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/ChildProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

class SemaphoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        name_ = "utiltest-sem-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    }
    void TearDown() override { Semaphore::remove(name_); }
    std::string name_;
};

TEST_F(SemaphoreTest, PollOnEmptySemaphoreFailsAtOnce) {
    Semaphore s(name_, 0, 100);
    ASSERT_TRUE(s.valid()) << s.error();
    const auto t = Clock::now();
    EXPECT_FALSE(s.wait(0));
    EXPECT_LT(seconds_since(t), 0.5);
}

TEST_F(SemaphoreTest, InitialCountCanBeTakenThenEmpty) {
    Semaphore s(name_, 2, 5);
    EXPECT_TRUE(s.wait(0));
    EXPECT_TRUE(s.wait(10));
    EXPECT_FALSE(s.wait(0));
}

TEST_F(SemaphoreTest, ReleaseAtMaximumIsRefused) {
    Semaphore s(name_, 0, 2);
    EXPECT_TRUE(s.release());
    EXPECT_TRUE(s.release());
    EXPECT_FALSE(s.release());
    EXPECT_TRUE(s.wait(0));
    EXPECT_TRUE(s.wait(0));
    EXPECT_FALSE(s.wait(0));
}

TEST_F(SemaphoreTest, SecondOpenerSeesCreatedFalseAndKeepsExistingCount) {
    Semaphore first(name_, 0, 1);
    ASSERT_TRUE(first.valid());
    EXPECT_TRUE(first.created());
    Semaphore second(name_, 1, 1);
    ASSERT_TRUE(second.valid()) << second.error();
    EXPECT_FALSE(second.created());
    EXPECT_FALSE(second.wait(0));  // its own initial count of 1 is not applied
    EXPECT_TRUE(first.release());
    EXPECT_FALSE(second.release());  // shared count is at the maximum of 1
    EXPECT_TRUE(second.wait(0));
}

TEST_F(SemaphoreTest, CreatedWithOwnerOnlyPermission) {
    Semaphore s(name_, 0, 1);
    struct stat st {};
    ASSERT_EQ(stat(("/dev/shm/sem." + name_).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SemaphoreTest, TimedWaitGivesUpAfterAboutItsTime) {
    Semaphore s(name_, 0, 1);
    const auto t = Clock::now();
    EXPECT_FALSE(s.wait(200));
    const double waited = seconds_since(t);
    EXPECT_GE(waited, 0.15);
    EXPECT_LT(waited, 5.0);
}

TEST_F(SemaphoreTest, UnlimitedWaitReturnsWhenAnotherThreadReleases) {
    Semaphore s(name_, 0, 1);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        s.release();
    });
    EXPECT_TRUE(s.wait(-1));
    releaser.join();
}

TEST_F(SemaphoreTest, ReleaseInOneProcessWakesWaiterInAnother) {
    Semaphore s(name_, 0, 100);
    Pipe opened;
    ChildProcess waiter([&] {
        Semaphore mine(name_, 0, 100);
        if (!mine.valid() || mine.created()) return 2;
        opened.notify();
        return mine.wait(5000) ? 0 : 1;
    });
    ASSERT_TRUE(opened.await(5000));
    EXPECT_TRUE(s.release());
    EXPECT_EQ(waiter.wait(5000), 0);
    EXPECT_FALSE(s.wait(0));
}

TEST_F(SemaphoreTest, RemoveDeletesSemaphore) {
    {
        Semaphore s(name_, 0, 1);
        ASSERT_TRUE(s.valid());
    }
    EXPECT_TRUE(Semaphore::remove(name_));
    EXPECT_FALSE(Semaphore::remove(name_));
    Semaphore again(name_, 0, 1);
    EXPECT_TRUE(again.created());
}

TEST(SemaphoreArguments, UnusableNamesAndCountsGiveInvalidSemaphore) {
    for (const std::string& bad : {std::string(), std::string("a/b"), std::string(251, 's')}) {
        Semaphore s(bad, 0, 1);
        EXPECT_FALSE(s.valid()) << bad;
        EXPECT_FALSE(s.error().empty());
        EXPECT_FALSE(s.wait(0));
        EXPECT_FALSE(s.release());
    }
    const std::string name = "utiltest-sem-args-" + std::to_string(getpid());
    Semaphore above(name, 3, 2);
    EXPECT_FALSE(above.valid());
    EXPECT_FALSE(above.error().empty());
    Semaphore no_maximum(name, 0, 0);
    EXPECT_FALSE(no_maximum.valid());
    Semaphore::remove(name);  // nothing should exist; removed in case it did
}

}  // namespace
