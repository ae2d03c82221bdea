#include "AgentCheck.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/SystemPaths.h"

namespace cimhost {
namespace {

// The daemon binaries the module looks for, in its order; the pid file is
// named after the one found.
const char* const kDaemons[] = {"/usr/sbin/rqbd", "/usr/sbin/qmas"};
// The readiness socket first: it is the one meant for probing.
const char kProbeSocket[] = "/dev/rqbds";
const char* const kChannelSockets[] = {"/dev/rqbdsj", "/dev/rqbdaj"};

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Connects to the readiness socket and hangs up at once, as the module's
// probe does; 0 or the errno of the failure.
int probe(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    const int rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int error = rc == 0 ? 0 : errno;
    close(fd);
    return error;
}

std::string socketFinding(const std::string& path, int error) {
    const std::string head = "  " + path + ": " + std::strerror(error);
    switch (error) {
        case ENOENT:
            return head + " (the agent makes it when it starts)\n";
        case ECONNREFUSED:
            return head + " (nobody listens: the agent stopped without cleaning up, or crashed)\n";
        case EACCES:
        case EPERM:
            return head + " (user " + std::to_string(geteuid()) +
                   " may not connect: run the host as a user the agent lets in, usually root)\n";
        default:
            return head + "\n";
    }
}

// A channel socket is not connected to here (that would open a session with
// the agent); that it exists and this user may connect is what shows.
int channelError(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno;
    if (!S_ISSOCK(st.st_mode)) return ENOTSOCK;
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

std::string whatToDo() {
#ifdef QMS_TEST_BUILD
    // systemPath("") is the root a test build puts every system path under.
    const std::string root = provider::systemPath("");
    return "Is rqbd running? This is a test build: the agent is looked for under " + root +
           " (QMS_TEST_ROOT); start the simulator there with `rqbd-sim serve --root " + root + "`.\n";
#else
    return "Is rqbd running? Start the agent daemon rqbd (as root) and try again.\n";
#endif
}

}  // namespace

std::string diagnoseAgent() {
    std::string daemon;
    for (const char* candidate : kDaemons)
        if (daemon.empty() && exists(provider::systemPath(candidate))) daemon = candidate;
    if (daemon.empty())
        return "the agent is not installed: neither " + provider::systemPath(kDaemons[0]) + " nor " +
               provider::systemPath(kDaemons[1]) + " exists.\n" + whatToDo();

    std::string findings;
    const std::string pidFile =
        provider::systemPath(("/var/run/" + daemon.substr(daemon.rfind('/') + 1) + ".pid").c_str());
    if (!exists(pidFile))
        findings += "  " + pidFile + ": " + std::strerror(ENOENT) + " (the agent is not running)\n";
    if (const int error = probe(provider::systemPath(kProbeSocket)))
        findings += socketFinding(provider::systemPath(kProbeSocket), error);
    for (const char* socketPath : kChannelSockets)
        if (const int error = channelError(provider::systemPath(socketPath)))
            findings += socketFinding(provider::systemPath(socketPath), error);
    if (findings.empty()) return {};
    return "the agent " + provider::systemPath(daemon.c_str()) + " cannot be reached:\n" + findings +
           whatToDo();
}

}  // namespace cimhost
