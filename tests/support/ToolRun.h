#pragma once
// A built program run in a forked child with its standard output and error
// captured in files under `dir`, waited for with a deadline.
//
//   ToolRun r = run_program(SIPPER_BUILD_DIR "/bin/sipper-config", {"check", file}, dir);
//   EXPECT_EQ(r.status, 0) << r.err;
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

struct ToolRun {
    int status = -1;  // the exit code, or a child_exit code
    std::string out;
    std::string err;
};

inline ToolRun run_program(const std::string& path, const std::vector<std::string>& args, const std::string& dir,
                           int timeout_ms = 20000)
{
    const std::string out_file = dir + "/stdout.txt";
    const std::string err_file = dir + "/stderr.txt";
    ChildProcess child([&] {
        if (!std::freopen(out_file.c_str(), "w", stdout) || !std::freopen(err_file.c_str(), "w", stderr))
            return 127;
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        return 127;
    });
    ToolRun run;
    run.status = child.wait(timeout_ms);
    std::stringstream out, err;
    out << std::ifstream(out_file).rdbuf();
    err << std::ifstream(err_file).rdbuf();
    run.out = out.str();
    run.err = err.str();
    return run;
}
