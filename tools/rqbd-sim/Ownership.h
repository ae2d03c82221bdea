// Which files at the agent's paths this simulator made. Without --root it
// works where a real agent keeps its pid file, sockets and binary, and those
// must never be replaced or removed. What it made is recorded with the file's
// identity (device, inode, change time), in a file that outlives a killed
// daemon, so that the next daemon on the same root may clear what a killed
// one left behind, and nothing else.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace rqbdsim {

class Ownership {
public:
    // Reads the record at recordPath (a missing or unreadable record owns
    // nothing).
    explicit Ownership(std::string recordPath);

    // Whether the file now at path is the very one this simulator made.
    bool owns(const std::string& path) const;

    // Makes way for a new file at path: true when nothing is there or our own
    // leftover was removed; false with a message when something else is there.
    bool clear(const std::string& path, std::string& error);

    // Records the file just made at path.
    void claim(const std::string& path);

    // Removes the file at path when it is ours and forgets it; anything else
    // there is left alone.
    void remove(const std::string& path);

private:
    struct Identity {
        uint64_t dev = 0, ino = 0;
        int64_t ctimeSec = 0, ctimeNsec = 0;
        bool operator==(const Identity& o) const {
            return dev == o.dev && ino == o.ino && ctimeSec == o.ctimeSec && ctimeNsec == o.ctimeNsec;
        }
    };
    static bool identify(const std::string& path, Identity& out);
    void save() const;

    std::string record_;
    std::map<std::string, Identity> made_;
};

}  // namespace rqbdsim
