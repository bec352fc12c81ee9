// Four client processes flood one server with numbered one-way commands
// while the server is stopped and continued again and again, so that the
// queue runs full many times: every accepted command is served exactly once
// and in order per client, and every refused one got call_queue_full.

#include <fcntl.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/faults/fault_support.h"
#include "tests/support/ChildProcess.h"

using namespace comp_test;
using namespace fault_test;

namespace {

class FloodTest : public ServedComponentTest {};

constexpr int CLIENTS = 4;
constexpr int ACCEPTED_PER_CLIENT = 400;

// One client: numbered log_msg commands until `ACCEPTED_PER_CLIENT` were
// accepted. Writes the accepted numbers, one a line, to `record`; exit code
// 0, or 10 + an unexpected call result, or 3 when the queue was never full.
int flood(const std::string& name, int client, const std::string& record)
{
    ComponentIF c(name);
    if (!c.open())
        return 2;
    std::ofstream out(record);
    int accepted = 0;
    int refused = 0;
    for (int n = 0; accepted < ACCEPTED_PER_CLIENT; ++n) {
        const int rc = c.log_msg("flood " + std::to_string(client) + " " + std::to_string(n), 0);
        if (rc == call_ok) {
            out << n << "\n";
            ++accepted;
        } else if (rc == call_queue_full) {
            ++refused;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else {
            return 10 + rc;
        }
    }
    out.close();
    return refused > 0 && out ? 0 : 3;
}

TEST_F(FloodTest, AcceptedCommandsAreServedOnceInOrderAndRefusedOnesGotQueueFull)
{
    start_server();

    std::vector<std::unique_ptr<ChildProcess>> clients;
    for (int k = 0; k < CLIENTS; ++k) {
        const std::string record = dir.file("accepted" + std::to_string(k));
        clients.push_back(std::make_unique<ChildProcess>([&, k, record] { return flood(name, k, record); }));
    }

    // Stop and continue the server so that the queue fills up repeatedly
    // while the clients keep pushing.
    const auto any_running = [&] {
        for (auto& c : clients)
            if (c->running())
                return true;
        return false;
    };
    int pauses = 0;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (any_running() && std::chrono::steady_clock::now() < deadline) {
        ::kill(server, SIGSTOP);
        std::this_thread::sleep_for(30ms);
        ::kill(server, SIGCONT);
        ++pauses;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(server, SIGCONT);
    for (int k = 0; k < CLIENTS; ++k)
        EXPECT_EQ(clients[k]->wait(10000), 0) << "client " << k;
    EXPECT_GE(pauses, 2);

    // Everything accepted is served before the kill queued behind it.
    EXPECT_EQ(stop_server(), 0);

    std::map<int, std::vector<int>> served;
    const std::string prefix = "<" + name + ">: flood ";
    for (const std::string& line : log_texts(log_path)) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        std::istringstream in(line.substr(prefix.size()));
        int client = -1, n = -1;
        in >> client >> n;
        served[client].push_back(n);
    }
    for (int k = 0; k < CLIENTS; ++k) {
        std::vector<int> accepted;
        std::ifstream in(dir.file("accepted" + std::to_string(k)));
        for (int n; in >> n;)
            accepted.push_back(n);
        ASSERT_EQ(accepted.size(), std::size_t(ACCEPTED_PER_CLIENT)) << "client " << k;
        // Exactly the accepted numbers, each once, in the order they were sent.
        EXPECT_EQ(served[k], accepted) << "client " << k;
    }
    EXPECT_EQ(served.size(), std::size_t(CLIENTS));
}

}  // namespace

namespace {

class LostSignalTest : public ServedComponentTest {};

TEST_F(LostSignalTest, CommandsWhoseStartSignalsWereLostAreServedWithoutWaitingForSignals)
{
    start_server();
    // With the server stopped, only the first 100 releases are kept.
    ::kill(server, SIGSTOP);
    constexpr int COMMANDS = 1000;
    for (int i = 0; i < COMMANDS; ++i)
        ASSERT_EQ(client.run(), call_ok);  // refused in CREATED: one log line each
    EXPECT_EQ(client.start_signal()->release(), false);  // the signals are at their maximum
    ::kill(server, SIGCONT);

    // Waiting 10 ms for a signal before each of the 900 unsignalled commands
    // would take 9 s; the query behind them must come back well before that.
    client.set_timeout(3000);
    int state = -1;
    EXPECT_EQ(client.get_state(state), call_ok);
    EXPECT_EQ(client.queue().count(), 0u);
    EXPECT_EQ(stop_server(), 0);
    const auto lines = log_texts(log_path);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "<" + name + ">: Component::Run -- can't start component, illegal state"),
              COMMANDS);
}

}  // namespace
