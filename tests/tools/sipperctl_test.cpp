#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/ComponentIF.h"
#include "interfaces/InterfaceServer.h"
#include "interfaces/SipperMethods.h"
#include "sim/installation/BoardOwnerSim.h"
#include "sim/installation/SampleInterfaceSim.h"
#include "tests/support/ForeignObjects.h"

// sipperctl is run as the built executable against servers of this test
// process on channels with names of their own.

namespace {

struct CtlRun {
    int code = -1;
    std::string out;  // standard output and standard error together
};

CtlRun sipperctl(const std::string& args)
{
    std::string cmd = std::string(SIPPER_BUILD_DIR) + "/bin/sipperctl " + args + " 2>&1";
    CtlRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool shm_exists(const std::string& object)
{
    struct stat st;
    return stat(("/dev/shm/" + object).c_str(), &st) == 0;
}

// A stand-in sipper server that answers the status queries from a script of
// get_status values, so that "wait" and "status" can be driven without a
// stage. It runs the real server code on its own thread.
class ScriptedSipper : public InterfaceServer {
public:
    ScriptedSipper(const std::string& name, std::vector<int> statuses)
        : InterfaceServer(name), statuses_(std::move(statuses))
    {
        add_table(component_methods::TABLE);
        add_table(sipper_methods::TABLE);
        set_queue_size(DEFAULT_QUEUE_SIZE);
    }

    void dispatch(const Message& msg) override
    {
        using namespace sipper_methods;
        const MethodSpec* m = find_method(msg.id());
        if (m == nullptr || !m->is_query())
            return;
        switch (msg.id()) {
        case GET_STATUS: {
            int s = statuses_[std::min<std::size_t>(polls_.load(), statuses_.size() - 1)];
            ++polls_;
            reply(*m, msg, {std::int32_t{s}});
            break;
        }
        case component_methods::GET_STATE: reply(*m, msg, {std::int32_t{2}}); break;
        case IS_HOMED: reply(*m, msg, {std::int32_t{1}}); break;
        case SYSTEM_CONFIGURED: reply(*m, msg, {std::int32_t{0}}); break;
        case GET_INHIBIT_STATE: reply(*m, msg, {std::int32_t{4}}); break;
        case GET_PLATE_INFO: reply(*m, msg, {std::string("plate96"), std::int32_t{8}, std::int32_t{12}}); break;
        case GET_CURRENT_POSITIONS: reply(*m, msg, {1.5, -2.25, 30.0}); break;
        default: break;
        }
    }

    std::size_t polls() const { return polls_; }

private:
    std::vector<int> statuses_;
    std::atomic<std::size_t> polls_{0};
};

class SipperctlTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        running_ = false;
        if (loop_.joinable())
            loop_.join();
        if (peer_thread_.joinable()) {
            ComponentIF c(peer_->name());
            c.open();
            c.kill();
            peer_thread_.join();
        }
        peer_.reset();
        server_.reset();
        for (const std::string& n : names_)
            ComponentInterface::remove_objects(n);
        unlink(log_.c_str());
    }

    std::string unique(const std::string& base)
    {
        std::string n = base + "Ctl" + std::to_string(getpid()) + "_" + std::to_string(names_.size());
        names_.push_back(n);
        return n;
    }

    void serve_peer(std::unique_ptr<Component> peer)
    {
        peer_ = std::move(peer);
        Component* p = peer_.get();
        peer_thread_ = std::thread([p] { p->main(); });
    }

    void serve_script(const std::string& name, std::vector<int> statuses)
    {
        server_ = std::make_unique<ScriptedSipper>(name, std::move(statuses));
        ASSERT_TRUE(server_->open());
        running_ = true;
        loop_ = std::thread([this] {
            while (running_)
                server_->service();
        });
    }

    std::vector<std::string> names_;
    std::string log_ = "/tmp/sipperctl_test_" + std::to_string(getpid()) + ".log";
    std::unique_ptr<Component> peer_;
    std::thread peer_thread_;
    std::unique_ptr<ScriptedSipper> server_;
    std::atomic<bool> running_{false};
    std::thread loop_;
};

TEST_F(SipperctlTest, QueryPrintsResultNameAndValue)
{
    std::string name = unique("Owner");
    serve_peer(std::make_unique<BoardOwnerSim>(name, log_, 5));
    CtlRun r = sipperctl("--interface " + name + " get_ID");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "ID = 5\n");
    r = sipperctl("--interface " + name + " get_name");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "name = \"" + name + "\"\n");
}

TEST_F(SipperctlTest, ArgumentsAreConvertedToTheMethodsFieldTypes)
{
    std::string name = unique("SampleInterface");
    serve_peer(std::make_unique<SampleInterfaceSim>(name, log_, std::vector<int>{100, 200}));
    CtlRun r = sipperctl("--interface " + name + " set_cycle_state_duration 2 75");
    ASSERT_EQ(r.code, 0) << r.out;
    r = sipperctl("--interface " + name + " get_cycle_state_duration 2");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "cycle_state_duration = 75\n");
}

TEST_F(SipperctlTest, OneWayCallReachesThePeer)
{
    std::string name = unique("Owner");
    serve_peer(std::make_unique<BoardOwnerSim>(name, log_, 1));
    CtlRun r = sipperctl("--interface " + name + " kill");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "");
    peer_thread_.join();  // returns only because the peer got "kill"
}

TEST_F(SipperctlTest, MissingInterfaceIsNotConnectedAndNothingIsCreated)
{
    std::string name = unique("Nobody");
    CtlRun r = sipperctl("--interface " + name + " get_status");
    EXPECT_EQ(r.code, 6);
    EXPECT_NE(r.out.find("not connected: no interface named " + name), std::string::npos) << r.out;
    for (const std::string& obj : ComponentInterface::object_names(name)) {
        EXPECT_FALSE(shm_exists(obj)) << obj;
        EXPECT_FALSE(shm_exists("sem." + obj)) << obj;
    }
}

TEST_F(SipperctlTest, SilentServerTimesOutAndUnservedInterfaceIsNotConnectedWithReadableLines)
{
    std::string name = unique("Sleeper");
    {
        ScriptedSipper silent(name, {0});  // holds the name, answers nothing
        ASSERT_TRUE(silent.open());
        CtlRun r = sipperctl("--timeout 200 --interface " + name + " get_state");
        EXPECT_EQ(r.code, 4);
        EXPECT_EQ(r.out, "timeout: no answer from " + name + " within 200 ms\n");
    }
    // Its channel stays, nobody serves it: neither a query nor a command.
    for (const char* method : {"get_state", "run"}) {
        CtlRun r = sipperctl("--interface " + name + " " + method);
        EXPECT_EQ(r.code, 6) << method;
        EXPECT_EQ(r.out, "not connected: no process serves " + name + " (is its component running?)\n") << method;
    }
}

TEST_F(SipperctlTest, BadArgumentsAreRefusedBeforeAnythingIsSent)
{
    std::string name = unique("Owner");
    serve_peer(std::make_unique<BoardOwnerSim>(name, log_, 1));
    CtlRun r = sipperctl("--interface " + name + " sip A1 0 zero 1 0.5 100 100");
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.out.find("argument 3 of sip: \"zero\" is not an integer"), std::string::npos) << r.out;
    r = sipperctl("--interface " + name + " wash 1");
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.out.find("takes 2 argument(s)"), std::string::npos) << r.out;
    r = sipperctl("sip A1 0 0 1 nan 100 100");
    EXPECT_EQ(r.code, 64);
    r = sipperctl("no_such_method");
    EXPECT_EQ(r.code, 64);
    // A known interface name does not take another interface's methods.
    r = sipperctl("--interface LinearMC get_status");
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.out.find("is a sipper method"), std::string::npos) << r.out;
}

TEST_F(SipperctlTest, WaitReturnsWhenTheSipperIsIdle)
{
    std::string name = unique("Sipper");
    serve_script(name, {2, 2, 2, 0});
    CtlRun r = sipperctl("--interface " + name + " wait");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_GE(server_->polls(), 4u);
    // Not a terminal: plain lines, the last one saying idle.
    EXPECT_NE(r.out.find("busy"), std::string::npos) << r.out;
    EXPECT_NE(r.out.rfind("idle"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST_F(SipperctlTest, WaitReportsTheErrorState)
{
    std::string name = unique("Sipper");
    serve_script(name, {2, 1});
    CtlRun r = sipperctl("--interface " + name + " wait");
    EXPECT_EQ(r.code, 7) << r.out;
    EXPECT_NE(r.out.find("is in its error state"), std::string::npos) << r.out;
}

TEST_F(SipperctlTest, WaitGivesUpAfterMax)
{
    std::string name = unique("Sipper");
    serve_script(name, {2});
    CtlRun r = sipperctl("--interface " + name + " wait --max 0.3");
    EXPECT_EQ(r.code, 8) << r.out;
}

TEST_F(SipperctlTest, StatusShowsEverythingAtAGlance)
{
    std::string name = unique("Sipper");
    serve_script(name, {0});
    CtlRun r = sipperctl("--interface " + name + " status");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("component   RUNNING"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sipper      idle"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("homed       yes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("configured  no"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("plate       \"plate96\" (8 x 12)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("X     1.500  Y    -2.250  Z    30.000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("inhibit     4"), std::string::npos) << r.out;
}

TEST_F(SipperctlTest, CleanRemovesEveryObjectOfTheInterface)
{
    std::string name = unique("Stale");
    {
        ComponentIF c(name);
        ASSERT_TRUE(c.open());
    }
    ASSERT_TRUE(shm_exists(name + "_properties"));
    CtlRun r = sipperctl("clean " + name);
    EXPECT_EQ(r.code, 0) << r.out;
    for (const std::string& obj : ComponentInterface::object_names(name)) {
        EXPECT_FALSE(shm_exists(obj)) << obj;
        EXPECT_FALSE(shm_exists("sem." + obj)) << obj;
    }
    r = sipperctl("list");
    EXPECT_EQ(r.out.find(name), std::string::npos) << r.out;
}

TEST_F(SipperctlTest, ForeignOrTooSmallChannelsAreNotConnectedWithTheReasonAndCleanRemovesThem)
{
    using foreign_objects::Object;
    struct Case {
        std::string name;
        Object object;
        mode_t mode;
        std::optional<foreign_objects::Account> account;
        std::string method;
        std::vector<std::string> reasons;
    };
    std::vector<Case> cases;
    if (const auto nobody = foreign_objects::nobody_account()) {
        const std::string n = unique("Hostile");
        cases.push_back({n, {n + "_properties", false, 20584}, 0666, nobody, "get_status",
                         {"/dev/shm/" + n + "_properties belongs to nobody", "with mode 0666"}});
        const std::string m = unique("HostileLock");
        cases.push_back({m, {m + "_action_done_signal", true}, 0600, nobody, "get_state",
                         {"/dev/shm/sem." + m + "_action_done_signal belongs to nobody", "with mode 0600"}});
    }
    const std::string own = unique("OpenToAll");
    cases.push_back({own, {own + "_cmdQ", false, 1000000}, 0644, std::nullopt, "get_state", {"with mode 0644"}});
    // A component-sized client made the area; a sipper query needs more.
    const std::string small = unique("Small");
    cases.push_back({small, {small + "_properties", false, 12316}, 0600, std::nullopt, "get_status",
                     {"is 12316 bytes, smaller than the 20584 bytes"}});
    const std::string tiny = unique("Tiny");
    cases.push_back({tiny, {tiny + "_properties", false, 16}, 0600, std::nullopt, "get_state",
                     {"is 16 bytes, smaller than the 12316 bytes"}});

    for (const Case& c : cases) {
        ASSERT_TRUE(foreign_objects::plant(c.object, c.mode, c.account)) << c.object.name;
        // sipperctl opens only a channel whose properties area exists.
        const Object properties{c.name + "_properties", false, 20584};
        if (c.object.name != properties.name) {
            ASSERT_TRUE(foreign_objects::plant(properties, 0600));
        }
        CtlRun r = sipperctl("--interface " + c.name + " " + c.method);
        EXPECT_EQ(r.code, 6) << r.out;
        EXPECT_EQ(r.out.rfind("not connected: ", 0), 0u) << r.out;
        for (const std::string& reason : c.reasons)
            EXPECT_NE(r.out.find(reason), std::string::npos) << r.out;
        EXPECT_TRUE(foreign_objects::untouched(c.object)) << c.object.name;

        // list probes with a component's layout, which a 12316-byte area fits.
        if (c.object.name == c.name + "_properties" && c.object.size != 12316) {
            r = sipperctl("list");
            const std::size_t line = r.out.find("interface " + c.name + " ");
            ASSERT_NE(line, std::string::npos) << r.out;
            EXPECT_NE(r.out.substr(line, r.out.find('\n', line) - line).find("not usable: "), std::string::npos)
                << r.out;
        }

        r = sipperctl("clean " + c.name);
        EXPECT_EQ(r.code, 0) << r.out;
        for (const std::string& obj : ComponentInterface::object_names(c.name)) {
            EXPECT_FALSE(shm_exists(obj)) << obj;
            EXPECT_FALSE(shm_exists("sem." + obj)) << obj;
        }
    }
}

}  // namespace
