#pragma once
#include <httplib.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/Spawn.h"

// sipper-web started as a program, an HTTP client for it and event-stream
// readers, for the tests. WebTest runs it beside the simulated installation
// (fixed names, so it holds their lock); WebAloneTest runs it alone under an
// interface name of its own, with no sipper behind it.
class WebProcess {
public:
    struct Answer {
        int status = -1;
        nlohmann::json body;
        httplib::Headers headers;
    };

    // Reads /api/v1/events on a thread of its own and keeps every event.
    class EventReader {
    public:
        // With last_event_id, as a browser reconnecting after a break.
        EventReader(int port, std::string token = "", std::string last_event_id = "") : client_("127.0.0.1", port)
        {
            client_.set_read_timeout(5, 0);
            httplib::Headers h;
            if (!token.empty())
                h.emplace("Authorization", "Bearer " + token);
            if (!last_event_id.empty())
                h.emplace("Last-Event-ID", last_event_id);
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
        // The id of each event, beside events() ("" when it had none).
        std::vector<std::string> ids() const
        {
            std::lock_guard<std::mutex> hold(guard_);
            return ids_;
        }

        // Index of the first event of this kind from `from` on that satisfies
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
                std::string kind, data, id;
                std::size_t start = 0;
                while (start < frame.size()) {
                    std::size_t nl = std::min(frame.find('\n', start), frame.size());
                    std::string line = frame.substr(start, nl - start);
                    if (line.rfind("event: ", 0) == 0) kind = line.substr(7);
                    if (line.rfind("data: ", 0) == 0) data += line.substr(6);
                    if (line.rfind("id: ", 0) == 0) id = line.substr(4);
                    start = nl + 1;
                }
                if (!kind.empty()) {
                    events_.emplace_back(kind, nlohmann::json::parse(data));
                    ids_.push_back(id);
                }
            }
        }

        httplib::Client client_;
        std::thread thread_;
        std::atomic<bool> stop_{false};
        mutable std::mutex guard_;
        std::string buffer_;
        std::vector<std::pair<std::string, nlohmann::json>> events_;
        std::vector<std::string> ids_;
    };

    WebProcess() = default;
    WebProcess(const WebProcess&) = delete;
    WebProcess& operator=(const WebProcess&) = delete;
    ~WebProcess() { stop(); }

    static std::string bin(const std::string& program) { return std::string(SIPPER_BUILD_DIR) + "/bin/" + program; }

    static std::string read_file(const std::string& path)
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    template <class F>
    static bool eventually(F condition, double seconds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return condition();
    }

    static pid_t spawn(std::vector<std::string> args, const std::string& out)
    {
        return spawn_program(std::move(args), out);
    }

    // Starts sipper-web on a free loopback port with these extra options;
    // false when it did not print its address.
    bool start(std::vector<std::string> options, const std::string& out)
    {
        std::vector<std::string> args{bin("sipper-web"), "--listen", "127.0.0.1:0"};
        args.insert(args.end(), options.begin(), options.end());
        out_ = out;
        pid_ = spawn(args, out_);
        const std::string mark = "serving http://127.0.0.1:";
        return eventually(
            [&] {
                const std::string text = read_file(out_);
                const std::size_t p = text.find(mark);
                if (p == std::string::npos)
                    return false;
                port_ = std::atoi(text.c_str() + p + mark.size());
                return port_ > 0;
            },
            10.0);
    }

    // SIGTERM; sipper-web must end by itself with status 0.
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        const std::optional<int> status = wait_status(pid_, 10000);
        if (!status) {
            ADD_FAILURE() << "sipper-web did not stop on SIGTERM";
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        } else {
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
                << "sipper-web status " << *status << "\n" << read_file(out_);
        }
        pid_ = -1;
    }

    Answer get(const std::string& target, const std::string& token = "") const
    {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(30, 0);
        httplib::Headers h;
        if (!token.empty())
            h.emplace("Authorization", "Bearer " + token);
        return noted("get", target, answer(c.Get(target, h)));
    }

    Answer post(const std::string& body, const std::string& type = "application/json",
                const std::string& target = "/api/v1/commands", const httplib::Headers& headers = {}) const
    {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(120, 0);
        return noted("post", target, answer(c.Post(target, headers, body, type)));
    }

    // Every JSON answer from now on is kept in `file`, to be checked against
    // the API document by check_answers(); "" when they all agree with it.
    void note_answers(const std::string& file) { notes_ = file; }
    std::string check_answers() const
    {
        const std::string out = notes_ + ".check";
        const std::string command = "/usr/bin/python3 " + std::string(SIPPER_SOURCE_DIR) + "/tests/web/check_answers.py " +
                                    std::string(SIPPER_SOURCE_DIR) + "/web/openapi.json '" + notes_ + "' > '" + out + "' 2>&1";
        return std::system(command.c_str()) == 0 ? "" : read_file(out);
    }

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& out() const { return out_; }

    // A connection to sipper-web from the loopback address `source`
    // (127.0.0.2 and up are other clients to it); -1 when it failed.
    int connect_from(const std::string& source) const
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &from.sin_addr);
        to.sin_port = htons(static_cast<std::uint16_t>(port_));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
            connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            if (fd >= 0)
                close(fd);
            return -1;
        }
        return fd;
    }

    // Whether the server closed `fd` (read end of stream or reset) within
    // `seconds`; what it sent meanwhile is added to `got`.
    static bool closed_by_server(int fd, double seconds, std::string* got = nullptr)
    {
        const timeval t{0, 50000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        return eventually(
            [&] {
                char buffer[4096];
                const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n > 0 && got != nullptr)
                    got->append(buffer, static_cast<std::size_t>(n));
                return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            },
            seconds);
    }

    // The resident memory of sipper-web, in kB (0 when unreadable).
    long resident_kb() const
    {
        const std::string status = read_file("/proc/" + std::to_string(pid_) + "/status");
        const std::size_t p = status.find("VmRSS:");
        return p == std::string::npos ? 0 : std::atol(status.c_str() + p + 6);
    }

private:
    static Answer answer(const httplib::Result& r)
    {
        Answer a;
        if (!r)
            return a;
        a.status = r->status;
        a.body = nlohmann::json::parse(r->body, nullptr, false);
        a.headers = r->headers;
        return a;
    }

    Answer noted(const std::string& method, const std::string& target, Answer a) const
    {
        if (!notes_.empty() && a.status > 0 && !a.body.is_discarded()) {
            std::lock_guard<std::mutex> hold(notes_guard_);
            std::ofstream(notes_, std::ios::app)
                << nlohmann::json{{"method", method}, {"target", target}, {"status", a.status}, {"body", a.body}}.dump(
                       -1, ' ', false, nlohmann::json::error_handler_t::replace)
                << "\n";
        }
        return a;
    }

    std::string notes_;
    mutable std::mutex notes_guard_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string out_;
};
