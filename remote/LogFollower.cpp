#include "remote/LogFollower.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

LogFollower::LogFollower(std::string path) : path_(std::move(path))
{
    struct stat st;
    if (stat(path_.c_str(), &st) == 0) {
        inode_ = st.st_ino;
        offset_ = static_cast<std::uint64_t>(st.st_size);
    }
}

std::string LogFollower::trim_line(std::string line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::vector<std::string> LogFollower::poll()
{
    std::vector<std::string> lines;
    struct stat st;
    if (stat(path_.c_str(), &st) != 0)
        return lines;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (st.st_ino != inode_ || size < offset_) {
        inode_ = st.st_ino;
        offset_ = 0;
        partial_.clear();
    }
    if (size == offset_)
        return lines;
    std::ifstream in(path_, std::ios::binary);
    if (!in)
        return lines;
    in.seekg(static_cast<std::streamoff>(offset_));
    // Bounded read per poll, so that a huge new file does not stall events.
    const std::uint64_t chunk = std::min<std::uint64_t>(size - offset_, 1u << 20);
    std::string data(chunk, '\0');
    in.read(data.data(), static_cast<std::streamsize>(chunk));
    data.resize(static_cast<std::size_t>(in.gcount()));
    std::size_t used = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < data.size() && lines.size() < MAX_LINES; ++i) {
        if (data[i] != '\n')
            continue;
        lines.push_back(trim_line(partial_ + data.substr(start, i - start)));
        partial_.clear();
        start = i + 1;
        used = start;
    }
    if (lines.size() < MAX_LINES) {
        // A line still being written waits for its end.
        partial_ += data.substr(start);
        used = data.size();
    }
    offset_ += used;
    return lines;
}

std::vector<std::string> LogFollower::tail(const std::string& path, std::size_t count)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (!in || count == 0)
        return lines;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    // Read backwards in blocks until enough line ends were seen.
    std::string text;
    std::streamoff pos = size;
    const std::streamoff block = 64 * 1024;
    while (pos > 0) {
        const std::streamoff n = std::min(block, pos);
        pos -= n;
        std::string part(static_cast<std::size_t>(n), '\0');
        in.seekg(pos);
        in.read(part.data(), n);
        text.insert(0, part);
        if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) > count)
            break;
    }
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n')
            continue;
        lines.push_back(trim_line(text.substr(start, i - start)));
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back(trim_line(text.substr(start)));
    // The first piece of a block boundary may be a partial line.
    if (pos > 0 && !lines.empty())
        lines.erase(lines.begin());
    if (lines.size() > count)
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
    return lines;
}
