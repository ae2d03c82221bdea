// rqbd-sim: a stand-in for the agent daemon. `serve` runs it; `ctl` talks to a
// running one through its control socket. README.md has the details.
#include <fcntl.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Daemon.h"
#include "Paths.h"
#include "Scenario.h"

namespace {

const char kServeArguments[] =
    "[--root DIR] [--scenario FILE] [--foreground] [--ready-fd N]\n"
    "                      [--max-requests N] [--die-with-parent] [--verbose]";
const char kServeOptions[] =
    "  --root DIR           everything below DIR, as a test build of the module expects with\n"
    "                       QMS_TEST_ROOT=DIR; without it the real /dev, /var/run, /usr/sbin (needs root)\n"
    "  --scenario FILE      what the agent knows; without it built-in defaults answer\n"
    "  --foreground         stay in the foreground (otherwise detach and print the pid once serving)\n"
    "  --ready-fd N         write \"ready\" to descriptor N (open for writing) once every endpoint listens\n"
    "  --max-requests N     the request log keeps the newest N requests (default 10000)\n"
    "  --die-with-parent    end with the thread that started it\n"
    "  --verbose            log every request and event to stderr\n";
const char kCtlArguments[] = "[--root DIR] COMMAND [ARGS...]";

// Requests the log keeps unless --max-requests says otherwise: enough for
// any one test to read back, a few megabytes at most.
constexpr size_t kDefaultMaxRequests = 10000;

bool isHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

int help(FILE* out = stdout) {
    std::fprintf(out,
                 "usage: rqbd-sim serve %s\n"
                 "       rqbd-sim ctl %s\n"
                 "       rqbd-sim --version\n"
                 "A stand-in for the agent daemon rqbd: `serve` runs it, `ctl` tells a running one to push\n"
                 "events or misbehave. `rqbd-sim serve --help` lists its options, `rqbd-sim ctl --help` the\n"
                 "control commands.\n",
                 kServeArguments, kCtlArguments);
    return 0;
}

int serveHelp() {
    std::printf("usage: rqbd-sim serve %s\nRuns the simulated agent daemon.\n%s", kServeArguments,
                kServeOptions);
    return 0;
}

int ctlHelp() {
    std::printf("usage: rqbd-sim ctl %s\nTells the daemon serving DIR to do COMMAND:\n", kCtlArguments);
    for (const std::string& name : rqbdsim::Daemon::commandNames()) {
        std::string arguments, what;
        rqbdsim::Daemon::commandUsage(name, arguments, what);
        std::printf("  %s%s%s\n      %s\n", name.c_str(), arguments.empty() ? "" : " ", arguments.c_str(),
                    what.c_str());
    }
    std::printf("`rqbd-sim ctl COMMAND --help` shows one command.\n");
    return 0;
}

int commandHelp(const std::string& name) {
    std::string arguments, what;
    rqbdsim::Daemon::commandUsage(name, arguments, what);
    std::printf("usage: rqbd-sim ctl [--root DIR] %s%s%s\n%s\n", name.c_str(), arguments.empty() ? "" : " ",
                arguments.c_str(), what.c_str());
    return 0;
}

// A command line that does not fit: what is wrong, the usage of the command
// it was meant for, exit code 2.
int misuse(const std::string& problem, const std::string& usageLine) {
    std::fprintf(stderr, "rqbd-sim: %s\nusage: %s\n", problem.c_str(), usageLine.c_str());
    return 2;
}

int serveMisuse(const std::string& problem) {
    return misuse(problem, std::string("rqbd-sim serve ") + kServeArguments);
}

int commandMisuse(const std::string& name, const std::string& problem) {
    std::string arguments, what;
    rqbdsim::Daemon::commandUsage(name, arguments, what);
    return misuse(problem.empty() ? name + " was given the wrong arguments" : name + ": " + problem,
                  "rqbd-sim ctl [--root DIR] " + name + (arguments.empty() ? "" : " ") + arguments);
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool parseCount(const std::string& text, unsigned long long max, unsigned long long& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    out = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0 && out <= max;
}

// The daemon writes "ready" to the descriptor and closes it. One the caller
// did not open would be the number of a descriptor the daemon opens itself,
// and closing that one (its signal descriptor, say) would break the daemon:
// so it must be open for writing before the daemon opens anything.
std::string readyDescriptorProblem(const std::string& text, int& fd) {
    unsigned long long n = 0;
    if (!parseCount(text, INT32_MAX, n)) return "is not a descriptor number";
    fd = static_cast<int>(n);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return "is not open: give a descriptor the caller opened for writing, such as a pipe";
    if ((flags & O_ACCMODE) == O_RDONLY) return "is not open for writing";
    return {};
}

int serve(const std::vector<std::string>& args) {
    std::string root, scenarioPath, readyText, maxRequestsText;
    bool foreground = false, verbose = false, dieWithParent = false;
    int readyFd = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--root" && hasValue) {
            root = args[++i];
        } else if (a == "--scenario" && hasValue) {
            scenarioPath = args[++i];
        } else if (a == "--ready-fd" && hasValue) {
            readyText = args[++i];
        } else if (a == "--max-requests" && hasValue) {
            maxRequestsText = args[++i];
        } else if (a == "--foreground") {
            foreground = true;
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--die-with-parent") {
            dieWithParent = true;
        } else if (isHelp(a)) {
            return serveHelp();
        } else if (!hasValue &&
                   (a == "--root" || a == "--scenario" || a == "--ready-fd" || a == "--max-requests")) {
            return serveMisuse(a + " needs a value");
        } else {
            return serveMisuse("unknown option " + a);
        }
    }
    if (!readyText.empty()) {
        if (std::string problem = readyDescriptorProblem(readyText, readyFd); !problem.empty()) {
            std::fprintf(stderr, "rqbd-sim: --ready-fd %s %s\n", readyText.c_str(), problem.c_str());
            return 1;
        }
    }
    unsigned long long maxRequests = kDefaultMaxRequests;
    if (!maxRequestsText.empty() && !parseCount(maxRequestsText, SIZE_MAX, maxRequests)) {
        std::fprintf(stderr, "rqbd-sim: --max-requests %s is not a count of requests\n",
                     maxRequestsText.c_str());
        return 1;
    }
    rqbdsim::Paths paths = rqbdsim::Paths::under(root);
    if (std::string problem = paths.socketPathProblem(); !problem.empty()) {
        std::fprintf(stderr, "rqbd-sim: %s\n", problem.c_str());
        return 1;
    }
    rqbdsim::Scenario scenario;
    if (!scenarioPath.empty()) {
        std::string text;
        if (!readFile(scenarioPath, text)) {
            std::fprintf(stderr, "rqbd-sim: cannot read scenario %s: %s\n", scenarioPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
        try {
            scenario = rqbdsim::Scenario::fromJson(text);
        } catch (const rqbdsim::ScenarioError& e) {
            std::fprintf(stderr, "rqbd-sim: %s: %s\n", scenarioPath.c_str(), e.what());
            return 1;
        }
    }
    if (dieWithParent) {
        // A test that dies must not leave its daemon behind.
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) return 1;
    }
    if (!foreground) {
        // Detach, but report success only once the child serves.
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) return 1;
        pid_t child = fork();
        if (child < 0) return 1;
        if (child > 0) {
            close(pipeFds[1]);
            char buffer[16] = {};
            ssize_t n = read(pipeFds[0], buffer, sizeof buffer - 1);
            if (n <= 0) return 1;
            std::printf("%d\n", static_cast<int>(child));
            if (readyFd >= 0) {
                ssize_t ignored = write(readyFd, buffer, static_cast<size_t>(n));
                (void)ignored;
                close(readyFd);
            }
            return 0;
        }
        close(pipeFds[0]);
        // The caller's descriptor is answered by the parent above; held open
        // here it would keep the caller's reader from its end of file.
        if (readyFd >= 0) close(readyFd);
        setsid();
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            close(null);
        }
        readyFd = pipeFds[1];
    }
    rqbdsim::Daemon daemon(paths, std::move(scenario), verbose, static_cast<size_t>(maxRequests));
    return daemon.run(readyFd);
}

int ctl(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    std::string root;
    if (!args.empty() && args[0] == "--root") {
        if (args.size() < 2)
            return misuse("--root needs a directory", std::string("rqbd-sim ctl ") + kCtlArguments);
        root = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return misuse("which command?", std::string("rqbd-sim ctl ") + kCtlArguments);
    if (isHelp(args[0])) return ctlHelp();
    std::string arguments, what;
    if (!rqbdsim::Daemon::commandUsage(args[0], arguments, what))
        return misuse("unknown command \"" + args[0] + "\" (`rqbd-sim ctl --help` lists them)",
                      std::string("rqbd-sim ctl ") + kCtlArguments);
    for (const std::string& a : args)
        if (isHelp(a)) return commandHelp(args[0]);
    // Files are read here, in the caller's working directory, not the daemon's.
    if ((args[0] == "push-raid" || args[0] == "scenario") && args.size() == 2 && isRegularFile(args[1])) {
        if (!readFile(args[1], args[1])) {
            std::fprintf(stderr, "rqbd-sim: cannot read %s\n", argsIn.back().c_str());
            return 1;
        }
    }
    const rqbdsim::Paths paths = rqbdsim::Paths::under(root);
    if (std::string problem = paths.socketPathProblem(); !problem.empty()) {
        std::fprintf(stderr, "rqbd-sim: %s\n", problem.c_str());
        return 1;
    }
    rapidjson::Document doc;
    doc.SetArray();
    for (const std::string& a : args)
        doc.PushBack(
            rapidjson::Value(a.c_str(), static_cast<rapidjson::SizeType>(a.size()), doc.GetAllocator()),
            doc.GetAllocator());
    std::string request = rqbdsim::toJson(doc) + "\n";

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, paths.control.c_str(), paths.control.size());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr,
                     "rqbd-sim: no daemon to talk to: connecting to %s failed: %s\n"
                     "Is one running? Start it with `rqbd-sim serve%s%s`.\n",
                     paths.control.c_str(), std::strerror(errno), root.empty() ? "" : " --root ",
                     root.c_str());
        if (fd >= 0) close(fd);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    for (size_t sent = 0; sent < request.size();) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::fprintf(stderr, "rqbd-sim: sending to the daemon failed: %s\n", std::strerror(errno));
            close(fd);
            return 1;
        }
        sent += static_cast<size_t>(n);
    }
    std::string response;
    char buffer[65536];
    for (;;) {
        // Waits ask the daemon to hold the answer; an hour covers any of them.
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, 3600 * 1000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        response.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    const size_t nl = response.find('\n');
    const std::string status = response.substr(0, nl);
    const std::string rest = nl == std::string::npos ? "" : response.substr(nl + 1);
    if (status == "ok") {
        std::fwrite(rest.data(), 1, rest.size(), stdout);
        return 0;
    }
    if (status.rfind("usage: ", 0) == 0) return commandMisuse(args[0], status.substr(7));
    if (status.rfind("error: ", 0) == 0) {
        std::fprintf(stderr, "rqbd-sim ctl %s: %s\n", args[0].c_str(), status.c_str() + 7);
        return 1;
    }
    std::fprintf(stderr, "rqbd-sim: %s\n",
                 status.empty() ? "the daemon closed the connection without an answer" : status.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc >= 2 ? argv[1] : "";
    std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
    if (isHelp(command)) return help();
    if (command == "--version") {
        std::printf("rqbd-sim %s\n", QMS_VERSION);
        return 0;
    }
    if (command == "serve") return serve(args);
    if (command == "ctl") return ctl(args);
    std::fprintf(stderr, "rqbd-sim: %s\n",
                 command.empty() ? "which command?" : ("unknown command \"" + command + "\"").c_str());
    help(stderr);
    return 2;
}
