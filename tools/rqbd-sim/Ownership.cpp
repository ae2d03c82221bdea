#include "Ownership.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace rqbdsim {

Ownership::Ownership(std::string recordPath) : record_(std::move(recordPath)) {
    std::ifstream in(record_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Identity id;
        std::string path;
        if (fields >> id.dev >> id.ino >> id.ctimeSec >> id.ctimeNsec && fields.get() == ' ' &&
            std::getline(fields, path) && !path.empty())
            made_[path] = id;
    }
}

bool Ownership::identify(const std::string& path, Identity& out) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    out.dev = static_cast<uint64_t>(st.st_dev);
    out.ino = static_cast<uint64_t>(st.st_ino);
    out.ctimeSec = static_cast<int64_t>(st.st_ctim.tv_sec);
    out.ctimeNsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
    return true;
}

bool Ownership::owns(const std::string& path) const {
    auto it = made_.find(path);
    Identity now;
    return it != made_.end() && identify(path, now) && now == it->second;
}

bool Ownership::clear(const std::string& path, std::string& error) {
    Identity now;
    if (!identify(path, now)) return true;
    if (!owns(path)) {
        error =
            path +
            " exists and was not made by rqbd-sim: it is left as it is (remove it yourself if it is stale, "
            "or serve under another --root)";
        return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + path + " left by an earlier rqbd-sim: " + std::strerror(errno);
        return false;
    }
    made_.erase(path);
    save();
    return true;
}

void Ownership::claim(const std::string& path) {
    Identity id;
    if (!identify(path, id)) return;
    made_[path] = id;
    save();
}

void Ownership::remove(const std::string& path) {
    if (!made_.count(path)) return;
    if (owns(path)) unlink(path.c_str());
    made_.erase(path);
    save();
}

void Ownership::save() const {
    // Written aside and renamed, so that a daemon killed meanwhile leaves the
    // old record or the new one, never half of one.
    if (made_.empty()) {
        unlink(record_.c_str());
        return;
    }
    const std::string temporary = record_ + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const auto& [path, id] : made_)
            out << id.dev << ' ' << id.ino << ' ' << id.ctimeSec << ' ' << id.ctimeNsec << ' ' << path
                << '\n';
        if (!out.flush()) {
            std::fprintf(stderr, "rqbd-sim: cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
            return;
        }
    }
    if (std::rename(temporary.c_str(), record_.c_str()) != 0)
        std::fprintf(stderr, "rqbd-sim: cannot write %s: %s\n", record_.c_str(), std::strerror(errno));
}

}  // namespace rqbdsim
