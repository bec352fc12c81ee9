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
}

