#pragma once
#include <string>

// Path helpers of the configuration store, also used for plate files and
// logs. Paths may use "/" or "\" and may carry surrounding double quotes.

// True when the path names a file or directory, as passed or normalised.
bool file_exists(const std::string& path);

// Creates the directory and every missing parent. True when it exists after.
bool make_dirs(const std::string& path);

// The path up to and including its last "/" or "\"; "./" when it has none.
//   dir_of("a/b/c.cfg") -> "a/b/"
std::string dir_of(const std::string& path);

// In place: every "\" becomes "/", every double quote is removed.
void normalize_path(std::string& path);
