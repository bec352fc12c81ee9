// The component methods as a peer process calls them through ComponentIFS.

#include <algorithm>
#include <filesystem>

#include "interfaces/ComponentIFS.h"
#include "interfaces/SipperMethods.h"
#include "tests/component/ComponentTestSupport.h"

using namespace comp_test;
using namespace std::chrono_literals;

namespace {

// Marks the lines that reach the log through the std::string overload.
class StringLogMarker : public TestComponent {
public:
    using TestComponent::TestComponent;
    using TestComponent::log_msg;
    void log_msg(const std::string& text, int level) override {
        TestComponent::log_msg(("[string] " + text).c_str(), level);
    }
};

class ComponentIFSTest : public ComponentTest {
protected:
    void start() {
        const std::string cfg = cfg_path;
        child = std::make_unique<ChildProcess>([&] {
            StringLogMarker c(name, log_path);
            int result = 0;
            c.load_config(cfg, result);
            if (!c.set_interface_server(std::make_unique<ComponentIFS>(name, &c))) return 11;
            c.main();
            return 0;
        });
        ASSERT_TRUE(child->started());
        client.open();
        client.set_timeout(200);
        int state = -1;
        ASSERT_TRUE(wait_until([&] { return client.get_state(state) == call_ok; }, 20s));
        client.set_timeout(10000);
    }

    int finish() {
        EXPECT_EQ(client.kill(), call_ok);
        return child->wait(20000);
    }

    void TearDown() override {
        child.reset();  // killed if still running
        ComponentTest::TearDown();
    }

    std::string name = unique_name("ifs");
    std::string log_path = dir.file("ifs.log");
    std::string cfg_path =
        dir.write("ifs.cfg", "FREQ=10;\nLOGSERVERIF=\"" + unique_name("nolog") + "\";\n");
    std::unique_ptr<ChildProcess> child;
    ComponentIF client{name};
};

TEST_F(ComponentIFSTest, TextQueriesAnswerFromTheComponent) {
    start();
    std::string text;
    EXPECT_EQ(client.get_name(text), call_ok);
    EXPECT_EQ(text, name);
    EXPECT_EQ(client.get_component_version(text), call_ok);
    EXPECT_EQ(text, SIPPER_PRODUCT_VERSION);
    EXPECT_EQ(client.get_cfg_dir(text), call_ok);
    EXPECT_EQ(text, dir.path());
    EXPECT_EQ(finish(), 0);
}

TEST_F(ComponentIFSTest, ConfigurationMethodsReturnTheirResults) {
    start();
    const std::string other = dir.write("other.cfg", "FREQ=20;\nLOGSERVERIF=\"L\";\n");
    const std::string saved = dir.file("saved/copy.cfg");
    int result = 42;
    EXPECT_EQ(client.load_config(other, result), call_ok);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(client.load_config(dir.file("missing.cfg"), result), call_ok);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(client.save_config(saved, result), call_ok);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(saved), "FREQ=20;\nLOGSERVERIF=\"L\";\nDEBUG_MODE=0;\n");
    std::string cfg_dir;
    EXPECT_EQ(client.get_cfg_dir(cfg_dir), call_ok);
    EXPECT_EQ(cfg_dir, dir.file("saved/"));
    EXPECT_EQ(client.delete_config(saved, result), call_ok);
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(std::filesystem::exists(saved));
    EXPECT_EQ(client.delete_config(saved, result), call_ok);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(finish(), 0);
}

// A peer's message goes to the text overload, cut, filtered, and one line
// whatever line breaks it holds.
TEST_F(ComponentIFSTest, LogMessageIsWrittenCutFilteredAndKeptOnOneLine) {
    start();
    EXPECT_EQ(client.log_msg(std::string(5000, 'm'), 0), call_ok);
    EXPECT_EQ(client.log_msg("above the level", 1), call_ok);
    EXPECT_EQ(client.log_msg("first\n99 12/08/26 14:21:16 <Sipper>: forged \r\nthird", 0), call_ok);
    EXPECT_EQ(finish(), 0);
    const auto l = log_texts(log_path);
    EXPECT_TRUE(contains(l, ("<" + name + ">: " + std::string(300, 'm')).substr(0, 250)));
    EXPECT_TRUE(contains(l, "<" + name + ">: first\\n99 12/08/26 14:21:16 <Sipper>: forged \\r\\nthird"));
    for (const std::string& t : l) {
        EXPECT_EQ(t.find("above the level"), std::string::npos);
        EXPECT_EQ(t.find("[string] "), std::string::npos) << t;
    }
    // Every line of the file is the header, a numbered line or the trailer.
    std::istringstream file(read_file(log_path));
    int line_number = 0;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("Log file: ", 0) == 0) continue;
        EXPECT_EQ(line.rfind(std::to_string(++line_number) + " ", 0), 0u) << line;
    }
}

TEST_F(ComponentIFSTest, UnknownIdIsIgnoredWithoutReply) {
    start();
    client.set_timeout(300);
    std::vector<InterfaceClient::Value> results;
    // A sipper query (id 12 or more) sent to a plain component.
    const MethodSpec& foreign = sipper_methods::TABLE.methods[0];
    ASSERT_GE(foreign.id, 12);
    ASSERT_TRUE(foreign.is_query());
    Message msg(foreign);
    EXPECT_EQ(client.send_query(foreign, msg, results), call_timeout);
    client.set_timeout(10000);
    // The component goes on serving.
    int state = -1;
    EXPECT_EQ(client.get_state(state), call_ok);
    EXPECT_EQ(state, Component::CREATED);
    EXPECT_EQ(finish(), 0);
}

TEST_F(ComponentIFSTest, CommandsQueuedBeforeTheServerOpensAreDropped) {
    // A kill sent while no server runs must not end the component later.
    client.open();
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.kill(), call_ok);
    start();
    std::this_thread::sleep_for(200ms);
    int state = -1;
    EXPECT_EQ(client.get_state(state), call_ok);
    EXPECT_EQ(finish(), 0);
    const auto l = log_texts(log_path);
    EXPECT_EQ(std::count(l.begin(), l.end(), "<" + name + ">: kill -- setting _exit to true"), 1);
}

}  // namespace
