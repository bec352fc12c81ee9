#pragma once
#include <string>
#include <vector>

// Names (without directory) of the entries matching a path whose last
// component may hold the wildcards * and ?, sorted by byte value. Empty when
// nothing matches or the directory is missing.
//   list_files("/etc/sipper/*.platecfg") -> {"a.platecfg", "b.platecfg"}
std::vector<std::string> list_files(const std::string& pattern);

// Creates a directory and every missing parent ("/" or "\" separated).
// True when the directory exists afterwards.
bool make_directory_chain(const std::string& directory);
