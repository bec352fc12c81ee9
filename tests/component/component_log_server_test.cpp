// Log lines: level filter, the cut to 250 characters, and the copy a
// component forwards to its log server in another process.

#include <regex>

#include "interfaces/LogServerMethods.h"
#include "tests/component/ComponentTestSupport.h"

using namespace comp_test;
using namespace std::chrono_literals;

namespace {

// A minimal log server: remembers every line it is sent, and the component
// log_msg texts as markers a client can use to say "I am done".
class LogCollector : public InterfaceServer {
public:
    explicit LogCollector(const std::string& name) : InterfaceServer(name) {
        add_table(component_methods::TABLE);
        add_table(log_server_methods::TABLE);
        set_queue_size(DEFAULT_QUEUE_SIZE);
    }

    void dispatch(const Message& message) override {
        const MethodSpec* m = find_method(message.id());
        if (m == nullptr) return;
        if (m->id == log_server_methods::ADD_LOG_MSG) lines.push_back(message.get_string(*m, 0));
        if (m->id == component_methods::LOG_MSG) markers.push_back(message.get_string(*m, 0));
    }

    // Services until the marker arrives or the deadline passes.
    bool serve_until_marker(const std::string& marker, std::chrono::milliseconds timeout) {
        return wait_until(
            [&] {
                service();
                return contains(markers, marker);
            },
            timeout);
    }

    std::vector<std::string> lines;
    std::vector<std::string> markers;
};

class LogForwardTest : public ComponentTest {
protected:
    void SetUp() override { ASSERT_TRUE(collector.open()) << collector.error(); }

    // Runs `body` on a component in a child process; the child sends the
    // marker "done" to the collector's interface at the end.
    void run_component(const std::string& cfg_text, const std::function<void(TestComponent&)>& body) {
        const std::string cfg = dir.write("fwd.cfg", cfg_text);
        ChildProcess child([&] {
            TestComponent c(name, log_path);
            int result = 0;
            c.load_config(cfg, result);
            body(c);
            ComponentIF marker(log_server);
            marker.open();
            return marker.log_msg("done", 0) == call_ok ? 0 : 1;
        });
        ASSERT_TRUE(child.started());
        EXPECT_TRUE(collector.serve_until_marker("done", 20s));
        EXPECT_EQ(child.wait(20000), 0);
    }

    std::string name = unique_name("fwd");
    std::string log_server = unique_name("logsrv");
    std::string log_path = dir.file("fwd.log");
    std::string config = "FREQ=10;\nLOGSERVERIF=\"" + log_server + "\";\n";
    LogCollector collector{log_server};
};

const std::regex TIMESTAMP_AND_BLANK(R"(^\d\d/\d\d/\d\d \d\d:\d\d:\d\d )");

TEST_F(LogForwardTest, LinesAreForwardedOnlyAfterInitialize) {
    run_component(config, [](TestComponent& c) {
        c.log_msg("before initialize", 0);
        c.initialize();
        c.log_msg("after initialize", 0);
    });
    ASSERT_EQ(collector.lines.size(), 2u);
    const std::string prefix = "<" + name + ">: ";
    EXPECT_TRUE(std::regex_search(collector.lines[0], TIMESTAMP_AND_BLANK)) << collector.lines[0];
    EXPECT_EQ(collector.lines[0].substr(18), prefix + "Component::initialize() completed");
    EXPECT_EQ(collector.lines[1].substr(18), prefix + "after initialize");

    const auto file = log_texts(log_path);
    EXPECT_TRUE(contains(file, prefix + "before initialize"));
    EXPECT_TRUE(contains(file, prefix + "after initialize"));
}

TEST_F(LogForwardTest, LongTextIsCutTo250InTheFileAnd248Forwarded) {
    const std::string text(300, 'q');
    run_component(config, [&](TestComponent& c) {
        c.initialize();
        c.log_msg(text, 0);
    });
    const std::string line = ("<" + name + ">: " + text).substr(0, 250);
    EXPECT_TRUE(contains(log_texts(log_path), line));

    ASSERT_EQ(collector.lines.size(), 2u);
    const std::string& copy = collector.lines[1];
    EXPECT_EQ(copy.size(), 248u);
    EXPECT_TRUE(std::regex_search(copy, TIMESTAMP_AND_BLANK)) << copy;
    EXPECT_EQ(copy.substr(18), line.substr(0, 248 - 18));
}

TEST_F(LogForwardTest, LevelAboveDebugModeIsNeitherWrittenNorForwarded) {
    run_component("DEBUG_MODE=1;\n" + config, [](TestComponent& c) {
        c.initialize();
        c.log_msg("level one", 1);
        c.log_msg("level two", 2);
    });
    const std::string prefix = "<" + name + ">: ";
    ASSERT_EQ(collector.lines.size(), 2u);
    EXPECT_EQ(collector.lines[1].substr(18), prefix + "level one");
    const auto file = log_texts(log_path);
    EXPECT_TRUE(contains(file, prefix + "level one"));
    EXPECT_FALSE(contains(file, prefix + "level two"));
}

TEST_F(LogForwardTest, VersionLineOfConstructionNeedsDebugLevelOne) {
    run_component(config, [](TestComponent&) {});
    for (const std::string& t : log_texts(log_path)) EXPECT_EQ(t.find("version "), std::string::npos) << t;
}

TEST_F(LogForwardTest, PlainComponentClientUnderLogServerNameGetsNoCopies) {
    run_component(config, [&](TestComponent& c) {
        c.add_iclient(std::make_unique<ComponentIF>(log_server));
        c.log_msg("not for the log server", 0);
    });
    EXPECT_TRUE(collector.lines.empty());
}

TEST_F(LogForwardTest, RemovedLogServerClientGetsNoCopies) {
    run_component(config, [&](TestComponent& c) {
        c.initialize();
        c.remove_iclient(log_server);
        c.log_msg("after removal", 0);
        c.initialize();
        c.clear_iclients();
        c.log_msg("after clearing", 0);
    });
    ASSERT_EQ(collector.lines.size(), 2u);
    for (const std::string& l : collector.lines)
        EXPECT_NE(l.find("Component::initialize() completed"), std::string::npos) << l;
}

TEST_F(ComponentTest, RegisteredClientIsOpenedWithOneSecondTimeout) {
    const std::string peer = unique_name("peer");
    TestComponent c(unique_name("reg"), dir.file("reg.log"));
    EXPECT_EQ(c.get_iclient(peer), nullptr);
    c.add_iclient(std::make_unique<ComponentIF>(peer));
    ComponentIF* client = c.get_iclient(peer);
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(client->connected());
    EXPECT_EQ(client->timeout(), 1000u);
    // No peer serves the interface: a query says so without waiting that second.
    int state = 5;
    EXPECT_EQ(client->get_state(state), call_not_connected);
    EXPECT_EQ(state, 0);
}

}  // namespace
