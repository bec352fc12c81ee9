#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <set>

#include "tests/web/WebHarness.h"
#include "web/Routes.h"

// sipper-web on its own, under an interface name nobody serves: the routes
// against the OpenAPI document and the token rule. No fixed names are used.

namespace {

using nlohmann::json;

class WebAloneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/web_alone_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        web_.stop();
        if (!HasFailure())
            EXPECT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
        else
            std::printf("run directory kept: %s\n", dir_.c_str());
    }
    std::string path(const std::string& file) const { return dir_ + "/" + file; }
    static std::string read_file(const std::string& p) { return WebProcess::read_file(p); }
    static std::string bin(const std::string& p) { return WebProcess::bin(p); }
    static pid_t spawn(std::vector<std::string> args, const std::string& out) { return WebProcess::spawn(args, out); }

    std::string dir_;
    WebProcess web_;
};

}  // namespace

TEST_F(WebAloneTest, RoutesAndTheOpenApiDocumentListTheSamePathsAndMethods)
{
    ASSERT_TRUE(web_.start({"--interface", "WebRoutesTest", "--log", path("none.log")}, path("sipper-web.out"))) << read_file(web_.out());
    const WebProcess::Answer doc = web_.get("/openapi.json");
    ASSERT_EQ(doc.status, 200);
    // The served document is the one kept in the repository.
    std::ifstream in(std::string(SIPPER_SOURCE_DIR) + "/web/openapi.json");
    EXPECT_EQ(doc.body, json::parse(in));
    EXPECT_EQ(doc.body["openapi"].get<std::string>().substr(0, 2), "3.");

    std::set<std::string> documented, served;
    for (auto& [path, item] : doc.body["paths"].items())
        for (auto& [method, op] : item.items())
            documented.insert(method + " " + path);
    for (const web_routes::Route& r : web_routes::ROUTES) {
        served.insert(std::string(web_routes::verb_name(r.verb)) + " " + std::string(r.path));
        if (r.path == "/api/v1/events")
            continue;
        // Every route answers; those that need the sipper 503, as nobody serves
        // this name; no record exists yet.
        std::string target(r.path);
        if (target.find("{id}") != std::string::npos)
            target.replace(target.find("{id}"), 4, "1");
        const WebProcess::Answer a = r.verb == web_routes::Verb::get ? web_.get(target) : web_.post(R"({"command":"home"})");
        EXPECT_TRUE(a.status == 200 || a.status == 503 || (a.status == 404 && target != r.path)) << r.path << " " << a.status;
    }
    EXPECT_EQ(documented, served);
    WebProcess::EventReader events(web_.port());
    const int e = events.wait_for("status", [](const json& j) { return j["connected"] == false; }, 10.0);
    ASSERT_GE(e, 0);
    EXPECT_EQ(events.events()[e].second["result_name"], "not connected");
}

TEST_F(WebAloneTest, TokenIsRequiredOffLoopbackAndCheckedOnEveryApiRequest)
{
    // A non-loopback address without a token file is refused at start.
    const std::string out = path("refused.out");
    pid_t refused = spawn({bin("sipper-web"), "--listen", "0.0.0.0:0"}, out);
    int status = 0;
    const std::optional<int> ended = wait_status(refused, 10000);
    ASSERT_TRUE(ended);
    status = *ended;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 64) << status;
    EXPECT_NE(read_file(out).find("without --token-file"), std::string::npos) << read_file(out);

    const std::string token = "s3cret-token-for-the-web-test";
    {
        std::ofstream f(path("token"));
        f << token << "\n";
    }
    chmod(path("token").c_str(), 0600);
    ASSERT_TRUE(web_.start({"--interface", "WebTokenTest", "--token-file", path("token")}, path("sipper-web.out"))) << read_file(web_.out());

    for (const std::string target : {"/api/v1/status", "/api/v1/deck", "/api/v1/log", "/openapi.json"}) {
        EXPECT_EQ(web_.get(target).status, 401) << target;
        EXPECT_EQ(web_.get(target, token + "x").status, 401) << target;
        EXPECT_EQ(web_.get(target, token.substr(1)).status, 401) << target;
        EXPECT_NE(web_.get(target, token).status, 401) << target;
    }
    // Without the sipper the right token reaches the handler, which says why.
    const WebProcess::Answer a = web_.get("/api/v1/status", token);
    EXPECT_EQ(a.status, 503);
    EXPECT_EQ(a.body["error"]["result_name"], "not connected");
    EXPECT_EQ(web_.post(R"({"command":"home"})").status, 401);
    // The page itself is served without it: a browser cannot attach the header.
    httplib::Client c("127.0.0.1", web_.port());
    auto page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<svg id=\"deck\""), std::string::npos);
    EXPECT_FALSE(page->has_header("Access-Control-Allow-Origin"));
    // With a token, a page of another origin is refused even holding it.
    const std::string here = "http://127.0.0.1:" + std::to_string(web_.port());
    for (const auto& [origin, status] : {std::pair<std::string, int>{"http://evil.example", 403}, {here, 503}}) {
        auto r = c.Get("/api/v1/status", {{"Authorization", "Bearer " + token}, {"Origin", origin}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status) << origin;
    }
}


namespace {

// Writes a request as given (a body piece `repeat` times, stopping when the
// server closes), and returns the answer's text.
std::string raw_exchange(int port, const std::string& head, const std::string& piece = "", int repeat = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return "";
    timeval t{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    bool open = send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size());
    for (int i = 0; open && i < repeat; ++i)
        open = send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(piece.size());
    // The head, then as much body as it announces.
    std::string answer;
    char buffer[4096];
    auto complete = [&] {
        const std::size_t end = answer.find("\r\n\r\n");
        const std::size_t length = answer.find("Content-Length: ");
        return end != std::string::npos && length != std::string::npos &&
               answer.size() >= end + 4 + std::stoul(answer.substr(length + 16));
    };
    for (ssize_t n; !complete() && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return answer;
}

}  // namespace

TEST_F(WebAloneTest, HostilePagesAndBodiesAreRefusedAndEveryAnswerForbidsFraming)
{
    ASSERT_TRUE(web_.start({"--interface", "WebHostileTest", "--allow-host", "sipper.lab"}, path("sipper-web.out")))
        << read_file(web_.out());
    const std::string port = std::to_string(web_.port());
    const std::string json_post = "POST /api/v1/commands HTTP/1.1\r\nContent-Type: application/json\r\n";
    auto with_body = [&](const std::string& body) {
        return json_post + "Host: 127.0.0.1:" + port + "\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    };
    struct Case {
        std::string what, head, piece;
        int repeat;
        std::string status, field;
    };
    const std::vector<Case> cases = {
        {"rebound name", "GET /api/v1/status HTTP/1.1\r\nHost: evil.example:" + port + "\r\n\r\n", "", 0, "421", "Host"},
        {"no Host", "GET /api/v1/status HTTP/1.0\r\n\r\n", "", 0, "421", "Host"},
        {"loopback name, other port", "GET /healthz HTTP/1.1\r\nHost: localhost:1\r\n\r\n", "", 0, "421", "Host"},
        {"allowed name", "GET /healthz HTTP/1.1\r\nHost: sipper.lab:" + port + "\r\n\r\n", "", 0, "200", ""},
        {"[::1]", "GET /healthz HTTP/1.1\r\nHost: [::1]:" + port + "\r\n\r\n", "", 0, "200", ""},
        // 8 MiB in chunks: refused at the limit, not read whole.
        {"chunked oversize", json_post + "Host: localhost:" + port + "\r\nTransfer-Encoding: chunked\r\n\r\n",
         "2000\r\n" + std::string(0x2000, ' ') + "\r\n", 1024, "413", "body"},
        {"1e400", with_body(R"({"command":"sip","well":"A1","depth":1e400})"), "", 0, "400", "depth"},
        {"duplicate key", with_body(R"({"command":"wash","wash_time1":5,"wash_time1":7})"), "", 0, "400", "wash_time1"},
    };
    for (const Case& c : cases) {
        const std::string answer = raw_exchange(web_.port(), c.head, c.piece, c.repeat);
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + c.status) << c.what << "\n" << answer;
        for (const char* header : {"X-Frame-Options: DENY", "frame-ancestors 'none'", "default-src 'self'",
                                   "X-Content-Type-Options: nosniff", "Referrer-Policy: no-referrer"})
            EXPECT_NE(answer.find(header), std::string::npos) << c.what << ": " << header;
        if (!c.field.empty()) {
            EXPECT_NE(answer.find("\"field\":\"" + c.field + "\""), std::string::npos) << c.what << "\n" << answer;
        }
    }
}

// The connection limits and the header deadline, on the token server: a
// client that sends its header a byte at a time is closed before its
// request, and so its token, is ever looked at.
TEST_F(WebAloneTest, OneAddressOverItsLimitIsRefusedWhileAnotherIsServedAndSlowHeadersAreCut)
{
    const std::string token = "token-of-the-limits-test-0123";
    {
        std::ofstream f(path("token"));
        f << token;
    }
    chmod(path("token").c_str(), 0600);
    ASSERT_TRUE(web_.start({"--interface", "WebLimitsTest", "--token-file", path("token"), "--max-per-address", "3",
                            "--header-timeout", "2"},
                           path("sipper-web.out")))
        << read_file(web_.out());
    const std::string healthz = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(web_.port()) +
                                "\r\nConnection: close\r\n\r\n";
    // Three slow clients fill 127.0.0.2's slots; a fourth is closed unanswered.
    std::vector<int> slow;
    for (int i = 0; i < 3; ++i) {
        slow.push_back(web_.connect_from("127.0.0.2"));
        ASSERT_GE(slow.back(), 0);
        ASSERT_EQ(send(slow.back(), "G", 1, MSG_NOSIGNAL), 1);
    }
    ASSERT_TRUE(WebProcess::eventually([&] {
        const int over = web_.connect_from("127.0.0.2");
        send(over, healthz.data(), healthz.size(), MSG_NOSIGNAL);
        std::string got;
        const bool refused = WebProcess::closed_by_server(over, 5.0, &got) && got.empty();
        close(over);
        return refused;
    }, 5.0));
    const int other = web_.connect_from("127.0.0.3");
    ASSERT_EQ(send(other, healthz.data(), healthz.size(), MSG_NOSIGNAL), static_cast<ssize_t>(healthz.size()));
    std::string answer;
    EXPECT_TRUE(WebProcess::closed_by_server(other, 5.0, &answer));
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
    close(other);
    // A byte every 200 ms does not keep a header open past its deadline; the
    // connections end without an answer and give their slots back.
    for (int fd : slow) {
        std::string got;
        EXPECT_TRUE(WebProcess::eventually([&] {
            send(fd, "E", 1, MSG_NOSIGNAL);
            return WebProcess::closed_by_server(fd, 0.2, &got);
        }, 10.0));
        EXPECT_EQ(got, "");
        close(fd);
    }
    const int again = web_.connect_from("127.0.0.2");
    send(again, healthz.data(), healthz.size(), MSG_NOSIGNAL);
    answer.clear();
    EXPECT_TRUE(WebProcess::closed_by_server(again, 5.0, &answer));
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
    close(again);
}
