// Where the simulator puts what the module looks for, below an optional root.
#pragma once

#include <string>

namespace rqbdsim {

struct Paths {
    std::string root;       // empty: the real system paths
    std::string readiness;  // <root>/dev/rqbds
    std::string request;    // <root>/dev/rqbdsj
    std::string events;     // <root>/dev/rqbdaj
    std::string pidFile;    // <root>/var/run/rqbd.pid
    std::string binary;     // <root>/usr/sbin/rqbd
    std::string control;    // <root>/run/rqbd-sim.ctl
    std::string owned;      // <root>/run/rqbd-sim.owned: what the simulator made (Ownership.h)

    static Paths under(const std::string& root);

    // Empty when every socket path fits a Unix socket address; otherwise a
    // message naming the first path that does not.
    std::string socketPathProblem() const;
};

// Creates the directories leading to path (not path itself). False with errno
// set on failure.
bool makeParentDirs(const std::string& path);

}  // namespace rqbdsim
