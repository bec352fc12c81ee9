#pragma once
// A served component in a child process for the fault and load tests: the
// real Component main loop with its ComponentIFS, logging to a file the
// test reads afterwards.

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

#include "interfaces/ComponentIF.h"
#include "interfaces/ComponentIFS.h"
#include "tests/component/ComponentTestSupport.h"

namespace fault_test {

using namespace std::chrono_literals;

class ServedComponentTest : public comp_test::ComponentTest {
protected:
    // Starts the server process and waits until it answers.
    void start_server()
    {
        const std::string n = name;
        const std::string log = log_path;
        server = comp_test::start_child([n, log] {
            comp_test::TestComponent c(n, log);
            if (!c.set_interface_server(std::make_unique<ComponentIFS>(n, &c)))
                return 11;
            c.main();
            return 0;
        });
        ASSERT_GT(server, 0);
        ASSERT_TRUE(client.open()) << client.error();
        client.set_timeout(200);
        int state = -1;
        ASSERT_TRUE(comp_test::wait_until([&] { return client.get_state(state) == call_ok; }, 20s));
        client.set_timeout(CALL_TIMEOUT_MS);
    }

    bool server_alive() const { return server > 0 && ::kill(server, 0) == 0; }

    // Sends kill and returns the server's exit code (-1: it did not end).
    int stop_server()
    {
        EXPECT_EQ(client.kill(), call_ok);
        return comp_test::wait_child(std::exchange(server, 0), 20s);
    }

    void TearDown() override
    {
        if (server > 0) {
            ::kill(server, SIGKILL);
            comp_test::wait_child(server, 5s);
        }
        comp_test::ComponentTest::TearDown();
    }

    static constexpr std::uint32_t CALL_TIMEOUT_MS = 2000;

    std::string name = comp_test::unique_name("fault");
    std::string log_path = dir.file("server.log");
    pid_t server = 0;
    ComponentIF client{name};
};

}  // namespace fault_test
