#pragma once
// Named objects in /dev/shm made the way another account or a careless peer
// would make them, so that tests can check what an opener does with them.
//
//   const auto nobody = foreign_objects::nobody_account();   // only as root
//   ASSERT_TRUE(foreign_objects::plant({"X_properties", false, 20584}, 0666, nobody));
//   ... open, expect refusal ...
//   EXPECT_TRUE(foreign_objects::untouched({"X_properties", false, 20584}));
//
// Planting runs in a forked child, which takes the other account's identity
// (root only) before it creates the object with exactly the given mode.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace foreign_objects {

struct Account {
    uid_t uid;
    gid_t gid;
    std::string name;
};

struct Object {
    std::string name;      // object name without the leading "/"
    bool semaphore;        // a named semaphore, else a shared-memory segment
    std::size_t size = 0;  // bytes of a segment
};

// The count a planted semaphore starts with and the byte a planted segment
// is filled with; both must still be there after an opener refused them.
inline constexpr unsigned SEMAPHORE_COUNT = 3;
inline constexpr std::uint8_t FILL = 0xA5;

inline std::string path_of(const Object& o)
{
    return (o.semaphore ? "/dev/shm/sem." : "/dev/shm/") + o.name;
}

// The unprivileged "nobody" account, when this process may become it.
inline std::optional<Account> nobody_account()
{
    if (::geteuid() != 0)
        return std::nullopt;
    const passwd* pw = ::getpwnam("nobody");
    if (pw == nullptr)
        return std::nullopt;
    const group* gr = ::getgrnam("nogroup");
    return Account{pw->pw_uid, gr != nullptr ? gr->gr_gid : pw->pw_gid, pw->pw_name};
}

// Creates the object (it must not exist) with `mode`, as `as` or, without
// it, as this process's user. True when the object now exists.
inline bool plant(const Object& o, mode_t mode, const std::optional<Account>& as = std::nullopt)
{
    const int code = run_in_child([&]() -> int {
        if (as && (::setgroups(0, nullptr) != 0 || ::setgid(as->gid) != 0 || ::setuid(as->uid) != 0))
            return 10;
        ::umask(0);
        if (o.semaphore) {
            sem_t* s = ::sem_open(("/" + o.name).c_str(), O_CREAT | O_EXCL, mode, SEMAPHORE_COUNT);
            if (s == SEM_FAILED)
                return 11;
            ::sem_close(s);
            return ::chmod(path_of(o).c_str(), mode) == 0 ? 0 : 12;
        }
        const int fd = ::shm_open(("/" + o.name).c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
        if (fd < 0)
            return 13;
        const std::vector<char> fill(o.size, static_cast<char>(FILL));
        const bool ok = ::ftruncate(fd, static_cast<off_t>(o.size)) == 0 &&
                        ::write(fd, fill.data(), fill.size()) == static_cast<ssize_t>(fill.size()) &&
                        ::fchmod(fd, mode) == 0;
        ::close(fd);
        return ok ? 0 : 14;
    });
    return code == 0;
}

// True when the planted object still holds what plant() put there.
inline bool untouched(const Object& o)
{
    if (o.semaphore) {
        sem_t* s = ::sem_open(("/" + o.name).c_str(), 0);
        if (s == SEM_FAILED)
            return false;
        int value = -1;
        ::sem_getvalue(s, &value);
        ::sem_close(s);
        return value == static_cast<int>(SEMAPHORE_COUNT);
    }
    std::ifstream in(path_of(o), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes == std::string(o.size, static_cast<char>(FILL));
}

inline bool exists(const Object& o)
{
    struct stat st {};
    return ::lstat(path_of(o).c_str(), &st) == 0;
}

}  // namespace foreign_objects
