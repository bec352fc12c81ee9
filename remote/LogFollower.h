#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Reads the lines the sipper appends to its log file. A file that shrinks or
// is replaced (the sipper writes a new log on every start) is read again from
// its beginning. Lines are returned without their " \r\n" ending.
//
//   LogFollower f("logs/sipper.log");   // starts at the current end
//   for (const std::string& line : f.poll()) ...
class LogFollower {
public:
    explicit LogFollower(std::string path);

    // The complete lines written since the last poll (at most MAX_LINES; the
    // rest wait for the next poll).
    std::vector<std::string> poll();

    // The last `count` lines of the file; empty when it cannot be read.
    static std::vector<std::string> tail(const std::string& path, std::size_t count);

    static std::string trim_line(std::string line);

    static constexpr std::size_t MAX_LINES = 500;

private:
    std::string path_;
    std::uint64_t offset_ = 0;
    ino_t inode_ = 0;
    std::string partial_;
};
