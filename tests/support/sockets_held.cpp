#include "support/sockets_held.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <string>
#endif

namespace kelvotest {

int socketsHeld() {
#if defined(_WIN32)
    return -1;
#else
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int sockets = 0;
    while (const dirent* e = ::readdir(dir)) {
        char link[64] = {};
        const std::string path = std::string("/proc/self/fd/") + e->d_name;
        if (::readlink(path.c_str(), link, sizeof link - 1) > 0 &&
            std::strncmp(link, "socket:", 7) == 0) {
            ++sockets;
        }
    }
    ::closedir(dir);
    return sockets;
#endif
}

}  // namespace kelvotest
