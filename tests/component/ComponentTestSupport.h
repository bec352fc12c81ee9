#pragma once
// Helpers shared by the component tests: unique names, scratch directories,
// shared-memory clean-up, log file reading and a small concrete component.

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "component/Component.h"
#include "tests/support/ChildProcess.h"

namespace comp_test {

// Every interface name a test makes starts with this, so clean-up can find
// all objects of this test process in /dev/shm.
inline std::string name_prefix() { return "ct" + std::to_string(::getpid()) + "x"; }

inline std::string unique_name(const std::string& tag) {
    static int counter = 0;
    return name_prefix() + tag + std::to_string(++counter);
}

// Removes every shared-memory object (segments, mutex segments, semaphores)
// whose name holds the fragment.
inline void remove_shm_objects(const std::string& fragment) {
    DIR* dir = ::opendir("/dev/shm");
    if (dir == nullptr) return;
    std::vector<std::string> doomed;
    while (dirent* e = ::readdir(dir)) {
        const std::string entry = e->d_name;
        if (entry.find(fragment) != std::string::npos) doomed.push_back("/dev/shm/" + entry);
    }
    ::closedir(dir);
    for (const std::string& path : doomed) ::unlink(path.c_str());
}

inline int count_shm_objects(const std::string& fragment) {
    int n = 0;
    DIR* dir = ::opendir("/dev/shm");
    if (dir == nullptr) return 0;
    while (dirent* e = ::readdir(dir))
        if (std::string(e->d_name).find(fragment) != std::string::npos) ++n;
    ::closedir(dir);
    return n;
}

// A directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir() {
        path_ = (std::filesystem::temp_directory_path() / unique_name("dir")).string() + "/";
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + name; }
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }

private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The text of every numbered line of a log file: "N MM/DD/YY HH:MM:SS text \r\n"
// gives "text". The header and trailer lines are skipped.
inline std::vector<std::string> log_texts(const std::string& path) {
    std::vector<std::string> texts;
    std::istringstream in(read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Log file: ", 0) == 0) continue;
        const auto blank = line.find(' ');
        if (blank == std::string::npos || blank == 0) continue;
        // line number, blank, 17-character timestamp, blank, text, blank, CR
        std::string text = line.substr(std::min(line.size(), blank + 1 + 17 + 1));
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, " \r") == 0) text.resize(text.size() - 2);
        texts.push_back(text);
    }
    return texts;
}

inline bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& l : lines)
        if (l == text) return true;
    return false;
}

inline long index_of(const std::vector<std::string>& lines, const std::string& text) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == text) return static_cast<long>(i);
    return -1;
}

// A concrete component whose task loop and initialisation the test shapes.
class TestComponent : public Component {
public:
    TestComponent(const std::string& name, const std::string& log_path, const std::string& cfg_path = "")
        : Component(name, log_path, cfg_path) {}

    void task_loop() override {
        ++task_calls;
        if (on_task_loop) on_task_loop(*this);
    }

    bool initialize() override {
        const bool base = Component::initialize();
        ++initialize_calls;
        return on_initialize ? base && on_initialize(initialize_calls) : base;
    }

    using Component::config;
    using Component::server;

    int task_calls = 0;
    int initialize_calls = 0;
    // Given the number of the call (from 1), decides what initialize returns.
    std::function<bool(int)> on_initialize;
    std::function<void(TestComponent&)> on_task_loop;
};

// The fault tests keep raw process ids; these two forward to the shared
// helper that the component tests use as ChildProcess.
inline pid_t start_child(const std::function<int()>& body) { return fork_child(body); }
inline int wait_child(pid_t pid, std::chrono::milliseconds timeout) {
    return finish_child(pid, static_cast<int>(timeout.count()));
}

// Polls cond until it holds or the deadline passes.
inline bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Fixture base: a scratch directory and removal of this process's
// shared-memory objects however the test ends.
class ComponentTest : public ::testing::Test {
protected:
    void TearDown() override { remove_shm_objects(name_prefix()); }

    ScratchDir dir;
};

}  // namespace comp_test
