#pragma once
#include <httplib.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/system/InstallationHarness.h"

// sipper-web started as a program beside the simulated installation, with an
// HTTP client and event-stream readers for the tests.
class WebTest : public InstallationTest {
protected:
    // Reads /api/v1/events on a thread of its own and keeps every event.
    class EventReader {
    public:
        EventReader(int port, std::string token = "") : client_("127.0.0.1", port)
        {
            client_.set_read_timeout(5, 0);
            httplib::Headers h;
            if (!token.empty())
                h.emplace("Authorization", "Bearer " + token);
            thread_ = std::thread([this, h] {
                client_.Get("/api/v1/events", h, [this](const char* data, std::size_t n) {
                    take(std::string(data, n));
                    return !stop_;
                });
            });
        }
        ~EventReader()
        {
            stop_ = true;
            client_.stop();
            thread_.join();
        }

        std::vector<std::pair<std::string, nlohmann::json>> events() const
        {
            std::lock_guard<std::mutex> hold(guard_);
            return events_;
        }

        // The first event of this kind from index `from` on that satisfies
        // `match`; waits up to `seconds`. -1 when none came.
        template <class F>
        int wait_for(const std::string& kind, F match, double seconds, std::size_t from = 0) const
        {
            int found = -1;
            eventually(
                [&] {
                    auto all = events();
                    for (std::size_t i = from; i < all.size(); ++i)
                        if (all[i].first == kind && match(all[i].second)) {
                            found = static_cast<int>(i);
                            return true;
                        }
                    return false;
                },
                seconds);
            return found;
        }

    private:
        void take(const std::string& text)
        {
            std::lock_guard<std::mutex> hold(guard_);
            buffer_ += text;
            for (std::size_t end; (end = buffer_.find("\n\n")) != std::string::npos;) {
                std::string frame = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                std::string kind, data;
                std::size_t start = 0;
                while (start < frame.size()) {
                    std::size_t nl = std::min(frame.find('\n', start), frame.size());
                    std::string line = frame.substr(start, nl - start);
                    if (line.rfind("event: ", 0) == 0) kind = line.substr(7);
                    if (line.rfind("data: ", 0) == 0) data += line.substr(6);
                    start = nl + 1;
                }
                if (!kind.empty())
                    events_.emplace_back(kind, nlohmann::json::parse(data));
            }
        }

        httplib::Client client_;
        std::thread thread_;
        std::atomic<bool> stop_{false};
        mutable std::mutex guard_;
        std::string buffer_;
        std::vector<std::pair<std::string, nlohmann::json>> events_;
    };

    void TearDown() override
    {
        stop_web();
        InstallationTest::TearDown();
    }

    // Starts sipper-web on a free loopback port with these extra options;
    // false when it did not print its address.
    bool start_web(std::vector<std::string> options)
    {
        std::vector<std::string> args{bin("sipper-web"), "--listen", "127.0.0.1:0"};
        args.insert(args.end(), options.begin(), options.end());
        web_out_ = path("sipper-web.out");
        web_ = spawn(args, web_out_);
        const std::string mark = "serving http://127.0.0.1:";
        return eventually(
            [&] {
                const std::string out = read_file(web_out_);
                const std::size_t p = out.find(mark);
                if (p == std::string::npos)
                    return false;
                port_ = std::atoi(out.c_str() + p + mark.size());
                return port_ > 0;
            },
            10.0);
    }

    void stop_web()
    {
        if (web_ <= 0)
            return;
        kill(web_, SIGTERM);
        int status = 0;
        if (!wait_exit(web_, 10.0, status)) {
            ADD_FAILURE() << "sipper-web did not stop on SIGTERM";
            kill(web_, SIGKILL);
            waitpid(web_, &status, 0);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "sipper-web status " << status;
        }
        web_ = -1;
    }

    struct Answer {
        int status = -1;
        nlohmann::json body;
    };

    Answer get(const std::string& target, const std::string& token = "")
    {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(30, 0);
        httplib::Headers h;
        if (!token.empty())
            h.emplace("Authorization", "Bearer " + token);
        return answer(c.Get(target, h));
    }

    Answer post(const std::string& body, const std::string& type = "application/json",
                const std::string& target = "/api/v1/commands")
    {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(30, 0);
        return answer(c.Post(target, body, type));
    }

    static Answer answer(const httplib::Result& r)
    {
        Answer a;
        if (!r)
            return a;
        a.status = r->status;
        a.body = nlohmann::json::parse(r->body, nullptr, false);
        return a;
    }

    pid_t web_ = -1;
    int port_ = 0;
    std::string web_out_;
};
