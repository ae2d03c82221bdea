#include "Paths.h"

#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>

namespace rqbdsim {

Paths Paths::under(const std::string& root) {
    std::string r = root;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r == "/") r.clear();
    Paths p;
    p.root = r;
    p.readiness = r + "/dev/rqbds";
    p.request = r + "/dev/rqbdsj";
    p.events = r + "/dev/rqbdaj";
    p.pidFile = r + "/var/run/rqbd.pid";
    p.binary = r + "/usr/sbin/rqbd";
    p.control = r + "/run/rqbd-sim.ctl";
    p.owned = r + "/run/rqbd-sim.owned";
    return p;
}

std::string Paths::socketPathProblem() const {
    const size_t limit = sizeof(sockaddr_un{}.sun_path) - 1;
    for (const std::string* path : {&readiness, &request, &events, &control}) {
        if (path->size() > limit) {
            return "socket path \"" + *path + "\" is " + std::to_string(path->size()) +
                   " bytes; Unix sockets allow " + std::to_string(limit) + ": choose a shorter --root";
        }
    }
    return {};
}

bool makeParentDirs(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        const std::string dir = path.substr(0, pos);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace rqbdsim
