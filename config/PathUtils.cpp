#include "config/PathUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

void normalize_path(std::string& path)
{
    std::string result;
    result.reserve(path.size());
    for (char c : path) {
        if (c == '\\')
            result += '/';
        else if (c != '"')
            result += c;
    }
    path.swap(result);
}

bool file_exists(const std::string& path)
{
    struct stat status;
    if (!path.empty() && ::stat(path.c_str(), &status) == 0)
        return true;
    std::string normalized(path);
    normalize_path(normalized);
    if (normalized.empty())
        return false;
    // Opened without waiting, so that a FIFO cannot hang the probe.
    const int fd = ::open(normalized.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

std::string dir_of(const std::string& path)
{
    size_t last = path.find_last_of("/\\");
    if (last == std::string::npos)
        return "./";
    return path.substr(0, last + 1);
}

bool make_dirs(const std::string& path)
{
    if (file_exists(path))
        return true;
    std::string work(path);
    for (char& c : work)
        if (c == '\\')
            c = '/';
    if (work.empty() || work.back() != '/')
        work += '/';

    // Walk the components; an empty prefix (the root of an absolute path, or
    // a doubled "/") needs no creating. Drive names never occur here.
    std::string prefix;
    size_t start = 0;
    for (size_t slash = work.find('/'); slash != std::string::npos; slash = work.find('/', start)) {
        prefix += work.substr(start, slash - start);
        start = slash + 1;
        if (!prefix.empty() && !file_exists(prefix)) {
            if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
                return false;
        }
        prefix += '/';
    }
    return true;
}
