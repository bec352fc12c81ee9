// The main loop and the run-state machine, driven from another process
// through the component's own interface, as a peer would drive it.

#include <cstdlib>

#include "interfaces/ComponentIFS.h"
#include "tests/component/ComponentTestSupport.h"
#include "utilities/Exception.h"
#include "utilities/Timer.h"

using namespace comp_test;
using namespace std::chrono_literals;

namespace {

const std::string QUITTING = "QUITTING MAIN COMPONENT THREAD - INTERFACES NO LONGER SERVICED";

class MainLoopTest : public ComponentTest {
protected:
    // Starts a component process whose task loop and initialisation `shape`
    // sets up, and waits until its interface answers.
    void start(const std::string& cfg_text, const std::function<void(TestComponent&)>& shape = {}) {
        cfg_path = dir.write("main.cfg", cfg_text);
        child = std::make_unique<ChildProcess>([&] {
            TestComponent c(name, log_path);
            int result = 0;
            c.load_config(cfg_path, result);
            if (result != 0) return 10;
            if (shape) shape(c);
            if (!c.set_interface_server(std::make_unique<ComponentIFS>(name, &c))) return 11;
            c.main();
            return 0;
        });
        ASSERT_TRUE(child->started());
        client.open();
        ASSERT_TRUE(client.connected()) << client.error();
        // Commands queued before the server opened are discarded, so wait
        // for an answer first.
        client.set_timeout(200);
        int state = -1;
        ASSERT_TRUE(wait_until([&] { return client.get_state(state) == call_ok; }, 20s));
        client.set_timeout(10000);
    }

    int state() {
        int s = -1;
        EXPECT_EQ(client.get_state(s), call_ok);
        return s;
    }

    // Sends kill and waits for the process; returns its exit code.
    int finish() {
        EXPECT_EQ(client.kill(), call_ok);
        return child->wait(20000);
    }

    void TearDown() override {
        child.reset();  // killed if still running
        ComponentTest::TearDown();
    }

    // The texts this component logged, without "<name>: ".
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        const std::string prefix = "<" + name + ">: ";
        for (const std::string& t : log_texts(log_path))
            if (t.rfind(prefix, 0) == 0) out.push_back(t.substr(prefix.size()));
        return out;
    }

    std::string name = unique_name("main");
    std::string log_path = dir.file("main.log");
    std::string cfg_path;
    std::string config = "FREQ=10;\nLOGSERVERIF=\"" + unique_name("nolog") + "\";\n";
    std::unique_ptr<ChildProcess> child;
    ComponentIF client{name};
};

// Seconds on the monotonic clock, as the child writes them into its log.
double now_seconds() {
    static Timer timer = [] {
        Timer t;
        t.start();
        return t;
    }();
    return timer.elapsed();
}

// The times the task loop logged as "tick <seconds>".
std::vector<double> tick_times(const std::vector<std::string>& lines) {
    std::vector<double> ticks;
    for (const std::string& l : lines)
        if (l.rfind("tick ", 0) == 0) ticks.push_back(std::strtod(l.c_str() + 5, nullptr));
    return ticks;
}

void log_ticks(TestComponent& c) {
    c.on_task_loop = [](TestComponent& self) { self.log_msg("tick " + std::to_string(now_seconds()), 0); };
}

TEST_F(MainLoopTest, FreshComponentStaysCreatedAndNeverRunsItsTask) {
    start(config, log_ticks);
    EXPECT_EQ(state(), Component::CREATED);
    EXPECT_EQ(client.run(), call_ok);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(state(), Component::CREATED);
    EXPECT_EQ(finish(), 0);

    const auto l = lines();
    EXPECT_TRUE(contains(l, "Component::Run -- can't start component, illegal state"));
    EXPECT_TRUE(tick_times(l).empty());
    EXPECT_FALSE(contains(l, "Component::initialize() completed"));
}

TEST_F(MainLoopTest, KillEndsMainWithTheQuittingLineLast) {
    start(config);
    EXPECT_EQ(finish(), 0);
    const auto l = lines();
    ASSERT_GE(l.size(), 3u);
    EXPECT_EQ(l.front(), "entering Component::main");
    EXPECT_EQ(l[l.size() - 2], "kill -- setting _exit to true");
    EXPECT_EQ(l.back(), QUITTING);
}

TEST_F(MainLoopTest, StateMachineFollowsCommandsWithItsLines) {
    // The second initialisation fails, the others succeed.
    start(config, [](TestComponent& c) { c.on_initialize = [](int call) { return call != 2; }; });

    EXPECT_EQ(client.reset(), call_ok);
    EXPECT_EQ(state(), Component::READY);
    EXPECT_EQ(client.stop(), call_ok);  // illegal in READY
    EXPECT_EQ(state(), Component::READY);
    EXPECT_EQ(client.run(), call_ok);
    EXPECT_EQ(state(), Component::RUNNING);
    EXPECT_EQ(client.reset(), call_ok);  // illegal while RUNNING
    EXPECT_EQ(state(), Component::RUNNING);
    EXPECT_EQ(client.stop(), call_ok);
    EXPECT_EQ(state(), Component::READY);
    EXPECT_EQ(client.reset(), call_ok);  // second initialisation fails
    EXPECT_EQ(state(), Component::INIT_FAILED);
    EXPECT_EQ(client.run(), call_ok);  // illegal in INIT_FAILED
    EXPECT_EQ(state(), Component::INIT_FAILED);
    EXPECT_EQ(client.reset(), call_ok);
    EXPECT_EQ(state(), Component::READY);
    EXPECT_EQ(finish(), 0);

    const std::vector<std::string> expected = {
        "entering Component::main",
        "Component::initialize() completed",
        "Componnet::Stop -- can't stop task, illegal state",
        "run() set component to RUNNING state",
        "Component::Reset -- illegal state, cannot perform reset",
        "stop() set component to READY state",
        "Component::initialize() completed",
        "Component::Run -- can't start component, illegal state",
        "Component::initialize() completed",
        "kill -- setting _exit to true",
        QUITTING,
    };
    EXPECT_EQ(lines(), expected);
}

TEST_F(MainLoopTest, TaskLoopRunsAboutTenTimesPerSecondAtFreq10) {
    start(config, log_ticks);
    client.reset();
    client.run();
    ASSERT_EQ(state(), Component::RUNNING);
    const auto begin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1500ms);
    client.stop();
    ASSERT_EQ(state(), Component::READY);
    const double window = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(finish(), 0);

    const auto l = lines();
    const auto ticks = tick_times(l);
    // Loose: a loaded machine stretches passes, but never shortens a period.
    EXPECT_GE(ticks.size(), 5u);
    EXPECT_LE(static_cast<double>(ticks.size()), (window + 0.3) / 0.1 + 1);
    for (std::size_t i = 1; i < ticks.size(); ++i) EXPECT_GE(ticks[i] - ticks[i - 1], 0.095) << "tick " << i;
    // No tick outside RUNNING.
    const long run_at = index_of(l, "run() set component to RUNNING state");
    const long stop_at = index_of(l, "stop() set component to READY state");
    for (std::size_t i = 0; i < l.size(); ++i) {
        if (l[i].rfind("tick ", 0) == 0) {
            EXPECT_TRUE(long(i) > run_at && long(i) < stop_at) << l[i];
        }
    }
}

TEST_F(MainLoopTest, SlowTaskLoopCausesNoCatchUpCalls) {
    start(config, [](TestComponent& c) {
        c.on_task_loop = [](TestComponent& self) {
            self.log_msg("tick " + std::to_string(now_seconds()), 0);
            if (self.task_calls == 2) sleep_ms(450);
        };
    });
    client.reset();
    client.run();
    ASSERT_TRUE(wait_until([&] { return tick_times(lines()).size() >= 5; }, 20s));
    EXPECT_EQ(finish(), 0);

    const auto ticks = tick_times(lines());
    ASSERT_GE(ticks.size(), 5u);
    // The call after the slow one comes at once, the one after it a whole
    // period later: missed periods are not made up.
    for (std::size_t i = 1; i < ticks.size(); ++i) EXPECT_GE(ticks[i] - ticks[i - 1], 0.095) << "tick " << i;
    EXPECT_GE(ticks[2] - ticks[1], 0.45);
}

TEST_F(MainLoopTest, ExceptionFromTaskLoopEndsTheLoopWithItsLine) {
    start(config, [](TestComponent& c) {
        c.on_task_loop = [](TestComponent&) { throw Exception("x went wrong"); };
    });
    client.reset();
    client.run();
    // No kill: the exception alone ends main and so the process.
    EXPECT_EQ(child->wait(20000), 0);
    const auto l = lines();
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[l.size() - 2], "Component::main Error: x went wrong");
    EXPECT_EQ(l.back(), QUITTING);
    EXPECT_FALSE(contains(l, "kill -- setting _exit to true"));
}

TEST_F(MainLoopTest, ForeignExceptionFromTaskLoopIsUnhandled) {
    start(config, [](TestComponent& c) { c.on_task_loop = [](TestComponent&) { throw 7; }; });
    client.reset();
    client.run();
    EXPECT_EQ(child->wait(20000), 0);
    const auto l = lines();
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[l.size() - 2], "Component::main, Unhandled Exception");
    EXPECT_EQ(l.back(), QUITTING);
}

TEST_F(MainLoopTest, DebugModeMinusOneWritesNone) {
    start("DEBUG_MODE=-1;\n" + config);
    client.run();
    client.stop();
    EXPECT_EQ(state(), Component::CREATED);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(log_texts(log_path).empty());
}

TEST_F(ComponentTest, ServerThatCannotOpenIsReportedAndMainEndsAtOnce) {
    const std::string log_path = dir.file("bad.log");
    const std::string bad = "bad/name";
    TestComponent c(bad, log_path);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(c.set_interface_server(std::make_unique<ComponentIFS>(bad, &c)));
    c.main();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("bad/name"), std::string::npos) << err;

    const auto l = log_texts(log_path);
    ASSERT_FALSE(l.empty());
    const std::string opening = "<bad/name>: Component::set_interface_server -- cannot open interface \"bad/name\": ";
    ASSERT_EQ(l.front().rfind(opening, 0), 0u) << l.front();
    EXPECT_GT(l.front().size(), opening.size()) << "no reason given";
    EXPECT_EQ(l.back(), "<bad/name>: " + QUITTING);
    EXPECT_EQ(c.task_calls, 0);
}

}  // namespace
