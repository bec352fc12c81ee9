#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/ComponentIF.h"
#include "interfaces/LogServerIF.h"
#include "interfaces/NI7344IF.h"
#include "interfaces/SampleInterfaceIF.h"
#include "interfaces/SupervisorIF.h"
#include "interfaces/SupervisorMethods.h"
#include "sim/installation/BoardOwnerSim.h"
#include "sim/installation/LogServerSim.h"
#include "sim/installation/SampleInterfaceSim.h"
#include "sim/installation/SupervisorSim.h"
#include "utilities/Timer.h"

// Each peer runs its real main loop on a thread and is called through real
// channels under names of this test process, exactly as the sipper calls it.

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class PeerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/peers_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }

    void TearDown() override
    {
        stop();
        for (const std::string& n : names_)
            ComponentInterface::remove_objects(n);
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string unique(const std::string& base)
    {
        std::string n = base + "PeerTest" + std::to_string(getpid()) + "_" + std::to_string(names_.size());
        names_.push_back(n);
        return n;
    }

    std::string path(const std::string& file) const { return dir_ + "/" + file; }

    // Runs the peer's main loop until stop().
    void serve(std::unique_ptr<Component> peer)
    {
        peer_ = std::move(peer);
        Component* p = peer_.get();
        thread_ = std::thread([p] { p->main(); });
    }

    // Ends the main loop the way the installation does: "kill" on its own
    // interface. Then the peer is destroyed, which closes its log.
    void stop()
    {
        if (!peer_)
            return;
        ComponentIF c(peer_->name());
        c.open();
        c.kill();
        thread_.join();
        peer_.reset();
    }

    template <class Client>
    std::unique_ptr<Client> client(const std::string& name)
    {
        auto c = std::make_unique<Client>(name);
        EXPECT_TRUE(c->open());
        c->set_timeout(2000);
        return c;
    }

    std::string dir_;
    std::vector<std::string> names_;
    std::unique_ptr<Component> peer_;
    std::thread thread_;
};

TEST_F(PeerTest, BoardOwnerAnswersGetIdWithItsBoardNumber)
{
    std::string name = unique("LinearMC");
    serve(std::make_unique<BoardOwnerSim>(name, path("owner.log"), 7));
    auto c = client<NI7344IF>(name);
    int id = -1;
    ASSERT_EQ(c->get_ID(id), call_ok);
    EXPECT_EQ(id, 7);
}

TEST_F(PeerTest, PeerServesTheComponentMethods)
{
    std::string name = unique("RotaryMC");
    serve(std::make_unique<BoardOwnerSim>(name, path("owner.log"), 2));
    auto c = client<NI7344IF>(name);
    std::string got;
    ASSERT_EQ(c->get_name(got), call_ok);
    EXPECT_EQ(got, name);
    int state = -1;
    ASSERT_EQ(c->get_state(state), call_ok);
    EXPECT_EQ(state, Component::CREATED);
    ASSERT_EQ(c->reset(), call_ok);
    ASSERT_EQ(c->run(), call_ok);
    ASSERT_EQ(c->get_state(state), call_ok);
    EXPECT_EQ(state, Component::RUNNING);
    std::string version;
    ASSERT_EQ(c->get_component_version(version), call_ok);
    EXPECT_FALSE(version.empty());
}

TEST_F(PeerTest, SampleInterfaceRunsItsCycleAfterStartSipping)
{
    std::string name = unique("SampleInterface");
    serve(std::make_unique<SampleInterfaceSim>(name, path("si.log"), std::vector<int>{150, 150, 150}));
    auto c = client<SampleInterfaceIF>(name);
    int state = -1;
    ASSERT_EQ(c->cycle_state(state), call_ok);
    EXPECT_EQ(state, 0);
    ASSERT_EQ(c->start_sipping("A1", 3, 1, 2, 0), call_ok);

    // Poll until idle again; the states seen must go up 1, 2, 3 and then 0.
    std::vector<int> seen;
    Timer t;
    t.start();
    do {
        ASSERT_EQ(c->cycle_state(state), call_ok);
        if (seen.empty() || seen.back() != state)
            seen.push_back(state);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (state != 0 && t.elapsed() < 5.0);
    ASSERT_EQ(state, 0) << "the cycle never ended";
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front(), 1);
    for (std::size_t i = 1; i + 1 < seen.size(); ++i)
        EXPECT_EQ(seen[i], seen[i - 1] + 1);
    EXPECT_EQ(seen.back(), 0);
    // Three states of 150 ms: loose bounds only.
    EXPECT_GT(t.elapsed(), 0.3);
}

TEST_F(PeerTest, SampleInterfaceDurationsAreReadAndChangedThroughTheInterface)
{
    std::string name = unique("SampleInterface");
    serve(std::make_unique<SampleInterfaceSim>(name, path("si.log"), std::vector<int>{400, 250, 125}));
    auto c = client<SampleInterfaceIF>(name);
    int n = 0;
    ASSERT_EQ(c->get_num_cycle_states(n), call_ok);
    EXPECT_EQ(n, 3);
    int d = -1;
    ASSERT_EQ(c->get_cycle_state_duration(2, d), call_ok);
    EXPECT_EQ(d, 250);
    ASSERT_EQ(c->set_cycle_state_duration(1, 0), call_ok);
    ASSERT_EQ(c->get_cycle_state_duration(1, d), call_ok);
    EXPECT_EQ(d, 0);
    // A state the cycle does not have keeps nothing and reads 0.
    ASSERT_EQ(c->set_cycle_state_duration(9, 100), call_ok);
    ASSERT_EQ(c->get_cycle_state_duration(9, d), call_ok);
    EXPECT_EQ(d, 0);
    ASSERT_EQ(c->get_cycle_state_duration(3, d), call_ok);
    EXPECT_EQ(d, 125);
}

TEST_F(PeerTest, SampleInterfaceRecordsEveryStartSippingInItsLog)
{
    std::string name = unique("SampleInterface");
    serve(std::make_unique<SampleInterfaceSim>(name, path("si.log"), std::vector<int>{10, 10}));
    auto c = client<SampleInterfaceIF>(name);
    ASSERT_EQ(c->start_sipping("plate 7 well B3", 42, 2, 3, 1), call_ok);
    ASSERT_EQ(c->start_sipping("matrix", 0, 1001, 4, 0), call_ok);
    int state = 0;
    ASSERT_EQ(c->cycle_state(state), call_ok);  // both one-way calls are served by now
    stop();
    std::string log = read_file(path("si.log"));
    EXPECT_NE(log.find("start_sipping text=\"plate 7 well B3\" tag=42 row=2 column=3 sample_seen=1"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("start_sipping text=\"matrix\" tag=0 row=1001 column=4 sample_seen=0"), std::string::npos)
        << log;
}

TEST_F(PeerTest, LogServerWritesEveryLineIntactInArrivalOrder)
{
    std::string name = unique("LogServer");
    serve(std::make_unique<LogServerSim>(name, path("ls.log"), path("collected.log")));
    auto c = client<LogServerIF>(name);
    std::vector<std::string> lines = {"03/03/14 09:05:07 <Sipper>: sip Error, sipper not homed",
                                      "  two  blanks, a \"quote\", a tab\tand 100% of 50 ",
                                      std::string(4095, 'x')};
    for (const std::string& l : lines)
        ASSERT_EQ(c->add_log_msg(l), call_ok);
    // A query behind the one-way calls is answered only after they are served.
    int state = 0;
    ASSERT_EQ(c->get_state(state), call_ok);
    std::ifstream in(path("collected.log"));
    std::vector<std::string> got;
    for (std::string l; std::getline(in, l);)
        got.push_back(l);
    EXPECT_EQ(got, lines);
}

TEST_F(PeerTest, LogServerCutsAnOverlongLineAtTheFieldSize)
{
    std::string name = unique("LogServer");
    serve(std::make_unique<LogServerSim>(name, path("ls.log"), path("collected.log")));
    auto c = client<LogServerIF>(name);
    ASSERT_EQ(c->add_log_msg(std::string(5000, 'y')), call_ok);
    int state = 0;
    ASSERT_EQ(c->get_state(state), call_ok);
    EXPECT_EQ(read_file(path("collected.log")), std::string(4095, 'y') + "\n");
}

TEST_F(PeerTest, SupervisorAcceptsItsMethodsAndKeepsServing)
{
    std::string name = unique("Supervisor");
    serve(std::make_unique<SupervisorSim>(name, path("sup.log")));
    auto c = client<SupervisorIF>(name);
    // The real supervisor fixes this method's layout; a header-only message
    // stands for it here.
    std::vector<std::uint8_t> bytes = {4, 0, supervisor_methods::RESET_ALL_COMPONENTS, 0};
    ASSERT_EQ(c->send(Message(bytes)), call_ok);
    int state = -1;
    ASSERT_EQ(c->get_state(state), call_ok);
    EXPECT_EQ(state, Component::CREATED);
    stop();
    EXPECT_NE(read_file(path("sup.log")).find("reset_all_components received"), std::string::npos);
}

TEST_F(PeerTest, UnknownMethodIdIsIgnoredAndThePeerKeepsServing)
{
    std::string name = unique("LinearMC");
    serve(std::make_unique<BoardOwnerSim>(name, path("owner.log"), 1));
    auto c = client<NI7344IF>(name);
    std::vector<std::uint8_t> bytes = {8, 0, 60, 0, 0, 0, 0, 0};
    ASSERT_EQ(c->send(Message(bytes)), call_ok);
    int id = 0;
    ASSERT_EQ(c->get_ID(id), call_ok);
    EXPECT_EQ(id, 1);
}

TEST_F(PeerTest, KillEndsThePeersMainLoop)
{
    std::string name = unique("SampleInterface");
    serve(std::make_unique<SampleInterfaceSim>(name, path("si.log"), std::vector<int>{10}));
    stop();  // returns only when main() has returned and the thread joined
    auto c = client<SampleInterfaceIF>(name);
    int state = 0;
    // Nobody serves the name any more.
    EXPECT_EQ(c->cycle_state(state), call_not_connected);
    EXPECT_NE(read_file(path("si.log")).find("QUITTING MAIN COMPONENT THREAD"), std::string::npos);
}

}  // namespace
