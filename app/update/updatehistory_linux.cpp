// The history's POSIX parts: the XDG state folder, flock, uname.
#include "updatehistory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace updatehistory
{

std::string platform_state_base()
{
    const char *xdg = getenv("XDG_STATE_HOME");
    // A relative XDG path is to be ignored.
    if (xdg && xdg[0] == '/')
        return xdg;
    const char *home = getenv("HOME");
    if (!home || !*home)
        return "";
    return std::string(home) + "/.local/state";
}

int platform_make_dirs(const std::string &folder, std::string *problem)
{
    for (size_t at = 1; at <= folder.size(); ++at) {
        if (at < folder.size() && folder[at] != '/')
            continue;
        std::string part = folder.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *problem = part + ": " + strerror(errno);
            return 1;
        }
    }
    return 0;
}

intptr_t platform_lock(const std::string &path, std::string *problem)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *problem = path + ": " + strerror(errno);
        return -1;
    }
    // The other holder is appending one line: a moment.
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *problem = path + ": " + strerror(errno);
            close(fd);
            return -1;
        }
    }
    return fd;
}

void platform_unlock(intptr_t handle)
{
    if (handle >= 0)
        close((int)handle);
}

std::string platform_os()
{
    struct utsname u;
    if (uname(&u) != 0)
        return "Linux";
    return std::string(u.sysname) + " " + u.release + " " + u.machine;
}

} // namespace updatehistory
