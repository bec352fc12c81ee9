#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "interfaces/ComponentIF.h"
#include "interfaces/InterfaceServer.h"
#include "interfaces/LogServerIF.h"
#include "interfaces/NI7344IF.h"
#include "interfaces/SampleInterfaceIF.h"
#include "interfaces/SipperIF.h"
#include "interfaces/SupervisorIF.h"
#include "tests/support/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

// A server that serves nothing: enough to own a channel.
class IdleServer : public InterfaceServer {
public:
    explicit IdleServer(const std::string& name) : InterfaceServer(name)
    {
        add_table(component_methods::TABLE);
        set_queue_size(DEFAULT_QUEUE_SIZE);
    }
    void dispatch(const Message&) override {}
};

class ChannelTest : public ::testing::Test {
protected:
    std::string unique_name()
    {
        std::string name = "iftest_ch_" + std::to_string(::getpid()) + "_" + std::to_string(names_.size());
        names_.push_back(name);
        return name;
    }
    void TearDown() override
    {
        for (const auto& n : names_)
            ComponentInterface::remove_objects(n);
    }

    // Named semaphores appear as "sem.<name>" in /dev/shm, the rest under their own name.
    static bool object_exists(const std::string& object)
    {
        return fs::exists("/dev/shm/" + object) || fs::exists("/dev/shm/sem." + object);
    }

    std::vector<std::string> names_;
};

TEST_F(ChannelTest, ServerCreatesTheEightObjectsAndRemoveObjectsDeletesThemAll)
{
    const std::string name = unique_name();
    {
        IdleServer server(name);
        ASSERT_TRUE(server.open()) << server.error();
    }
    const std::vector<std::string> expected = {name + "_properties",          name + "_propertiesmutex",
                                               name + "_cmdQ",                name + "_cmdQmutex",
                                               name + "_action_start_signal", name + "_action_done_signal",
                                               name + "_action_mutex",        name + "unique"};
    EXPECT_EQ(ComponentInterface::object_names(name), expected);
    for (const auto& object : expected)
        EXPECT_TRUE(object_exists(object)) << object;

    EXPECT_TRUE(ComponentInterface::remove_objects(name));
    for (const auto& object : expected)
        EXPECT_FALSE(object_exists(object)) << object;
}

TEST_F(ChannelTest, PropertiesSizesFollowTheInterfaceClass)
{
    EXPECT_EQ(ComponentIF("x").properties_size(), 12316u);
    EXPECT_EQ(SupervisorIF("x").properties_size(), 12316u);
    EXPECT_EQ(NI7344IF("x").properties_size(), 12336u);
    EXPECT_EQ(LogServerIF("x").properties_size(), 16412u);
    EXPECT_EQ(SipperIF("x").properties_size(), 20584u);
    EXPECT_EQ(SampleInterfaceIF("x").properties_size(), 24708u);
    EXPECT_EQ(SipperIF("x").queue_size(), 1000000u);
    // Ids 0 to 11 stay the component methods on every interface.
    EXPECT_EQ(SipperIF("x").method_id("log_msg"), 9);
    EXPECT_EQ(SipperIF("x").method_id("get_inhibit_state"), 37);
    EXPECT_EQ(SampleInterfaceIF("x").method_id("vacuum_check_delay"), 51);
    EXPECT_EQ(ComponentIF("x").method_id("get_inhibit_state"), -1);
}

TEST_F(ChannelTest, CreatorWritesTheTimeoutAndLaterOpenersKeepIt)
{
    const std::string name = unique_name();
    ComponentIF first(name);
    ASSERT_TRUE(first.open()) << first.error();
    EXPECT_EQ(first.timeout(), 20000u);
    first.set_timeout(1000);
    first.set_call_counter(41);

    ComponentIF second(name);
    ASSERT_TRUE(second.open()) << second.error();
    EXPECT_FALSE(second.properties().created());
    EXPECT_EQ(second.timeout(), 1000u);
    EXPECT_EQ(second.next_call_id(), 42u);
    EXPECT_EQ(first.call_counter(), 42u);
}

TEST_F(ChannelTest, LaterOpenerMapsTheCreatorsSmallerAreaAndNeverReadsBeyondIt)
{
    const std::string name = unique_name();
    ComponentIF creator(name);
    ASSERT_TRUE(creator.open()) << creator.error();
    SipperIF sipper(name);
    ASSERT_TRUE(sipper.open()) << sipper.error();
    EXPECT_EQ(sipper.properties().mapped_size(), 12316u);
    std::int32_t v = 5;
    EXPECT_FALSE(sipper.read_slot(sipper_methods::INHIBIT_STATE_SLOT, v));
    EXPECT_FALSE(sipper.write_slot(sipper_methods::INHIBIT_STATE_SLOT, 1));
    EXPECT_TRUE(sipper.write_slot(component_methods::STATE_SLOT, 3));
    EXPECT_TRUE(creator.read_slot(component_methods::STATE_SLOT, v));
    EXPECT_EQ(v, 3);
}

TEST_F(ChannelTest, StringSlotHoldsAtMost4095CharactersAndItsNul)
{
    const std::string name = unique_name();
    ComponentIF c(name);
    ASSERT_TRUE(c.open()) << c.error();
    ASSERT_TRUE(c.write_slot(component_methods::VERSION_SLOT, std::string(5000, 'v')));
    ASSERT_TRUE(c.write_slot(component_methods::VERSION_SLOT, "1.0.0"));
    std::string text;
    ASSERT_TRUE(c.read_slot(component_methods::VERSION_SLOT, text));
    EXPECT_EQ(text, "1.0.0");
    // The next slot begins right after the 4096-byte field and is untouched.
    std::string next;
    ASSERT_TRUE(c.read_slot(component_methods::CFG_DIR_SLOT, next));
    EXPECT_EQ(next, "");
}

TEST_F(ChannelTest, UnusableNameLeavesTheChannelUnconnectedAndSaysWhy)
{
    for (const std::string& bad : {std::string(), std::string("dir/name"), std::string(240, 'n')}) {
        ComponentIF client(bad);
        EXPECT_FALSE(client.open()) << bad;
        EXPECT_FALSE(client.connected());
        EXPECT_NE(client.error().find("interface"), std::string::npos) << client.error();
        EXPECT_EQ(client.log_msg("x", 0), call_not_connected);

        IdleServer server(bad);
        EXPECT_FALSE(server.open());
        EXPECT_FALSE(server.error().empty());
        // An unconnected server step only paces the loop.
        server.service();
    }
    // The long name still fits the server marker, which its server made.
    ComponentInterface::remove_objects(std::string(240, 'n'));
}

TEST_F(ChannelTest, DestroyingAnotherChannelObjectWakesAWaitingQueryWithWrongReply)
{
    const std::string name = unique_name();
    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    client.set_timeout(20000);

    Pipe opened;
    ChildProcess other([&] {
        ComponentIF peer(name);
        if (!peer.open())
            return 2;
        opened.notify();
        // Long enough for the parent's query to be waiting.
        ::usleep(500 * 1000);
        return 0;  // destroying `peer` releases the done signal
    });
    ASSERT_TRUE(opened.await(10000));
    const auto start = std::chrono::steady_clock::now();
    int state = 9;
    EXPECT_EQ(client.get_state(state), call_wrong_reply);
    EXPECT_EQ(state, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(other.wait(10000), 0);
}

}  // namespace
