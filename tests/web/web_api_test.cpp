#include <cmath>
#include <fstream>
#include <set>

#include "config/ConfigurationFile.h"
#include "tests/system/InstallationHarness.h"
#include "tests/web/WebHarness.h"
#include "utilities/Vect3d.h"

// sipper-web against the simulated installation, driven over HTTP as a lab
// scheduler would, with its events read as a browser would.

namespace {

using nlohmann::json;

class WebTest : public InstallationTest {
protected:
    void SetUp() override
    {
        InstallationTest::SetUp();
        web_.note_answers(path("answers.jsonl"));
    }
    // Every answer the scenario got agrees with the API document.
    void TearDown() override
    {
        web_.stop();
        EXPECT_EQ(web_.check_answers(), "");
        InstallationTest::TearDown();
    }
    WebProcess web_;
};

Vect3d vector_key(const std::string& file, const std::string& key)
{
    ConfigurationFile f;
    EXPECT_EQ(f.load_config(file), ConfigurationFile::CONFIG_OK) << file;
    std::string text;
    EXPECT_TRUE(f.get_value(key, text)) << key << " in " << file;
    Vect3d v;
    v.set(text);
    return v;
}

void expect_at(const json& p, const Vect3d& v, const std::string& what)
{
    EXPECT_NEAR(p["x"].get<double>(), v.x, 1e-9) << what;
    EXPECT_NEAR(p["y"].get<double>(), v.y, 1e-9) << what;
    EXPECT_NEAR(p["z"].get<double>(), v.z, 1e-9) << what;
}

std::vector<std::string> log_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

}  // namespace

TEST_F(WebTest, ApiDrivesTheSipperReportsEventsRefusesBadInputAndSurvivesASipperRestart)
{
    start_installation(false, "SampleInterface");
    own_sipper_ = spawn({bin("sipper"), "Sipper", path("logs/sipper.log"), path("cfg/sipper.cfg")},
                        path("sipper.out"));
    ASSERT_TRUE(answers("Sipper", 10.0));
    ASSERT_TRUE(web_.start({"--log", path("logs/sipper.log")}, path("sipper-web.out"))) << read_file(web_.out());

    // Two browsers at once.
    WebProcess::EventReader first(web_.port()), second(web_.port());

    WebProcess::Answer s = web_.get("/api/v1/status");
    ASSERT_EQ(s.status, 200) << s.body;
    EXPECT_EQ(s.body["state_name"], "CREATED");
    EXPECT_EQ(s.body["homed"], false);
    EXPECT_EQ(s.body["plate"]["name"], "plate96");

    // The deck against the configuration files.
    const WebProcess::Answer deck = web_.get("/api/v1/deck");
    ASSERT_EQ(deck.status, 200) << deck.body;
    const std::string plate_file = path("cfg/plate96.platecfg");
    const std::string sipper_file = path("cfg/sipper.cfg");
    const Vect3d p0 = vector_key(plate_file, "POSITION0"), p1 = vector_key(plate_file, "POSITION1"),
                 p2 = vector_key(plate_file, "POSITION2");
    const json& wells = deck.body["wells"];
    ASSERT_EQ(wells.size(), 96u);
    EXPECT_EQ(deck.body["plate"]["rows"], 8);
    EXPECT_EQ(deck.body["plate"]["columns"], 12);
    for (const json& w : wells) {
        const int r = w["row"], c = w["column"];
        const double a = r / 7.0, b = c / 11.0;
        const Vect3d expected(p0.x + a * (p1.x - p0.x) + b * (p2.x - p0.x), p0.y + a * (p1.y - p0.y) + b * (p2.y - p0.y),
                              p0.z + a * (p1.z - p0.z) + b * (p2.z - p0.z));
        expect_at(w, expected, w["name"]);
        EXPECT_EQ(w["name"], std::string(1, static_cast<char>('A' + r)) + std::to_string(c + 1));
    }
    expect_at(wells[0], p0, "A1");
    expect_at(wells[11], p2, "A12");
    expect_at(wells[84], p1, "H1");
    const char* stations[] = {"WASHSTATION1_POSITION", "WASHSTATION2_POSITION", "WASHSTATION3_POSITION"};
    ASSERT_EQ(deck.body["wash_stations"].size(), 3u);
    for (int i = 0; i < 3; ++i)
        expect_at(deck.body["wash_stations"][i], vector_key(sipper_file, stations[i]), stations[i]);
    ASSERT_EQ(deck.body["matrix_stations"].size(), 4u);
    expect_at(deck.body["matrix_stations"][3], vector_key(sipper_file, "MATRIX4_POSITION"), "matrix 4");
    expect_at(deck.body["plate_swap"], vector_key(sipper_file, "PLATE_SWAP_POSITION"), "plate swap");
    expect_at(deck.body["travel"], vector_key(sipper_file, "AXIS_TRAVEL_MM"), "travel");
    EXPECT_EQ(deck.body["plates"], json::array({"plate384", "plate96"}));

    // reset, run, home through the API; the homing is seen in the events.
    for (const char* c : {"reset", "run"}) {
        const WebProcess::Answer a = web_.post(json{{"command", c}}.dump());
        EXPECT_EQ(a.status, 201) << a.body;
        EXPECT_EQ(a.body["sent"]["method"], c);
        if (std::string(c) == "reset") {
            ASSERT_GE(first.wait_for("status", [](const json& j) { return j["state_name"] == "READY"; }, 10.0), 0);
        }
    }
    ASSERT_GE(first.wait_for("status", [](const json& j) { return j["state_name"] == "RUNNING"; }, 10.0), 0);
    ASSERT_EQ(web_.post(R"({"command":"home"})").status, 201);
    const int busy = first.wait_for("status", [](const json& j) { return j["status_name"] == "busy"; }, 10.0);
    ASSERT_GE(busy, 0);
    const int homed = first.wait_for(
        "status", [](const json& j) { return j["homed"] == true && j["status_name"] == "idle"; }, 60.0, busy);
    ASSERT_GE(homed, 0) << log("sipper.log");
    // While busy the status came at least five times a second: the moves
    // change the position, so nearly every poll is an event.
    const auto all = first.events();
    int busy_events = 0;
    for (int i = busy; i < homed; ++i)
        busy_events += all[i].first == "status";
    EXPECT_GE(busy_events, 5);
    EXPECT_GE(first.wait_for("log", [](const json& j) {
        return j["line"].get<std::string>().find("SipperTask Homing complete") != std::string::npos; }, 5.0), 0);

    // A sip of B7 by its name: the outcome arrives for the well, in both streams.
    const WebProcess::Answer sip = web_.post(R"({"command":"sip","well":"B7","tag":7,"wash_time1":100,"wash_time2":100})");
    ASSERT_EQ(sip.status, 201) << sip.body;
    EXPECT_EQ(sip.body["sent"]["arguments"]["row"], 1);
    EXPECT_EQ(sip.body["sent"]["arguments"]["column"], 6);
    for (const WebProcess::EventReader* reader : {&first, &second}) {
        const int e = reader->wait_for("sip", [](const json& j) { return j["well"] == "B7"; }, 60.0);
        ASSERT_GE(e, 0) << log("sipper.log");
        EXPECT_EQ(reader->events()[e].second["outcome"], "seen") << reader->events()[e].second;
    }
    EXPECT_NE(log("SampleInterface.log").find("text=\"B7\" tag=7 row=2 column=7"), std::string::npos);
    s = web_.get("/api/v1/status");
    EXPECT_EQ(s.body["status_name"], "idle");

    // Every class of bad input answers 400 (or 413/415) naming the field, and
    // nothing reaches the sipper: its log gains no line before the marker.
    struct Bad {
        std::string body;
        int status;
        std::string field;
        std::string type = "application/json";
    };
    const std::vector<Bad> bad = {
        {"{\"command\": \"home\"", 400, "body"},
        {"[\"home\"]", 400, "body"},
        {"{}", 400, "command"},
        {R"({"command": 5})", 400, "command"},
        {R"({"command": "fly"})", 400, "command"},
        {R"({"command": "home", "speed": 3})", 400, "speed"},
        {R"({"command": "goto_position"})", 400, "position"},
        {R"({"command": "goto_position", "position": "3"})", 400, "position"},
        {R"({"command": "goto_position_safe", "position": 0})", 400, "position"},
        {R"({"command": "goto_position", "position": 14})", 400, "position"},
        {R"({"command": "goto_position", "position": 1.5})", 400, "position"},
        {R"({"command": "sip"})", 400, "well"},
        {R"({"command": "sip", "well": "I1"})", 400, "well"},
        {R"({"command": "sip", "well": "A13"})", 400, "well"},
        {R"({"command": "sip", "well": "7B"})", 400, "well"},
        {R"({"command": "sip", "row": 8, "column": 0})", 400, "row"},
        {R"({"command": "sip", "row": 0, "column": 12})", 400, "column"},
        {R"({"command": "sip", "row": -1, "column": 0})", 400, "row"},
        {R"({"command": "sip", "row": 0})", 400, "column"},
        {R"({"command": "sip", "well": "A1", "matrix": 2})", 400, "well"},
        {R"({"command": "sip", "matrix": 5})", 400, "matrix"},
        {R"({"command": "sip", "well": "A1", "depth": "deep"})", 400, "depth"},
        {R"({"command": "sip", "well": "A1", "depth": 1e300})", 400, "depth"},
        {R"({"command": "sip", "well": "A1", "tag": 4294967296})", 400, "tag"},
        {R"({"command": "wash", "wash_time1": -1})", 400, "wash_time1"},
        {R"({"command": "wash", "wash_time2": true})", 400, "wash_time2"},
        {R"({"command": "set_active_plate", "plate": "plate1536"})", 400, "plate"},
        {R"({"command": "set_active_plate", "plate": 96})", 400, "plate"},
        {R"({"command": "home"})", 415, "Content-Type", "text/plain"},
        {R"({"command": "home"})", 415, "Content-Type", "application/x-www-form-urlencoded"},
        {R"({"command": "sip", "well": "A1", "text": ")" + std::string(70000, 'a') + "\"}", 413, "body"},
    };
    const std::size_t lines_before = log_lines(log("sipper.log")).size();
    for (const Bad& b : bad) {
        const WebProcess::Answer a = web_.post(b.body, b.type);
        EXPECT_EQ(a.status, b.status) << b.body.substr(0, 80) << " -> " << a.body;
        EXPECT_EQ(a.body["error"].value("field", ""), b.field) << b.body.substr(0, 80) << " -> " << a.body;
        EXPECT_FALSE(a.body["error"].value("message", "").empty()) << b.body.substr(0, 80);
    }
    EXPECT_EQ(web_.post("{}", "application/json", "/api/v1/status").status, 405);
    EXPECT_EQ(web_.get("/api/v1/log?tail=0").status, 400);
    ASSERT_EQ(web_.post(R"({"command":"set_active_plate","plate":"plate96"})").status, 201);
    ASSERT_TRUE(eventually([&] { return log("sipper.log").find("set active plate config to plate96") != std::string::npos; }, 10.0));
    const std::vector<std::string> after = log_lines(log("sipper.log"));
    ASSERT_GT(after.size(), lines_before);
    EXPECT_NE(after[lines_before].find("set active plate config to plate96"), std::string::npos)
        << "a refused command reached the sipper: " << after[lines_before];

    // The log tail is the end of the file.
    const WebProcess::Answer tail = web_.get("/api/v1/log?tail=3");
    ASSERT_EQ(tail.status, 200);
    ASSERT_EQ(tail.body["lines"].size(), 3u);
    const std::vector<std::string> now = log_lines(log("sipper.log"));
    EXPECT_EQ(tail.body["lines"][2].get<std::string>() + " \r", now.back());

    // The sipper dies, leaving its channel behind: every API call answers 503
    // with the channel's result, and the events say so; sipper-web keeps running.
    stop_own_sipper();
    const std::size_t mark = first.events().size();
    ASSERT_TRUE(eventually([&] {
        const json b = web_.get("/api/v1/status").body;
        return b.contains("error") && b["error"].value("result_name", "") == "not connected";
    }, 45.0));
    for (const WebProcess::Answer& a : {web_.get("/api/v1/status"), web_.get("/api/v1/deck"), web_.post(R"({"command":"home"})"),
                            web_.post(R"({"command":"sip","well":"A1"})")}) {
        EXPECT_EQ(a.status, 503) << a.body;
        EXPECT_EQ(a.body["error"]["result"], call_not_connected);
        EXPECT_EQ(a.body["error"]["code"], "sipper_unavailable");
        EXPECT_NE(a.body["error"]["message"].get<std::string>().find("not connected"), std::string::npos);
    }
    EXPECT_GE(first.wait_for("status", [](const json& j) { return j["connected"] == false; }, 10.0, mark), 0);

    // ... and comes back: sipper-web reconnects by itself.
    own_sipper_ = spawn({bin("sipper"), "Sipper", path("logs/sipper.log"), path("cfg/sipper.cfg")},
                        path("sipper.out"));
    ASSERT_TRUE(eventually([&] { return web_.get("/api/v1/status").status == 200; }, 45.0));
    EXPECT_EQ(web_.get("/api/v1/status").body["state_name"], "CREATED");
    EXPECT_GE(second.wait_for("status", [](const json& j) { return j["connected"] == true && j["state_name"] == "CREATED"; },
                              10.0, mark),
              0);
    EXPECT_EQ(web_.post(R"({"command":"reset"})").status, 201);
}

// The operations a scheduler sends, each followed to its own outcome however
// quickly the next follows; refusals answered with the sipper's own line.
TEST_F(WebTest, EveryOperationKeepsItsOwnRecordAndOutcomeRefusalsCarryTheSippersTextAndEventsReplay)
{
    start_installation(false, "SampleInterface");
    own_sipper_ = spawn({bin("sipper"), "Sipper", path("logs/sipper.log"), path("cfg/sipper.cfg")},
                        path("sipper.out"));
    ASSERT_TRUE(answers("Sipper", 10.0));
    ASSERT_TRUE(web_.start({"--log", path("logs/sipper.log")}, path("sipper-web.out"))) << read_file(web_.out());
    WebProcess::EventReader events(web_.port());
    auto send = [&](const json& body, const std::string& query = "", const std::string& key = "") {
        httplib::Headers h;
        if (!key.empty())
            h.emplace("Idempotency-Key", key);
        return web_.post(body.dump(), "application/json", "/api/v1/commands" + query, h);
    };
    auto count = [&](const std::string& file, const std::string& text) {
        const std::string all = log(file);
        int n = 0;
        for (std::size_t p = all.find(text); p != std::string::npos; p = all.find(text, p + 1))
            ++n;
        return n;
    };
    // A refusal: 409, the sipper's own line, and nothing sent (the sipper never logs it).
    auto refused = [&](const json& body, const std::string& text) {
        const WebProcess::Answer a = send(body);
        EXPECT_EQ(a.status, 409) << body << " -> " << a.body;
        EXPECT_EQ(a.body["error"]["code"], "refused") << a.body;
        EXPECT_EQ(a.body["error"]["message"], text) << body;
        EXPECT_EQ(a.body["command"]["state"], "refused") << a.body;
        EXPECT_EQ(count("sipper.log", text), 0) << text;
    };
    refused({{"command", "home"}}, "Sipper: no worker task exists (initialize did not create one), command not carried out");
    refused({{"command", "sip"}, {"well", "A1"}}, "sip Error, sipper not homed");
    refused({{"command", "goto_position_safe"}, {"position", 1}}, "goto_position_safe() ERROR : sipper not homed");
    refused({{"command", "wash"}}, "wash Error, sipper not homed");

    // Instant operations are done when answered; home?wait answers at its end.
    for (const char* c : {"reset", "run"}) {
        const WebProcess::Answer a = send({{"command", c}});
        ASSERT_EQ(a.status, 201) << a.body;
        EXPECT_EQ(a.body["state"], "succeeded") << a.body;
        ASSERT_EQ(a.headers.count("Location"), 1u);
        EXPECT_EQ(a.headers.find("Location")->second, "/api/v1/commands/" + std::to_string(a.body["id"].get<int>()));
    }
    const WebProcess::Answer home = send({{"command", "home"}}, "?wait=120");
    ASSERT_EQ(home.status, 201) << home.body;
    ASSERT_EQ(home.body["state"], "succeeded") << home.body << log("sipper.log");
    EXPECT_FALSE(home.body["started"].is_null());

    // Sips sent the moment the previous one ended: each has its own outcome,
    // which the sipper's log confirms line for line.
    const std::vector<std::string> wells = {"A1", "B2", "C3", "D4", "E5"};
    std::vector<int> ids;
    for (const std::string& w : wells) {
        const WebProcess::Answer a = send({{"command", "sip"}, {"well", w}, {"wash_time1", 50}, {"wash_time2", 50}},
                                          "?wait=60", "sip-" + w);
        ASSERT_EQ(a.status, 201) << a.body;
        EXPECT_EQ(a.body["state"], "succeeded") << a.body;
        EXPECT_EQ(a.body["well"], w);
        EXPECT_EQ(a.body["outcome"], "seen") << a.body;
        ids.push_back(a.body["id"]);
        EXPECT_EQ(count("SampleInterface.log", "text=\"" + w + "\""), 1) << w;
    }
    EXPECT_EQ(count("sipper.log", "SIP SENSOR SEES SAMPLE") + count("sipper.log", "SIP SENSOR 1 , "),
              static_cast<int>(wells.size()));

    // While one runs, the next sip and a move are refused as the sipper would;
    // the running one keeps its outcome.
    const WebProcess::Answer running = send({{"command", "sip"}, {"well", "F6"}});
    ASSERT_EQ(running.status, 201) << running.body;
    EXPECT_EQ(running.body["state"], "running");
    refused({{"command", "sip"}, {"well", "G7"}}, "sip Error, Sipper is in busy state");
    refused({{"command", "goto_position_safe"}, {"position", 1}}, "goto_position_safe() Error, Sipper is in busy state");
    const std::string f6 = "/api/v1/commands/" + std::to_string(running.body["id"].get<int>());
    ASSERT_TRUE(eventually([&] { return web_.get(f6).body["state"] == "succeeded"; }, 60.0)) << web_.get(f6).body;
    EXPECT_EQ(web_.get(f6).body["outcome"], "seen");

    // A retry with the key answers the first record and sends nothing.
    const WebProcess::Answer again = send({{"command", "sip"}, {"well", "A1"}}, "", "sip-A1");
    EXPECT_EQ(again.status, 201);
    EXPECT_EQ(again.body["id"], ids[0]);
    EXPECT_EQ(count("SampleInterface.log", "text=\"A1\""), 1);
    EXPECT_EQ(send({{"command", "home"}}, "", std::string(65, 'k')).body["error"]["field"], "Idempotency-Key");

    // Stop during a sip: stop is done at once, the sip fails with the
    // sipper's line, which the status gives as the reason of its error state.
    const WebProcess::Answer stopped = send({{"command", "sip"}, {"well", "H8"}});
    ASSERT_EQ(stopped.body["state"], "running") << stopped.body;
    const WebProcess::Answer stop = send({{"command", "stop_all_motion"}});
    EXPECT_EQ(stop.body["state"], "succeeded");
    const std::string h8 = "/api/v1/commands/" + std::to_string(stopped.body["id"].get<int>());
    ASSERT_TRUE(eventually([&] { return web_.get(h8).body["state"] == "failed"; }, 30.0)) << web_.get(h8).body;
    const std::string why = web_.get(h8).body["message"];
    EXPECT_NE(why.find("SipperTask Error : "), std::string::npos) << why;
    EXPECT_TRUE(eventually([&] { return web_.get("/api/v1/status").body["error_reason"] == why; }, 10.0))
        << web_.get("/api/v1/status").body;
    refused({{"command", "goto_position_safe"}, {"position", 1}}, "goto_position_safe() Error, Sipper is in error state");
    const WebProcess::Answer cleared = send({{"command", "reset_error_state"}}, "?wait=10");
    ASSERT_EQ(cleared.body["state"], "succeeded");

    // The list, newest first.
    const WebProcess::Answer list = web_.get("/api/v1/commands?limit=3");
    ASSERT_EQ(list.body["commands"].size(), 3u);
    EXPECT_EQ(list.body["commands"][0]["id"], cleared.body["id"]);
    EXPECT_EQ(list.body["commands"][2]["id"], stop.body["id"]);

    // Every change of a record was an event; a client reconnecting after the
    // second sip was created gets the same ones after it, and one that asks
    // for more than is kept is told to start afresh.
    auto changes = [](const WebProcess::EventReader& r, std::size_t from) {
        std::vector<json> c;
        const auto all = r.events();
        for (std::size_t i = from; i < all.size(); ++i)
            if (all[i].first == "command")
                c.push_back(all[i].second);
        return c;
    };
    auto is_last = [&](const json& j) { return j["id"] == cleared.body["id"] && j["state"] == "succeeded"; };
    ASSERT_GE(events.wait_for("command", is_last, 10.0), 0);
    const int from = events.wait_for("command", [&](const json& j) { return j["id"] == ids[1]; }, 1.0);
    ASSERT_GE(from, 0);
    WebProcess::EventReader late(web_.port(), "", events.ids()[static_cast<std::size_t>(from)]);
    ASSERT_GE(late.wait_for("command", is_last, 10.0), 0);
    const std::vector<json> seen = changes(events, static_cast<std::size_t>(from) + 1);
    const std::vector<json> replayed = changes(late, 0);
    EXPECT_EQ(replayed, seen);
    WebProcess::EventReader lost(web_.port(), "", "999999999");
    ASSERT_GE(lost.wait_for("reset", [](const json&) { return true; }, 10.0), 0);
}

TEST_F(WebTest, OperationsSentByAnotherClientGetRecordsOfTheirOwnBesideOurs)
{
    start_installation(false, "SampleInterface");
    own_sipper_ = spawn({bin("sipper"), "Sipper", path("logs/sipper.log"), path("cfg/sipper.cfg")}, path("sipper.out"));
    ASSERT_TRUE(answers("Sipper", 10.0));
    ASSERT_TRUE(web_.start({"--log", path("logs/sipper.log")}, path("sipper-web.out"))) << read_file(web_.out());
    WebProcess::EventReader events(web_.port());
    // Ours (sent by sipper-web) and theirs (sipperctl's), interleaved; each
    // ends as sent, with its kind, and is an event.
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"reset", ""}, {"run", ""}, {"", "home"}, {"A1", ""}, {"", "sip C3 0 2 2 0 50 50"}, {"home", ""}, {"", "home"}};
    json last;
    for (const auto& [ours, theirs] : steps) {
        const bool sip = ours.size() == 2 || theirs.rfind("sip", 0) == 0;
        if (!ours.empty()) {
            const json body = sip ? json{{"command", "sip"}, {"well", ours}, {"wash_time1", 50}, {"wash_time2", 50}}
                                  : json{{"command", ours}};
            last = web_.post(body.dump(), "application/json", "/api/v1/commands?wait=120").body;
        } else {
            ASSERT_EQ(std::system((bin("sipperctl") + " " + theirs + " > " + path("ctl.out") + " 2>&1").c_str()), 0);
            const json before = last;
            EXPECT_TRUE(eventually([&] {
                last = web_.get("/api/v1/commands?limit=1").body["commands"][0];
                return last["id"] != before["id"] && last["ended"] != nullptr;
            }, 60.0)) << theirs << last << log("sipper.log");
        }
        EXPECT_EQ(last["external"], ours.empty()) << last;
        EXPECT_EQ(last["command"], sip ? "sip" : ours.empty() ? "home" : ours) << last;
        EXPECT_EQ(last["state"], "succeeded") << last;
        EXPECT_EQ(last["outcome"], sip ? json("seen") : json(nullptr)) << last;
        EXPECT_GE(events.wait_for("command", [&](const json& j) { return j == last; }, 10.0), 0) << last;
    }
    // No record more than the steps: nothing of ours was taken for theirs.
    EXPECT_EQ(web_.get("/api/v1/commands?limit=50").body["commands"].size(), steps.size());
}
