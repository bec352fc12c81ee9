// The board wrapper on a simulated board: failures become exceptions with
// the operation's prefix, the library's text and the status; the board lock
// is free after every call, shared between processes, held between
// begin_store and end_store, and handed to a waiting thread by give_way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "motion/Pci7344.h"
#include "sim/board/flexsim_status.h"
#include "tests/sim/board/board_test_support.h"
#include "tests/support/ChildProcess.h"

namespace {

std::string library_text(int32_t status) {
    char text[500] = {};
    uint32_t size = sizeof text;
    flex_get_error_description(0, status, 0, 0, text, &size);
    return text;
}

// Whether another thread could take the board's lock right now.
bool lock_free_elsewhere(int board) {
    bool got = false;
    std::thread other([&] {
        Mutex m("pci7344-" + std::to_string(board) + "MUTEX");
        got = m.valid() && m.lock(0);
        if (got) m.unlock();
    });
    other.join();
    return got;
}

class Pci7344Test : public ::testing::Test {
protected:
    Pci7344Test() : board_(StageDescription::linear(8000)) {}
    void SetUp() override {
        ASSERT_TRUE(board_.ok());
        pci_ = std::make_unique<Pci7344>(board_.number());
    }
    void TearDown() override { pci_.reset(); }
    SimBoard& sim() { return board_.control(); }

    TestBoard board_;
    std::unique_ptr<Pci7344> pci_;
};

TEST_F(Pci7344Test, LockIsNamedAfterTheBoardNumber) {
    EXPECT_EQ(pci_->name(), "pci7344-" + std::to_string(board_.number()) + "MUTEX");
    EXPECT_EQ(pci_->board(), board_.number());
}

TEST(Pci7344Names, BoardZeroAndNegativeNumbersGiveTheirOwnLocks) {
    // Board 0 is a fixed name; make sure no other test holds it meanwhile.
    {
        Pci7344 a(0), b(0);
        EXPECT_EQ(a.name(), "pci7344-0MUTEX");
        ASSERT_TRUE(a.lock());
        bool other_got = true;
        std::thread t([&] { other_got = b.lock(0); });
        t.join();
        EXPECT_FALSE(other_got);  // two objects, one kernel lock
        a.unlock();
    }
    Mutex::remove("pci7344-0MUTEX");
    {
        Pci7344 n(-3);
        EXPECT_EQ(n.name(), "pci7344--3MUTEX");
    }
    Mutex::remove("pci7344--3MUTEX");
}

TEST_F(Pci7344Test, FailingCallThrowsPrefixDescriptionAndStatusAndFreesTheLock) {
    ASSERT_TRUE(sim().fail_function("set_op_mode", FLEX_ERR_BAD_VALUE, 1));
    try {
        pci_->set_op_mode(1, 0);
        FAIL() << "no exception";
    } catch (const Pci7344_Exception& e) {
        EXPECT_EQ(e.message(), "Pci7344::set_op_mode  -- " + library_text(FLEX_ERR_BAD_VALUE));
        EXPECT_EQ(e.code(), FLEX_ERR_BAD_VALUE);
        const Pci7344_Exception copy = e;
        EXPECT_EQ(copy.code(), e.code());
        EXPECT_EQ(copy.message(), e.message());
    }
    EXPECT_TRUE(lock_free_elsewhere(board_.number()));
    pci_->set_op_mode(1, 0);  // the next call goes through
}

TEST_F(Pci7344Test, RefusedArgumentsThrowTheBoardsStatus) {
    uint16_t status = 0;
    try {
        pci_->read_axis_status_rtn(9, status);
        FAIL() << "no exception";
    } catch (const Pci7344_Exception& e) {
        EXPECT_EQ(e.code(), FLEX_ERR_BAD_AXIS);
        EXPECT_EQ(e.message(), " Pci7344::read_axis_status_rtn -- " + library_text(FLEX_ERR_BAD_AXIS));
    }
    EXPECT_TRUE(lock_free_elsewhere(board_.number()));
}

// Each wrapper with its board function and its exact message prefix.
struct Wrapper {
    const char* function;
    const char* prefix;
    std::function<void(Pci7344&)> call;
};

TEST_F(Pci7344Test, EveryWrapperNamesItselfInItsMessage) {
    uint16_t u = 0, v = 0;
    int32_t i = 0;
    const Wrapper wrappers[] = {
        {"set_stepper_loop_mode", "Pci7344::set_stepper_loop_mode -- ", [](Pci7344& p) { p.set_stepper_loop_mode(1, 1); }},
        {"load_acceleration", " Pci7344::load_acceleration -- ", [](Pci7344& p) { p.load_acceleration(1, 0, 1000, 255); }},
        {"load_rpm", "Pci7344::load_rpm -- ", [](Pci7344& p) { p.load_rpm(1, 60.0, 255); }},
        {"load_rpsps", "Pci7344::load_rpsps -- ", [](Pci7344& p) { p.load_rpsps(1, 0, 20.0, 255); }},
        {"load_target_pos", "Pci7344::load_target_pos -- ", [](Pci7344& p) { p.load_target_pos(1, 5, 255); }},
        {"load_velocity", "Pci7344::load_velocity -- ", [](Pci7344& p) { p.load_velocity(1, 5, 255); }},
        {"read_axis_status_rtn", " Pci7344::read_axis_status_rtn -- ", [&](Pci7344& p) { p.read_axis_status_rtn(1, u); }},
        {"reset_pos", "Pci7344::reset_pos  -- ", [](Pci7344& p) { p.reset_pos(1, 0, 0, 255); }},
        {"set_op_mode", "Pci7344::set_op_mode  -- ", [](Pci7344& p) { p.set_op_mode(1, 0); }},
        {"check_move_complete_status", "Pci7344::check_move_complete_status  -- ", [&](Pci7344& p) { p.check_move_complete_status(0, 14, u); }},
        {"load_scurve_time", " Pci7344::load_scurve_time -- ", [](Pci7344& p) { p.load_scurve_time(1, 250, 255); }},
        {"start", "Pci7344::start -- ", [](Pci7344& p) { p.start(0, 0); }},
        {"stop_motion", "Pci7344::stop_motion  -- ", [](Pci7344& p) { p.stop_motion(0, 1, 14); }},
        {"enable_home_inputs", "Pci7344::enable_home_inputs  -- ", [](Pci7344& p) { p.enable_home_inputs(0); }},
        {"enable_limits", "Pci7344::enable_limits  -- ", [](Pci7344& p) { p.enable_limits(1, 0, 0); }},
        {"load_sw_lim_pos", "Pci7344::load_sw_lim_pos  -- ", [](Pci7344& p) { p.load_sw_lim_pos(1, 500, 0, 255); }},
        {"read_limit_status_rtn", "Pci7344::read_limit_status_rtn  -- ", [&](Pci7344& p) { p.read_limit_status_rtn(0, u, v); }},
        {"find_reference", "Pci7344::find_reference -- ", [](Pci7344& p) { p.find_reference(0, 14, 1); }},
        {"wait_reference", "Pci7344::wait_reference -- ", [&](Pci7344& p) { p.wait_reference(0, 14, 10000, 100, u); }},
        {"enable_axis_limit", "Pci7344::enable_axis_limit -- ", [](Pci7344& p) { p.enable_axis_limit(0, 0, 14); }},
        {"read_adc16_rtn", "Pci7344::read_adc_rtn  -- ", [&](Pci7344& p) { p.read_adc_rtn(83, i); }},
        {"set_port", "Pci7344::set_port  -- ", [](Pci7344& p) { p.set_port(3, 4, 0, 255); }},
        {"begin_store", "Pci7344::begin_store  -- ", [](Pci7344& p) { p.begin_store(1); }},
        {"flush_rdb", "Pci7344::flush_rdb -- ", [](Pci7344& p) { p.flush_rdb(); }},
        {"read_pos_rtn", "Pci7344::read_pos_rtn -- ", [&](Pci7344& p) { p.read_pos_rtn(1, i); }},
    };
    for (const Wrapper& w : wrappers) {
        SCOPED_TRACE(w.function);
        ASSERT_TRUE(sim().fail_function(w.function, -70300, 1));
        try {
            w.call(*pci_);
            ADD_FAILURE() << "no exception";
        } catch (const Pci7344_Exception& e) {
            EXPECT_EQ(e.message(), w.prefix + library_text(-70300));
            EXPECT_EQ(e.code(), -70300);
        }
        EXPECT_TRUE(lock_free_elsewhere(board_.number()));
    }
    // end_store: the lock from begin_store is released even though it fails.
    pci_->begin_store(2);
    ASSERT_TRUE(sim().fail_function("end_store", -70300, 1));
    try {
        pci_->end_store(2);
        ADD_FAILURE() << "no exception";
    } catch (const Pci7344_Exception& e) {
        EXPECT_EQ(e.message(), " Pci7344::end_store -- " + library_text(-70300));
    }
    EXPECT_TRUE(lock_free_elsewhere(board_.number()));
}

TEST_F(Pci7344Test, ResultsComeBackThroughTheArguments) {
    pci_->reset_pos(2, 321, 0, 255);
    int32_t p = 0;
    pci_->read_pos_rtn(2, p);
    EXPECT_EQ(p, 321);
    ASSERT_TRUE(sim().set_analog(83, 2047));
    int32_t reading = 0;
    pci_->read_adc_rtn(83, reading);
    EXPECT_EQ(reading, 2047);
    uint16_t fwd = 9, rev = 9;
    pci_->read_limit_status_rtn(0, fwd, rev);
    EXPECT_EQ(fwd, 0);
    EXPECT_EQ(rev, 0);
}

TEST_F(Pci7344Test, ReadbackErrorOnReadPosIsFlushedAndNotThrown) {
    ASSERT_TRUE(sim().set_readback_error());
    ASSERT_TRUE(sim().clear_trace());
    int32_t p = 4242;
    EXPECT_NO_THROW(pci_->read_pos_rtn(1, p));
    EXPECT_EQ(p, 4242);  // the caller's value stays
    EXPECT_EQ(sim().trace_functions(), (std::vector<std::string>{"read_pos_rtn", "flush_rdb"}));
    pci_->read_pos_rtn(1, p);  // flushed: reads again
    EXPECT_EQ(p, 0);
    EXPECT_TRUE(lock_free_elsewhere(board_.number()));
}

TEST_F(Pci7344Test, OtherReadPosFailureThrowsWithoutFlushing) {
    ASSERT_TRUE(sim().fail_function("read_pos_rtn", FLEX_ERR_BAD_VALUE, 1));
    ASSERT_TRUE(sim().clear_trace());
    int32_t p = 0;
    try {
        pci_->read_pos_rtn(1, p);
        FAIL() << "no exception";
    } catch (const Pci7344_Exception& e) {
        EXPECT_EQ(e.code(), FLEX_ERR_BAD_VALUE);
        EXPECT_EQ(e.message(), "Pci7344::read_pos_rtn -- " + library_text(FLEX_ERR_BAD_VALUE));
    }
    EXPECT_EQ(sim().trace_functions(), (std::vector<std::string>{"read_pos_rtn"}));
    EXPECT_TRUE(lock_free_elsewhere(board_.number()));
}

TEST_F(Pci7344Test, RecoverReadbackErrorFlushesOnlyForItsStatus) {
    ASSERT_TRUE(sim().set_readback_error());
    ASSERT_TRUE(sim().clear_trace());
    EXPECT_FALSE(pci_->recover_readback_error(FLEX_ERR_BAD_AXIS));
    EXPECT_TRUE(sim().trace_functions().empty());
    EXPECT_TRUE(pci_->recover_readback_error(-70025));
    EXPECT_EQ(sim().trace_functions(), (std::vector<std::string>{"flush_rdb"}));
    EXPECT_FALSE(sim().view().readback_pending);
    EXPECT_TRUE(lock_free_elsewhere(board_.number()));
}

TEST_F(Pci7344Test, BeginStoreHoldsTheLockAcrossCallsUntilEndStore) {
    pci_->begin_store(1);
    EXPECT_FALSE(lock_free_elsewhere(board_.number()));
    int32_t p = 0;
    pci_->read_pos_rtn(1, p);  // the same thread still reaches the board
    pci_->set_port(3, 4, 0, 255);
    EXPECT_FALSE(lock_free_elsewhere(board_.number()));
    pci_->end_store(1);
    EXPECT_TRUE(lock_free_elsewhere(board_.number()));
}

TEST_F(Pci7344Test, FailedBeginStoreLeavesTheLockFree) {
    ASSERT_TRUE(sim().fail_function("begin_store", -70400, 1));
    EXPECT_THROW(pci_->begin_store(1), Pci7344_Exception);
    EXPECT_TRUE(lock_free_elsewhere(board_.number()));
}

TEST_F(Pci7344Test, ThreadWaitingForTheLockGetsItBeforeTheOneGivingWayTakesItAgain) {
    // The worker between two slices of its index search, and the task loop
    // reading the kill switch through its own object of the same board.
    ASSERT_TRUE(sim().set_trace(true) && sim().clear_trace());
    ASSERT_TRUE(pci_->lock());
    Pci7344 task_loop_board(board_.number());
    std::thread task_loop([&] {
        int32_t reading = 0;
        task_loop_board.read_adc_rtn(0x54, reading);
    });
    const bool waiting = wait_until([&] { return pci_->waiting_threads() == 1; });
    pci_->unlock();
    pci_->give_way();
    const bool taken_again = pci_->lock();
    const std::vector<std::string> calls = sim().trace_functions();
    if (taken_again) pci_->unlock();
    task_loop.join();
    EXPECT_TRUE(waiting);
    EXPECT_TRUE(taken_again);
    EXPECT_EQ(calls, std::vector<std::string>{"read_adc16_rtn"});
}

TEST_F(Pci7344Test, TwoProcessesContendForTheSameBoardLock) {
    const int board = board_.number();
    SharedFlags flags;  // 0: child holds the lock, 1: parent says release
    ChildProcess child([&flags, board] {
        Pci7344 mine(board);
        mine.begin_store(3);
        flags.set(0);
        if (!flags.await(1, 10000)) return 1;
        mine.end_store(3);
        return 0;
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(flags.await(0));
    std::atomic<bool> done{false};
    std::thread caller([&] {
        pci_->set_port(3, 4, 0, 255);  // waits for the child's lock
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    flags.set(1);
    EXPECT_TRUE(wait_until([&] { return done.load(); }));
    caller.join();
    EXPECT_EQ(child.wait(10000), 0);
    EXPECT_EQ(sim().view().ports[2], 4);
}

TEST(Pci7344Construction, UnusableLockSegmentFailsWithTheFixedText) {
    // A segment of that name that never becomes a mutex (no size): the
    // lock cannot be opened.
    const std::string name = "pci7344-" + std::to_string(100000 + getpid()) + "MUTEX";
    const int fd = shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    try {
        Pci7344 p(100000 + getpid());
        ADD_FAILURE() << "constructed";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Pci7344 Error, failed to initialize access synchronization.");
    }
    shm_unlink(("/" + name).c_str());
}

}  // namespace
