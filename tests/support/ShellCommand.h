#pragma once
// Tests that drive programs and build trees as an engineer would: a shell
// command with its output captured, files read whole, and a temporary
// directory that goes with the test unless the test failed.
//
//   shell_command::TempTree tmp("my_test");
//   const auto r = shell_command::run_command("cmake -S ... -B " + shell_command::quote(tmp.path()));
//   EXPECT_EQ(r.status, 0) << r.output;
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace shell_command {

struct CommandResult {
    int status = -1;  // exit code, or 128 + signal
    std::string output;
};

// Runs a shell command with its standard output and error captured.
inline CommandResult run_command(const std::string& command)
{
    CommandResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
        r.output.append(buffer, n);
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

inline std::string quote(const std::string& s) { return "'" + s + "'"; }

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// A temporary directory removed with everything in it, unless the test failed.
class TempTree {
public:
    explicit TempTree(const char* prefix)
    {
        std::string pattern = std::string("/tmp/") + prefix + "_XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
        else
            ADD_FAILURE() << "mkdtemp " << pattern;
    }
    ~TempTree()
    {
        if (path_.empty())
            return;
        if (::testing::Test::HasFailure())
            std::printf("kept for inspection: %s\n", path_.c_str());
        else
            run_command("rm -rf " + quote(path_));
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace shell_command
