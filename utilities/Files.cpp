#include "utilities/Files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace {

// Only * (any run of characters) and ? (one character) are special; every
// other character, brackets and backslashes included, stands for itself.
bool wildcard_match(const char* pattern, const char* name) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

bool is_directory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::vector<std::string> list_files(const std::string& pattern) {
    std::string path = pattern;
    std::replace(path.begin(), path.end(), '\\', '/');
    const size_t slash = path.rfind('/');
    std::string directory;
    std::string last;
    if (slash == std::string::npos) {
        directory = ".";
        last = path;
    } else {
        directory = slash == 0 ? "/" : path.substr(0, slash);
        last = path.substr(slash + 1);
    }

    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (wildcard_match(last.c_str(), name.c_str())) names.push_back(name);
    }
    closedir(dir);
    // std::string compares as unsigned bytes, which is the order wanted.
    std::sort(names.begin(), names.end());
    return names;
}

bool make_directory_chain(const std::string& directory) {
    std::string path = directory;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty()) return false;
    // Create each prefix ending before a "/", then the whole path.
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        const std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
    return is_directory(path);
}
