#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/ComponentIF.h"
#include "interfaces/InterfaceServer.h"
#include "interfaces/SipperIF.h"
#include "tests/support/ChildProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

// Serves the component and sipper tables with answers that tell the test
// what arrived: get_state counts the log messages received, get_name returns
// the last one, load_config the length of its argument, get_cfg_dir the
// number of report lines and the last of them, get_plate_info the arguments
// of the last "sip".
class TestServer : public InterfaceServer {
public:
    enum class Mode { normal, wrong_call_id, slow_get_state };

    TestServer(const std::string& name, Mode mode) : InterfaceServer(name), mode_(mode)
    {
        add_table(component_methods::TABLE);
        add_table(sipper_methods::TABLE);
        set_queue_size(DEFAULT_QUEUE_SIZE);
    }

    bool killed() const { return killed_; }

    void report(const std::string& text) override { reports_.push_back(text); }

    void dispatch(const Message& msg) override
    {
        using namespace component_methods;
        using namespace sipper_methods;
        const MethodSpec* m = find_method(msg.id());
        if (m == nullptr)
            return;
        switch (msg.id()) {
        case KILL:
            killed_ = true;
            break;
        case LOG_MSG:
            ++log_count_;
            last_log_ = msg.get_string(*m, 0);
            break;
        case GET_STATE:
            if (mode_ == Mode::slow_get_state)
                ::usleep(400 * 1000);
            if (mode_ == Mode::wrong_call_id) {
                write_result(*m, 0, std::int32_t(log_count_ + 100));
                set_completed_call(msg.call_id(*m) + 7);
                done_signal()->release();
                break;
            }
            reply(*m, msg, {std::int32_t(log_count_)});
            break;
        case GET_NAME:
            reply(*m, msg, {last_log_});
            break;
        case LOAD_CONFIG:
            reply(*m, msg, {std::int32_t(msg.get_string(*m, 0).size())});
            break;
        case GET_CFG_DIR:
            reply(*m, msg, {std::to_string(reports_.size()) + "|" + (reports_.empty() ? "" : reports_.back())});
            break;
        case SIP:
            sip_ = msg.get_string(*m, 0);
            for (int k = 1; k <= 6; ++k)
                sip_ += " " + (k == 4 ? std::to_string(msg.get_real(*m, k)) : std::to_string(msg.get_int(*m, k)));
            break;
        case GET_PLATE_INFO:
            reply(*m, msg, {sip_, std::int32_t(sip_.size()), std::int32_t(-3)});
            break;
        case GET_CURRENT_POSITIONS:
            reply(*m, msg, {1.5, -2.25, 1000000.125});
            break;
        default:
            break;
        }
    }

private:
    Mode mode_;
    bool killed_ = false;
    int log_count_ = 0;
    std::string last_log_;
    std::vector<std::string> reports_;
    std::string sip_;
};

// Runs a TestServer until it gets "kill" (or a minute passes). With `hold`,
// the server opens, says so through `opened` and serves only after `go`.
int serve(const std::string& name, TestServer::Mode mode, Pipe* opened = nullptr, Pipe* go = nullptr)
{
    TestServer server(name, mode);
    if (!server.open())
        return 10;
    if (opened != nullptr)
        opened->notify();
    if (go != nullptr && !go->await(30000))
        return 11;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!server.killed()) {
        if (Clock::now() > deadline)
            return 12;
        server.service();
    }
    return 0;
}

class CallTest : public ::testing::Test {
protected:
    std::string unique_name()
    {
        std::string name = "iftest_call_" + std::to_string(::getpid()) + "_" + std::to_string(names_.size());
        names_.push_back(name);
        return name;
    }
    void TearDown() override
    {
        for (const auto& n : names_)
            ComponentInterface::remove_objects(n);
    }

    // Starts a server process and waits until its channel is open.
    std::unique_ptr<ChildProcess> start_server(const std::string& name,
                                               TestServer::Mode mode = TestServer::Mode::normal)
    {
        Pipe opened;
        auto child = std::make_unique<ChildProcess>([&] { return serve(name, mode, &opened); });
        EXPECT_TRUE(opened.await(10000)) << "server did not open";
        return child;
    }

    // Stops the server with "kill" and expects it to end cleanly.
    static void stop_server(ComponentIF& client, ChildProcess& server)
    {
        EXPECT_EQ(client.kill(), call_ok);
        EXPECT_EQ(server.wait(10000), 0) << "server crashed or hung";
    }

    // Polls get_state (the number of log messages served) until it reaches `n`.
    static bool wait_for_log_count(ComponentIF& client, int n, int timeout_ms)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        int count = -1;
        while (Clock::now() < deadline) {
            if (client.get_state(count) == call_ok && count == n)
                return true;
        }
        return false;
    }

    std::vector<std::string> names_;
};

TEST_F(CallTest, UnconnectedClientReturnsNotConnectedAndZeroResults)
{
    SipperIF client(unique_name());  // never opened
    int status = 7;
    EXPECT_EQ(client.get_status(status), call_not_connected);
    EXPECT_EQ(status, 0);
    double x = 1, y = 2, z = 3;
    EXPECT_EQ(client.get_current_positions(x, y, z), call_not_connected);
    EXPECT_EQ(x + y + z, 0.0);
    EXPECT_EQ(client.log_msg("nothing", 0), call_not_connected);
    EXPECT_EQ(client.home(), call_not_connected);
}

TEST_F(CallTest, QueryWithoutServerIsNotConnectedWithZeroResult)
{
    ComponentIF client(unique_name());
    ASSERT_TRUE(client.open()) << client.error();
    ASSERT_EQ(client.timeout(), 20000u);  // a wait would have given call_timeout
    int state = 5;
    EXPECT_EQ(client.get_state(state), call_not_connected);
    EXPECT_EQ(state, 0);
}

TEST_F(CallTest, QueryWaitingOnAServerThatIsKilledEndsNotConnected)
{
    const std::string name = unique_name();
    Pipe opened, never;
    // Opens the channel and holds the name, but serves nothing until killed.
    ChildProcess server([&] { return serve(name, TestServer::Mode::normal, &opened, &never); });
    ASSERT_TRUE(opened.await(10000));
    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    client.set_timeout(20000);
    int rc = -1;
    int state = 5;
    std::thread query([&] { rc = client.get_state(state); });
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (client.queue().count() == 0 && Clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(client.queue().count(), 1u) << "the query never sent its message";
    server.kill_now();
    query.join();
    // Before the 20 s timeout: a wait for it would have given call_timeout.
    EXPECT_EQ(rc, call_not_connected);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(server.wait(10000), 128 + SIGKILL);
    // Its objects stay behind; the next query says so before it waits.
    EXPECT_EQ(client.get_state(state), call_not_connected);
    EXPECT_EQ(client.queue().count(), 1u);
}

TEST_F(CallTest, OneWayCallsWithoutServerQueueUntilTheQueueIsFull)
{
    ComponentIF client(unique_name());
    ASSERT_TRUE(client.open()) << client.error();
    int queued = 0;
    int rc = call_ok;
    while ((rc = client.log_msg("x", 0)) == call_ok && queued < 1000)
        ++queued;
    EXPECT_EQ(rc, call_queue_full);
    // 999,984 ring bytes hold 243 messages of 4104 bytes.
    EXPECT_EQ(queued, 243);
}

TEST_F(CallTest, QueriesAreAnsweredByAServerInAnotherProcess)
{
    const std::string name = unique_name();
    auto server = start_server(name);
    SipperIF client(name);
    ASSERT_TRUE(client.open()) << client.error();

    EXPECT_EQ(client.log_msg("first line", 0), call_ok);
    EXPECT_EQ(client.log_msg(std::string(5000, 'L'), 0), call_ok);
    int count = 0;
    EXPECT_TRUE(wait_for_log_count(client, 2, 10000));
    std::string last;
    ASSERT_EQ(client.get_name(last), call_ok);
    EXPECT_EQ(last, std::string(4095, 'L'));

    int length = 0;
    ASSERT_EQ(client.load_config("abc.cfg", length), call_ok);
    EXPECT_EQ(length, 7);
    ASSERT_EQ(client.load_config(std::string(5000, 'c'), length), call_ok);
    EXPECT_EQ(length, 4095);

    double x = 0, y = 0, z = 0;
    ASSERT_EQ(client.get_current_positions(x, y, z), call_ok);
    EXPECT_EQ(x, 1.5);
    EXPECT_EQ(y, -2.25);
    EXPECT_EQ(z, 1000000.125);

    ASSERT_EQ(client.sip("B7", 1, -2, 3, 0.75, 5, 6), call_ok);
    std::string text;
    int first = 0, second = 0;
    ASSERT_EQ(client.get_plate_info(text, first, second), call_ok);
    EXPECT_EQ(text, "B7 1 -2 3 0.750000 5 6");
    EXPECT_EQ(first, static_cast<int>(text.size()));
    EXPECT_EQ(second, -3);
    // A query only touches its own slots.
    ASSERT_EQ(client.get_state(count), call_ok);
    EXPECT_EQ(count, 2);

    stop_server(client, *server);
}

TEST_F(CallTest, SipMessageCarriesItsRealAtOffset4112)
{
    SipperIF client(unique_name());
    ASSERT_TRUE(client.open()) << client.error();
    ASSERT_EQ(client.sip("A1", 1, 2, 3, 2.5, 4, 5), call_ok);
    Message m;
    ASSERT_EQ(client.queue().pop(m), SharedQueue::PopResult::message);
    ASSERT_EQ(m.size(), 4128u);
    EXPECT_EQ(m.id(), 26u);
    double real = 0;
    std::memcpy(&real, m.data() + 4112, 8);
    EXPECT_EQ(real, 2.5);
    std::int32_t last = 0;
    std::memcpy(&last, m.data() + 4124, 4);
    EXPECT_EQ(last, 5);
    EXPECT_EQ(std::memcmp(m.data() + 4, "A1\0\0", 4), 0);
    EXPECT_EQ(m.data()[4099], 0);
}

TEST_F(CallTest, ReplyWithAnotherCallIdGivesWrongReplyAndZeroResult)
{
    const std::string name = unique_name();
    auto server = start_server(name, TestServer::Mode::wrong_call_id);
    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    int state = 9;
    EXPECT_EQ(client.get_state(state), call_wrong_reply);
    EXPECT_EQ(state, 0);
    stop_server(client, *server);
}

TEST_F(CallTest, StaleDoneSignalDoesNotSatisfyTheNextQuery)
{
    const std::string name = unique_name();
    TestServer silent(name, TestServer::Mode::normal);  // holds the name, never serves
    ASSERT_TRUE(silent.open()) << silent.error();
    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    client.set_timeout(300);
    // The server released it once when it opened: left over from nobody.
    ASSERT_FALSE(client.done_signal()->release()) << "the done signal should be at its maximum";
    int state = 4;
    EXPECT_EQ(client.get_state(state), call_timeout);
    EXPECT_EQ(state, 0);
}

TEST_F(CallTest, LateReplyToAnAbandonedQueryDoesNotAnswerTheNextOne)
{
    const std::string name = unique_name();
    auto server = start_server(name, TestServer::Mode::slow_get_state);
    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    ASSERT_EQ(client.log_msg("expected", 0), call_ok);
    client.set_timeout(100);
    int state = 0;
    EXPECT_EQ(client.get_state(state), call_timeout);  // answered 400 ms later
    client.set_timeout(5000);
    // The late reply either comes before the next query drains it, or wakes
    // that query, which then reports a wrong reply and swallows its own
    // answer. Either way no query is answered with another's result, and
    // the client is not left one reply behind.
    std::string last;
    int result = client.get_name(last);
    if (result == call_wrong_reply) {
        EXPECT_EQ(last, "");
        result = client.get_name(last);
    }
    ASSERT_EQ(result, call_ok);
    EXPECT_EQ(last, "expected");
    int count = -1;
    EXPECT_EQ(client.get_state(count), call_ok);
    EXPECT_EQ(count, 1);
    stop_server(client, *server);
}

TEST_F(CallTest, ClientKilledWhileHoldingTheActionMutexDoesNotBlockTheNextQuery)
{
    const std::string name = unique_name();
    auto server = start_server(name);
    Pipe locked;
    ChildProcess holder([&] {
        ComponentIF c(name);
        if (!c.open() || !c.action_mutex()->lock())
            return 2;
        locked.notify();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(locked.await(10000));
    holder.kill_now();
    ASSERT_NE(holder.wait(10000), child_exit::timed_out);

    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    client.set_timeout(2000);
    int count = -1;
    EXPECT_EQ(client.get_state(count), call_ok);
    EXPECT_EQ(count, 0);
    stop_server(client, *server);
}

TEST_F(CallTest, ServerStartedAfterClientsQueuedCommandsDiscardsThem)
{
    const std::string name = unique_name();
    // The client makes the channel, so it must make it at the server's size.
    SipperIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(client.log_msg("early", 0), call_ok);

    auto server = start_server(name);
    int count = -1;
    ASSERT_EQ(client.get_state(count), call_ok);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(client.log_msg("late", 0), call_ok);
    EXPECT_TRUE(wait_for_log_count(client, 1, 10000));
    stop_server(client, *server);
}

TEST_F(CallTest, MoreThanHundredQueuedMessagesAreAllServed)
{
    const std::string name = unique_name();
    Pipe opened;
    Pipe go;
    ChildProcess server([&] { return serve(name, TestServer::Mode::normal, &opened, &go); });
    ASSERT_TRUE(opened.await(10000));

    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    for (int i = 0; i < 150; ++i)
        ASSERT_EQ(client.log_msg("m" + std::to_string(i), 0), call_ok);
    go.notify();

    client.set_timeout(10000);
    EXPECT_TRUE(wait_for_log_count(client, 150, 20000));
    std::string last;
    ASSERT_EQ(client.get_name(last), call_ok);
    EXPECT_EQ(last, "m149");
    stop_server(client, server);
}

// Pushes raw bytes as a message and signals the server.
void push_raw(ComponentInterface& channel, std::vector<std::uint8_t> bytes)
{
    ASSERT_TRUE(channel.queue().push(Message(std::move(bytes))));
    channel.start_signal()->release();
}

std::vector<std::uint8_t> raw(std::uint16_t length, std::uint16_t id)
{
    std::vector<std::uint8_t> bytes(length, 'z');
    wire::store_u16(bytes.data(), length);
    wire::store_u16(bytes.data() + 2, id);
    return bytes;
}

int report_count(ComponentIF& client, std::string* last = nullptr)
{
    std::string text;
    if (client.get_cfg_dir(text) != call_ok)
        return -1;
    if (last != nullptr)
        *last = text.substr(text.find('|') + 1);
    return std::stoi(text.substr(0, text.find('|')));
}

TEST_F(CallTest, ShortMessagesAreIgnoredWithoutReplyAndReportedOnce)
{
    const std::string name = unique_name();
    auto server = start_server(name);
    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    int count = -1;
    ASSERT_EQ(client.get_state(count), call_ok);
    const std::uint32_t answered = client.completed_call();

    push_raw(client, raw(4, component_methods::GET_STATE));     // lacks its call id
    push_raw(client, raw(8, component_methods::LOAD_CONFIG));   // 4104 expected
    push_raw(client, raw(4100, component_methods::LOG_MSG));    // lacks its level
    push_raw(client, raw(4120, sipper_methods::SIP));           // lacks the last integers
    push_raw(client, raw(4, 500));                              // unknown id: ignored silently

    std::string last;
    EXPECT_EQ(report_count(client, &last), 4);
    EXPECT_NE(last.find("\"sip\""), std::string::npos) << last;
    EXPECT_EQ(client.completed_call(), answered + 1);  // only the report query was answered
    ASSERT_EQ(client.get_state(count), call_ok);
    EXPECT_EQ(count, 0);
    stop_server(client, *server);
}

struct HeaderDamage {
    std::uint32_t count, read, write;
    std::uint16_t length;  // written at offset 16 when not 0
};

TEST_F(CallTest, CorruptedQueueHeadersAreReportedResetAndServingGoesOn)
{
    const std::string name = unique_name();
    auto server = start_server(name);
    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    client.set_timeout(5000);
    SharedQueue& q = client.queue();
    const HeaderDamage damages[] = {
        {1, 3, 16, 0},           // read position off the ring
        {1, 16, 2000000, 0},     // write position far outside
        {1000, 16, 24, 0},       // more messages than bytes
        {0, 16, 24, 0},          // nothing counted, bytes queued
        {1, 16, 24, 0xFFFC},     // length beyond the queued bytes
        {1, 16, 24, 6},          // length not a multiple of 4
        {2, 16, 24, 0},          // length 0
    };
    int expected_reports = 0;
    for (const HeaderDamage& d : damages) {
        ASSERT_TRUE(q.lock()->lock());
        const std::uint16_t zero = 0;
        q.write(16, d.length != 0 ? &d.length : &zero, 2);
        q.write(SharedQueue::COUNT_OFFSET, &d.count, 4);
        q.write(SharedQueue::READ_OFFSET, &d.read, 4);
        q.write(SharedQueue::WRITE_OFFSET, &d.write, 4);
        q.lock()->unlock();
        client.start_signal()->release();
        ++expected_reports;

        // Wait until the server has reset the queue before queuing the query.
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        std::uint32_t r = 0, w = 0, c = 1;
        do {
            ASSERT_TRUE(q.lock()->lock());
            q.read(SharedQueue::READ_OFFSET, &r, 4);
            q.read(SharedQueue::WRITE_OFFSET, &w, 4);
            q.read(SharedQueue::COUNT_OFFSET, &c, 4);
            q.lock()->unlock();
        } while (!(r == 16 && w == 16 && c == 0) && Clock::now() < deadline);
        std::string last;
        EXPECT_EQ(report_count(client, &last), expected_reports);
        EXPECT_NE(last.find("corrupted"), std::string::npos) << last;
    }
    ASSERT_EQ(client.log_msg("still alive", 0), call_ok);
    EXPECT_TRUE(wait_for_log_count(client, 1, 10000));
    stop_server(client, *server);
}

}  // namespace
