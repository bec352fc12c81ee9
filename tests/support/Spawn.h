#pragma once
// Starts a built program (args[0] is its path) with standard output and
// error appended to `out`. The child gets its own process group, so that a
// test's signals reach only it and what it starts. Returns the pid, or -1.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

inline pid_t spawn_program(std::vector<std::string> args, const std::string& out)
{
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}
