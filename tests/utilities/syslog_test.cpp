#include "utilities/Syslog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/utilities/TempDir.h"
#include "utilities/Exception.h"

namespace {

const std::string STAMP = R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string regex_escape(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// Lines ending in "\n" (the header) or "\r\n" (all others), terminators kept.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', begin)) {
        lines.push_back(text.substr(begin, nl + 1 - begin));
        begin = nl + 1;
    }
    if (begin < text.size()) lines.push_back(text.substr(begin));
    return lines;
}

TEST(Syslog, NewLogCreatesDirectoryChainAndHeaderEndsWithBareLineFeed) {
    TempDir dir;
    const std::string path = dir / "logs/deeper/sipper.log";
    {
        Syslog log(path, false);
        EXPECT_EQ(log.path(), path);
        const std::string text = read_file(path);
        EXPECT_TRUE(std::regex_match(
            text, std::regex("Log file: " + regex_escape(path) + " created " + STAMP + "\n")))
            << text;
    }
}

TEST(Syslog, NumberedLinesHaveStampTextBlankAndCrLf) {
    TempDir dir;
    const std::string path = dir / "a.log";
    {
        Syslog log(path, false);
        EXPECT_TRUE(log.write_line("hello"));
        EXPECT_TRUE(log.write_line(std::string("second line")));
        EXPECT_TRUE(log.write_raw("raw text"));
        EXPECT_TRUE(log.write_line("third", nullptr, 0));
        EXPECT_TRUE(log.write_raw(std::string("more raw")));
    }
    const auto lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("1 " + STAMP + " hello \r\n"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("2 " + STAMP + " second line \r\n")));
    EXPECT_EQ(lines[3], "raw text \r\n");
    // Raw lines do not advance the counter.
    EXPECT_TRUE(std::regex_match(lines[4], std::regex("3 " + STAMP + " third \r\n"))) << lines[4];
    EXPECT_EQ(lines[5], "more raw \r\n");
}

TEST(Syslog, TrailerWrittenOnceWhenClosed) {
    TempDir dir;
    const std::string path = dir / "t.log";
    {
        Syslog log(path, false);
        log.write_line("x");
        EXPECT_EQ(read_file(path).find(" closed "), std::string::npos);
    }
    const auto lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(
        lines[2], std::regex("Log file: " + regex_escape(path) + " closed " + STAMP + "\r\n")))
        << lines[2];
}

TEST(Syslog, CopyIsCutToBufferWhileFileGetsWholeText) {
    TempDir dir;
    const std::string path = dir / "c.log";
    std::string text;
    for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + i % 26);
    char copy[260];
    std::memset(copy, '#', sizeof copy);
    {
        Syslog log(path, false);
        EXPECT_TRUE(log.write_line(text.c_str(), copy, 249));
    }
    const auto lines = lines_of(read_file(path));
    ASSERT_GE(lines.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[1], m, std::regex("1 (" + STAMP + ") (.*) \r\n")));
    EXPECT_EQ(m[2].str(), text);
    const std::string expected = (m[1].str() + " " + text).substr(0, 248);
    EXPECT_EQ(std::strlen(copy), 248u);
    EXPECT_EQ(std::string(copy), expected);
    EXPECT_EQ(copy[249], '#');  // nothing written beyond the buffer given
}

TEST(Syslog, ShortTextIsCopiedWhole) {
    TempDir dir;
    Syslog log(dir / "s.log", false);
    char copy[64];
    ASSERT_TRUE(log.write_line("short", copy, sizeof copy));
    EXPECT_TRUE(std::regex_match(std::string(copy), std::regex(STAMP + " short")));
}

TEST(Syslog, TwoThreadsProduceWholeLinesWithConsecutiveNumbers) {
    TempDir dir;
    const std::string path = dir / "threads.log";
    const int per_thread = 400;
    {
        Syslog log(path, false);
        auto writer = [&](char tag) {
            for (int i = 0; i < per_thread; ++i)
                log.write_line(std::string(1, tag) + "-" + std::to_string(i) + std::string(40, tag));
        };
        std::thread a(writer, 'A');
        std::thread b(writer, 'B');
        a.join();
        b.join();
    }
    const auto lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(2 * per_thread + 2));
    const std::regex line("(\\d+) " + STAMP + " ([AB])-(\\d+)([AB]{40}) \r\n");
    int next_of[2] = {0, 0};
    for (int n = 1; n <= 2 * per_thread; ++n) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[n], m, line)) << lines[n];
        EXPECT_EQ(std::stoi(m[1]), n);
        const int who = m[2] == "A" ? 0 : 1;
        EXPECT_EQ(std::stoi(m[3]), next_of[who]++);
        EXPECT_EQ(m[4].str(), std::string(40, m[2].str()[0]));
    }
    EXPECT_EQ(next_of[0], per_thread);
    EXPECT_EQ(next_of[1], per_thread);
}

TEST(Syslog, AppendKeepsEarlierRunAndRestartsNumbering) {
    TempDir dir;
    const std::string path = dir / "app.log";
    {
        Syslog log(path, false);
        log.write_line("first run");
    }
    {
        Syslog log(path, true);
        log.write_line("second run");
    }
    const auto lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_NE(lines[1].find("first run"), std::string::npos);
    EXPECT_NE(lines[3].find(" created "), std::string::npos);
    EXPECT_TRUE(std::regex_match(lines[4], std::regex("1 " + STAMP + " second run \r\n")));
}

TEST(Syslog, WithoutAppendEarlierContentIsDropped) {
    TempDir dir;
    const std::string path = dir / "new.log";
    std::ofstream(path) << "old content\n";
    { Syslog log(path, false); }
    EXPECT_EQ(read_file(path).find("old content"), std::string::npos);
}

TEST(Syslog, UnopenableFileRaisesFailedToOpen) {
    TempDir dir;
    std::ofstream(dir / "plain") << "x";
    const std::string path = dir / "plain/sub/x.log";
    try {
        Syslog log(path, false);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Failed to open: " + path);
    }
}

TEST(Syslog, BackslashPathIsOpenedAsSlashPath) {
    TempDir dir;
    const std::string path = dir.path() + "\\win\\w.log";
    {
        Syslog log(path, false);
        log.write_line("x");
        EXPECT_EQ(log.log_dir(), dir.path() + "\\win\\");
    }
    const std::string text = read_file(dir / "win/w.log");
    EXPECT_EQ(text.rfind("Log file: " + path + " created ", 0), 0u) << text;
}

TEST(Syslog, LogDirIsPathUpToLastSeparator) {
    TempDir dir;
    EXPECT_EQ(Syslog(dir / "x/y.log", false).log_dir(), dir.path() + "/x/");
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    EXPECT_EQ(Syslog("bare.log", false).log_dir(), "./");
    std::filesystem::current_path(cwd);
}

TEST(Syslog, FileIsNotInheritedByStartedPrograms) {
    TempDir dir;
    const std::string path = dir / "cloexec.log";
    Syslog log(path, false);
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (ec || target != path) continue;
        const int fd = std::stoi(entry.path().filename().string());
        ++found;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    }
    EXPECT_EQ(found, 1);
}

bool wait_for_file(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access(path.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A stand-in viewer that records the argument it was started with.
std::string write_viewer(const TempDir& dir) {
    const std::string viewer = dir / "viewer.sh";
    std::ofstream(viewer) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << dir.path() << "/seen.tmp'\n"
                          << "mv '" << dir.path() << "/seen.tmp' '" << dir.path() << "/seen'\n";
    chmod(viewer.c_str(), 0755);
    return viewer;
}

bool has_children() {
    errno = 0;
    return !(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

TEST(Syslog, ViewerGetsLogPathAndLeavesNoChildBehind) {
    TempDir dir;
    const std::string viewer = write_viewer(dir);
    const std::string path = dir / "view me.log";
    Syslog log(path, false);
    log.open_in_viewer(viewer);
    EXPECT_FALSE(has_children());
    ASSERT_TRUE(wait_for_file(dir / "seen"));
    EXPECT_EQ(read_file(dir / "seen"), path);
}

TEST(Syslog, ViewerIsFoundThroughPath) {
    TempDir dir;
    write_viewer(dir);
    const char* old = getenv("PATH");
    const std::string saved = old != nullptr ? old : "";
    setenv("PATH", (dir.path() + ":" + saved).c_str(), 1);
    Syslog log(dir / "p.log", false);
    log.open_in_viewer("viewer.sh");
    setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(wait_for_file(dir / "seen"));
    EXPECT_EQ(read_file(dir / "seen"), dir / "p.log");
}

TEST(Syslog, MissingViewerIsIgnored) {
    TempDir dir;
    Syslog log(dir / "m.log", false);
    log.open_in_viewer("no-such-viewer-program-here");
    log.open_in_viewer(dir / "missing");
    EXPECT_FALSE(has_children());
    EXPECT_TRUE(log.write_line("still fine"));
}

}  // namespace
