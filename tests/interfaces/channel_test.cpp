#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
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
#include "tests/support/ForeignObjects.h"
#include "utilities/KernelObjectSupport.h"

namespace {

namespace fs = std::filesystem;

// A server that serves nothing: enough to own a channel, of the component's
// layout or the sipper's.
class IdleServer : public InterfaceServer {
public:
    explicit IdleServer(const std::string& name, bool sipper_layout = false) : InterfaceServer(name)
    {
        add_table(component_methods::TABLE);
        if (sipper_layout)
            add_table(sipper_methods::TABLE);
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
        std::error_code too_long;
        return fs::exists("/dev/shm/" + object, too_long) || fs::exists("/dev/shm/sem." + object, too_long);
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

TEST_F(ChannelTest, AreasSmallerThanTheOpenersLayoutAreRefusedNamingBothSizesUnlessTheServerGrowsThem)
{
    using foreign_objects::Object;
    // A larger area serves a smaller interface: every slot of it is inside.
    {
        const std::string name = unique_name();
        SampleInterfaceIF creator(name);
        ASSERT_TRUE(creator.open()) << creator.error();
        ComponentIF smaller(name);
        ASSERT_TRUE(smaller.open()) << smaller.error();
        EXPECT_EQ(smaller.properties().mapped_size(), 24708u);
    }
    struct Case {
        const char* suffix;
        std::size_t size;  // what another opener made
        std::size_t needed;
    };
    // 12316 is what a component-sized client makes before the sipper starts.
    for (const Case& c : {Case{"_properties", 16, 20584}, Case{"_properties", 12316, 20584},
                          Case{"_cmdQ", 64, 1000000}, Case{"_cmdQ", 999996, 1000000}}) {
        const std::string name = unique_name();
        const Object area{name + c.suffix, false, c.size};
        ASSERT_TRUE(foreign_objects::plant(area, 0600));
        const std::string where = std::string(c.suffix) + " of " + std::to_string(c.size) + " bytes";
        SipperIF client(name);
        EXPECT_FALSE(client.open()) << where;
        std::vector<std::string> errors = {client.error()};
        int state = 7;
        EXPECT_EQ(client.get_state(state), call_not_connected);
        EXPECT_EQ(state, 0);
        EXPECT_TRUE(foreign_objects::untouched(area)) << where;
        // A server grows a properties area to its layout; a queue it refuses.
        IdleServer server(name, true);
        const bool grows = c.suffix == std::string("_properties");
        EXPECT_EQ(server.open(), grows) << where << ": " << server.error();
        if (grows) {
            EXPECT_EQ(server.properties().mapped_size(), c.needed) << where;
        } else {
            errors.push_back(server.error());
        }
        for (const std::string& error : errors) {
            EXPECT_NE(error.find(" " + std::to_string(c.size) + " bytes"), std::string::npos) << error;
            EXPECT_NE(error.find(" " + std::to_string(c.needed) + " bytes"), std::string::npos) << error;
        }
    }
}

TEST_F(ChannelTest, ObjectsOfAnotherAccountOrOpenToOthersAreNeitherUsedNorChanged)
{
    using foreign_objects::Account;
    using foreign_objects::Object;
    struct Planter {
        std::optional<Account> account;  // none: this process's own user
        mode_t mode;
    };
    std::vector<Planter> planters = {{std::nullopt, 0660}, {std::nullopt, 0604}};
    if (const auto nobody = foreign_objects::nobody_account()) {
        // Root opens these whatever their mode; only the owner check stops it.
        planters.push_back({nobody, 0600});
        planters.push_back({nobody, 0666});
    } else {
        std::cout << "not root: objects of another account are not tried\n";
    }
    const std::string name = unique_name();
    const std::vector<Object> objects = {
        {name + "_properties", false, 20584},       {name + "_propertiesmutex", false, 64},
        {name + "_cmdQ", false, 1000000},           {name + "_cmdQmutex", false, 64},
        {name + "_action_start_signal", true},      {name + "_action_done_signal", true},
        {name + "_action_mutex", false, 64},        {name + "unique", true}};
    const Object marker = objects.back();

    for (const Object& object : objects) {
        for (const Planter& planter : planters) {
            ComponentInterface::remove_objects(name);
            ASSERT_TRUE(foreign_objects::plant(object, planter.mode, planter.account)) << object.name;
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(planter.mode));
            const std::string owner =
                planter.account ? planter.account->name + " (uid " + std::to_string(planter.account->uid) + ")"
                                : kernel_object::account_text(::geteuid());
            const std::string where = object.name + " of " + owner + " with mode " + mode;
            auto says_why = [&](const std::string& error) {
                EXPECT_NE(error.find(foreign_objects::path_of(object) + " belongs to " + owner + " with mode " + mode),
                          std::string::npos)
                    << where << ": " << error;
            };

            // Clients never open the marker; every other object stops them.
            if (&object != &objects.back()) {
                SipperIF client(name);
                EXPECT_FALSE(client.open()) << where;
                says_why(client.error());
                EXPECT_EQ(client.log_msg("from a client", 0), call_not_connected);
            }
            {
                IdleServer server(name, true);
                EXPECT_FALSE(server.open()) << where;
                says_why(server.error());
            }
            EXPECT_TRUE(foreign_objects::untouched(object)) << where;
            // A refused server takes away the marker it made.
            if (&object != &objects.back()) {
                EXPECT_FALSE(foreign_objects::exists(marker)) << where;
            }

            // What sipperctl clean does removes them whoever made them.
            ComponentInterface::remove_objects(name);
            EXPECT_FALSE(foreign_objects::exists(object)) << where;
        }
    }
    IdleServer server(name, true);
    EXPECT_TRUE(server.open()) << server.error();
}

TEST_F(ChannelTest, AFifoAtAnyObjectsPathIsRefusedWithoutWaitingForAWriter)
{
    const std::string name = unique_name();
    for (const std::string& object : ComponentInterface::object_names(name)) {
        ComponentInterface::remove_objects(name);
        const bool marker = object == ComponentInterface::server_marker_name(name);
        const std::string path = (marker || object.ends_with("_signal") ? "/dev/shm/sem." : "/dev/shm/") + object;
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
        const std::string why = path + " belongs to " + kernel_object::account_text(::geteuid()) +
                                " with mode 0600 and is a FIFO, not a regular file";
        // Opening a FIFO to read waits for a writer: in a child, with a deadline.
        const int code = run_in_child([&] {
            SipperIF client(name);
            EXPECT_EQ(client.open(), marker) << client.error();  // clients leave the marker alone
            if (!marker) {
                EXPECT_NE(client.error().find(why), std::string::npos) << client.error();
            }
            int state = 7;
            EXPECT_EQ(client.get_state(state), call_not_connected);  // no server can hold a FIFO
            IdleServer server(name, true);
            EXPECT_FALSE(server.open());
            EXPECT_NE(server.error().find(why), std::string::npos) << server.error();
        });
        EXPECT_EQ(code, 0) << object << (code == child_exit::timed_out ? ": hung" : "");
    }
}

TEST_F(ChannelTest, ANameALiveProcessServesIsRefusedUntouchedAndItsDeathFreesIt)
{
    const std::string name = unique_name();
    Pipe opened;
    ChildProcess first([&] {
        IdleServer server(name);
        if (!server.open())
            return 2;
        opened.notify();
        ::pause();  // serves nothing, holds the name until killed
        return 0;
    });
    ASSERT_TRUE(opened.await(10000));

    ComponentIF client(name);
    ASSERT_TRUE(client.open()) << client.error();
    ASSERT_EQ(client.log_msg("queued for the live server", 0), call_ok);
    while (client.done_signal()->wait(0)) {
    }  // the one the live server released when it opened
    auto second = std::make_unique<IdleServer>(name);
    EXPECT_FALSE(second->open());
    EXPECT_NE(second->error().find("already served by a live process"), std::string::npos) << second->error();
    // Neither the live server's queue nor its done signal was touched.
    EXPECT_EQ(client.queue().count(), 1u);
    EXPECT_FALSE(client.done_signal()->wait(0));

    first.kill_now();
    EXPECT_EQ(first.wait(10000), 128 + SIGKILL);
    ASSERT_TRUE(second->open()) << second->error();
    EXPECT_EQ(client.queue().count(), 0u);  // a server's start discards what waited

    // Refused from another process too, while this one serves; free again
    // once it is gone.
    auto third = [&] {
        IdleServer server(name);
        if (server.open())
            return 0;
        return server.error().find("already served by a live process") != std::string::npos ? 1 : 2;
    };
    EXPECT_EQ(run_in_child(third), 1);
    second.reset();
    EXPECT_EQ(run_in_child(third), 0);
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
    // Names whose own objects fit but whose longest ones would not: nothing
    // of them is left behind, the server marker included.
    for (std::size_t length = 231; length <= 240; ++length) {
        const std::string name(length, 'm');
        {
            IdleServer server(name);
            EXPECT_FALSE(server.open()) << length;
            EXPECT_NE(server.error().find("longer than 230 characters"), std::string::npos) << server.error();
        }
        for (const std::string& object : ComponentInterface::object_names(name))
            EXPECT_FALSE(object_exists(object)) << length << " " << object;
        ComponentInterface::remove_objects(name);
    }
}

TEST_F(ChannelTest, DestroyingAnotherChannelObjectWakesAWaitingQueryWithWrongReply)
{
    const std::string name = unique_name();
    IdleServer silent(name);  // serves the name, never answers
    ASSERT_TRUE(silent.open()) << silent.error();
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
