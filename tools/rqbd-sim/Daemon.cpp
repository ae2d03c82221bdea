#include "Daemon.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>

namespace rqbdsim {

using rapidjson::Value;

namespace {

// A peer that stops reading must not make the simulator hoard memory: past
// this many unsent bytes the connection is dropped. Room for two padded
// events of the largest frame (a log entry is pushed as two).
constexpr size_t kMaxQueued = 2 * (kMaxFramePayload + 4) + (1u << 20);
constexpr size_t kMaxControlLine = 4u << 20;
constexpr uint64_t kEveryReply = UINT64_MAX;
constexpr uint64_t kMaxMs = 3600000;
// A cut frame's connection is closed once the peer has read what came, so
// that it meets a short frame rather than a hang-up; a peer that does not
// read is closed on anyway after this long.
constexpr auto kCutGrace = std::chrono::seconds(10);
constexpr auto kDrainPoll = std::chrono::milliseconds(5);
constexpr size_t kInitBlockSize = 218;
constexpr size_t kInitNameSize = 65;
constexpr uint32_t kRequestChannel = 0x1100;
constexpr uint32_t kEventChannel = 0x1200;
constexpr uint32_t kStatusInvalid = 22;

void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logLine(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::fputs("rqbd-sim: ", stderr);
    std::vfprintf(stderr, format, ap);
    std::fputc('\n', stderr);
    va_end(ap);
}

bool parseUnsigned(const std::string& s, uint64_t& out) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(s.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

// Arguments of a control command: "--name value" pairs and plain words.
struct Parsed {
    std::map<std::string, std::string> flags;
    std::vector<std::string> words;
    std::string error;
};

Parsed parseArgs(const std::vector<std::string>& args, std::initializer_list<const char*> valued,
                 std::initializer_list<const char*> switches = {}) {
    Parsed p;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) {
            p.words.push_back(a);
            continue;
        }
        if (std::find_if(switches.begin(), switches.end(), [&](const char* s) { return a == s; }) !=
            switches.end()) {
            p.flags[a] = "1";
        } else if (std::find_if(valued.begin(), valued.end(), [&](const char* s) { return a == s; }) !=
                   valued.end()) {
            if (i + 1 >= args.size()) {
                p.error = a + " needs a value";
                return p;
            }
            p.flags[a] = args[++i];
        } else {
            p.error = "unknown option " + a;
            return p;
        }
    }
    return p;
}

// Optional "--ms MS" of a timed fault: false when it is given badly.
bool parseMs(Parsed& p, uint64_t& ms, bool& given) {
    given = p.flags.count("--ms") > 0;
    return !given || (parseUnsigned(p.flags["--ms"], ms) && ms <= kMaxMs);
}

// "--pad-to BYTES" of the push commands.
bool parsePadTo(Parsed& p, size_t& padTo, std::string& error) {
    padTo = 0;
    if (!p.flags.count("--pad-to")) return true;
    uint64_t n = 0;
    if (!parseUnsigned(p.flags["--pad-to"], n) || n > kMaxFramePayload) {
        error = "--pad-to takes a payload size of at most " + std::to_string(kMaxFramePayload) + " bytes";
        return false;
    }
    padTo = static_cast<size_t>(n);
    return true;
}

// Whitespace inside the document changes nothing it says, only the size of
// its frame: payload bytes (text and NUL) grow to `payload` when short of it.
std::string padded(std::string text, size_t payload) {
    if (payload <= text.size() + 1) return text;
    const size_t at = !text.empty() && text.back() == '}' ? text.size() - 1 : text.size();
    text.insert(at, payload - text.size() - 1, ' ');
    return text;
}

// The length word whole and half of what it promises.
size_t halfFrame(const std::string& frame) { return 4 + (frame.size() - 4) / 2; }

// Whether a Unix stream peer has taken every byte sent to it: the kernel
// keeps sent data charged to the sender until the receiver reads it.
bool peerReadAll(int fd) {
    int unread = 0;
    return ioctl(fd, SIOCOUTQ, &unread) != 0 || unread == 0;
}

std::vector<std::string> splitComma(const std::string& s) {
    std::vector<std::string> out;
    if (s.empty()) return out;
    size_t start = 0;
    for (size_t pos; (pos = s.find(',', start)) != std::string::npos; start = pos + 1)
        out.push_back(s.substr(start, pos - start));
    out.push_back(s.substr(start));
    return out;
}

std::string envelope(Value& commandList, rapidjson::Document& doc) {
    Value sip(rapidjson::kObjectType);
    sip.AddMember("V", 1u, doc.GetAllocator());
    sip.AddMember("CMD", commandList, doc.GetAllocator());
    doc.SetObject();
    doc.AddMember("SIP", sip, doc.GetAllocator());
    return toJson(doc);
}

// One event document: a single command with status 0 and the given data.
template <typename SetData>
std::string eventText(uint32_t opcode, uint32_t cabinet, SetData setData) {
    rapidjson::Document doc;
    auto& alloc = doc.GetAllocator();
    Value cmd(rapidjson::kObjectType);
    cmd.AddMember("OC", opcode, alloc);
    cmd.AddMember("CA", cabinet, alloc);
    cmd.AddMember("ST", 0u, alloc);
    Value da;
    setData(da, alloc);
    cmd.AddMember("DA", da, alloc);
    Value list(rapidjson::kArrayType);
    list.PushBack(cmd, alloc);
    return envelope(list, doc);
}

void rawBytes(Value& da, rapidjson::Document::AllocatorType& alloc, const std::vector<uint8_t>& bytes) {
    Value raw(rapidjson::kArrayType);
    for (uint8_t b : bytes) raw.PushBack(static_cast<unsigned>(b), alloc);
    da.SetObject();
    da.AddMember("RAW", raw, alloc);
}

const char* channelName(bool event) { return event ? "event" : "request"; }

}  // namespace

Daemon::Daemon(Paths paths, Scenario scenario, bool verbose, size_t maxRequests)
    : paths_(std::move(paths)),
      scenario_(std::move(scenario)),
      verbose_(verbose),
      owned_(paths_.owned),
      maxRecords_(maxRequests) {}

Daemon::~Daemon() {
    for (auto& c : conns_) closeConn(*c);
    closeListeners();
    for (const std::string* path : {&paths_.readiness, &paths_.request, &paths_.events, &paths_.pidFile})
        owned_.remove(*path);
    if (controlFd_ >= 0) close(controlFd_);
    owned_.remove(paths_.control);
    if (signalFd_ >= 0) close(signalFd_);
}

const std::vector<Daemon::CommandRow>& Daemon::commands() {
    static const std::vector<CommandRow> table = {
        {"push-syslog", &Daemon::cmdPushSyslog,
         "N [--args a,b] [--text T] [--severity S] [--message-number M] [--attributes A] [--time T] "
         "[--pad-to BYTES]",
         "push the two events of a new system log entry N"},
        {"push-drvmon", &Daemon::cmdPushDrvMon, "N [--pad-to BYTES]", "push a new driver-monitor entry N"},
        {"push-raid", &Daemon::cmdPushRaid, "NAME|FILE|TEXT [--pad-to BYTES]", "push a RAID event"},
        {"push-raw", &Daemon::cmdPushRaw, "JSON [--pad-to BYTES]",
         "push a command object or any text as an event"},
        {"delay-replies", &Daemon::cmdDelayReplies, "MS", "delay every reply by MS (0 ends it)"},
        {"drop-replies", &Daemon::cmdDropReplies, "N|all", "send no reply to the next N requests, or to any"},
        {"duplicate-replies", &Daemon::cmdDuplicateReplies, "N", "send each of the next N replies twice"},
        {"malformed-frame", &Daemon::cmdMalformedFrame, "[--events]",
         "the next reply (or an event now) is not JSON"},
        {"truncated-frame", &Daemon::cmdTruncatedFrame, "[--events]",
         "the next reply (or an event now) is cut in half"},
        {"stall-frame", &Daemon::cmdStallFrame, "[--events] [--ms MS]",
         "hold back the second half of the next frame"},
        {"resume-frames", &Daemon::cmdResumeFrames, "", "send the held-back halves now"},
        {"close-clients", &Daemon::cmdCloseClients, "[--request] [--event]", "close client connections"},
        {"restart", &Daemon::cmdRestart, "--down-ms MS",
         "remove the endpoints for MS, as an orderly restart"},
        {"refuse-connections", &Daemon::cmdRefuseConnections, "[--ms MS]",
         "keep the endpoints but listen on none"},
        {"accept-connections", &Daemon::cmdAcceptConnections, "", "end a refusal or a restart's down time"},
        {"crash", &Daemon::cmdCrash, "", "die by SIGKILL, leaving sockets and pid file behind"},
        {"uninstall", &Daemon::cmdUninstall, "", "remove usr/sbin/rqbd if rqbd-sim installed it"},
        {"requests", &Daemon::cmdRequests, "", "the requests received, one JSON object a line"},
        {"clear-requests", &Daemon::cmdClearRequests, "", "forget the recorded requests"},
        {"status", &Daemon::cmdStatus, "", "the daemon's state as JSON"},
        {"wait-subscribers", &Daemon::cmdWaitSubscribers, "N [--timeout-ms MS]",
         "return once N event channels are open"},
        {"wait-requests", &Daemon::cmdWaitRequests, "N [--timeout-ms MS]",
         "return once N requests are recorded"},
        {"scenario", &Daemon::cmdScenario, "FILE|JSON", "replace the scenario"},
        {"stop", &Daemon::cmdStop, "", "stop the daemon"},
    };
    return table;
}

const Daemon::CommandRow* Daemon::findCommand(const std::string& name) {
    for (const CommandRow& row : commands())
        if (name == row.name) return &row;
    return nullptr;
}

bool Daemon::commandUsage(const std::string& name, std::string& arguments, std::string& what) {
    const CommandRow* row = findCommand(name);
    if (!row) return false;
    arguments = row->arguments;
    what = row->what;
    return true;
}

std::vector<std::string> Daemon::commandNames() {
    std::vector<std::string> names;
    for (const CommandRow& row : commands()) names.push_back(row.name);
    return names;
}

Daemon::CommandResult Daemon::badUsage(std::string problem) {
    CommandResult r;
    r.ok = false;
    r.badUsage = true;
    r.output = std::move(problem);
    return r;
}

int Daemon::listenOn(const std::string& path, std::string& error) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        // A live socket means another daemon serves this root; a dead one may
        // be our own, left by a killed run, and is cleared only then.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size());
        const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) close(probe);
        if (live) {
            error = path + " is served by another running daemon";
            return -1;
        }
    }
    if (!owned_.clear(path, error)) return -1;
    if (!makeParentDirs(path)) {
        error = "cannot create the directories of " + path + ": " + std::strerror(errno);
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    owned_.claim(path);
    if (listen(fd, 64) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool Daemon::placeDeadSocket(const std::string& path, std::string& error) {
    if (owned_.owns(path)) return true;  // ours, and nobody listens on it any more
    if (!owned_.clear(path, error)) return false;
    if (!makeParentDirs(path)) {
        error = "cannot create the directories of " + path + ": " + std::strerror(errno);
        return false;
    }
    // Bound and never listened on: connecting is refused, as with the socket
    // file of a daemon that was killed.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!bound) error = "cannot create " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    if (bound) owned_.claim(path);
    return bound;
}

bool Daemon::writePidFile(std::string& error) {
    if (!owned_.clear(paths_.pidFile, error)) return false;
    if (!makeParentDirs(paths_.pidFile)) {
        error = "cannot create the directories of " + paths_.pidFile + ": " + std::strerror(errno);
        return false;
    }
    // O_EXCL: a file that appeared since the check is someone else's.
    int fd = open(paths_.pidFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + paths_.pidFile + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = std::to_string(getpid()) + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    // Claimed once written: writing changes the identity the record keeps.
    owned_.claim(paths_.pidFile);
    if (!written) error = "cannot write " + paths_.pidFile + ": " + std::strerror(errno);
    return written;
}

bool Daemon::installMarker(std::string& error) {
    // The module only checks that the daemon binary exists. One that is there
    // already, ours or an installed agent's, is left as it is.
    struct stat st;
    if (lstat(paths_.binary.c_str(), &st) == 0) return true;
    if (!makeParentDirs(paths_.binary)) {
        error = "cannot create the directories of " + paths_.binary + ": " + std::strerror(errno);
        return false;
    }
    // Pointing it at ourselves also tells a reader who put it there.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0 || (self[n] = '\0', symlink(self, paths_.binary.c_str())) != 0) {
        int fd = open(paths_.binary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0755);
        if (fd < 0) {
            error = "cannot install " + paths_.binary + ": " + std::strerror(errno);
            return false;
        }
        close(fd);
    }
    owned_.claim(paths_.binary);
    return true;
}

bool Daemon::bringUp(std::string& error) {
    // The readiness socket comes last: once it accepts, everything else is
    // there, as a client probing it expects.
    closeListeners();
    if ((requestFd_ = listenOn(paths_.request, error)) < 0 ||
        (eventFd_ = listenOn(paths_.events, error)) < 0 || !writePidFile(error) ||
        (readinessFd_ = listenOn(paths_.readiness, error)) < 0) {
        closeListeners();
        return false;
    }
    endpoints_ = Endpoints::Up;
    until_ = Clock::time_point::max();
    return true;
}

void Daemon::closeListeners() {
    for (int* fd : {&readinessFd_, &requestFd_, &eventFd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void Daemon::goDown(Clock::time_point until) {
    closeListeners();
    for (const std::string* path : {&paths_.readiness, &paths_.request, &paths_.events, &paths_.pidFile})
        owned_.remove(*path);
    endpoints_ = Endpoints::Down;
    until_ = until;
}

bool Daemon::refuse(Clock::time_point until, std::string& error) {
    // Listeners closed, files kept (or put back after a restart took them).
    closeListeners();
    endpoints_ = Endpoints::Refusing;
    until_ = until;
    for (const std::string* path : {&paths_.request, &paths_.events, &paths_.readiness})
        if (!placeDeadSocket(*path, error)) return false;
    return owned_.owns(paths_.pidFile) || writePidFile(error);
}

int Daemon::run(int readyFd) {
    std::string error;
    if (std::string problem = paths_.socketPathProblem(); !problem.empty()) {
        logLine("%s", problem.c_str());
        return 1;
    }
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signalFd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0) {
        logLine("signalfd: %s", std::strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    if ((controlFd_ = listenOn(paths_.control, error)) < 0 || !installMarker(error) || !bringUp(error)) {
        const bool denied = errno == EACCES || errno == EPERM;
        logLine("%s", error.c_str());
        if (denied)
            logLine("%s",
                    paths_.root.empty() || paths_.root == "/"
                        ? "without --root the agent's real paths are used, which needs root; give "
                          "--root DIR to serve below DIR instead"
                        : "this user may not create files there; choose a --root this user may write to");
        return 1;
    }
    if (readyFd >= 0) {
        const char ready[] = "ready\n";
        ssize_t ignored = write(readyFd, ready, sizeof ready - 1);
        (void)ignored;
        close(readyFd);
    }
    if (verbose_) logLine("serving under \"%s\" (pid %d)", paths_.root.c_str(), static_cast<int>(getpid()));

    std::vector<pollfd> fds;
    std::vector<Conn*> polled;
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        if (endpoints_ != Endpoints::Up && now >= until_) {
            if (!bringUp(error)) {
                logLine("cannot bring the endpoints back: %s", error.c_str());
                return 1;
            }
            if (verbose_) logLine("endpoints back up");
        }
        checkWaits(now);
        closeDrained(now);

        fds.clear();
        polled.clear();
        Clock::time_point wake = until_;
        for (const Wait& w : waits_) wake = std::min(wake, w.deadline);
        fds.push_back({signalFd_, POLLIN, 0});
        fds.push_back({controlFd_, POLLIN, 0});
        for (int fd : {readinessFd_, requestFd_, eventFd_})
            fds.push_back({fd, static_cast<short>(fd >= 0 ? POLLIN : 0), 0});
        for (auto& c : conns_) {
            short events = POLLIN;
            if (!c->out.empty()) {
                if (c->out.front().due <= now)
                    events |= POLLOUT;
                else
                    wake = std::min(wake, c->out.front().due);
            }
            // No event tells when a peer has read what it was sent: look again soon.
            if (c->draining) wake = std::min(wake, now + kDrainPoll);
            fds.push_back({c->fd, events, 0});
            polled.push_back(c.get());
        }
        int timeout = -1;
        if (wake != Clock::time_point::max()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
            timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
        }
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            logLine("poll: %s", std::strerror(errno));
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            while (read(signalFd_, &info, sizeof info) == sizeof info) stopping_ = true;
        }
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            // Without it SIGTERM would go unheard and every poll return at once.
            logLine("lost the signal descriptor; stopping");
            return 1;
        }
        const Clock::time_point after = Clock::now();
        for (size_t i = 0; i < polled.size(); ++i) {
            Conn& c = *polled[i];
            const short re = fds[5 + i].revents;
            if (c.fd < 0 || re == 0) continue;
            if (re & POLLIN) readFrom(c);
            if (c.fd >= 0 && (re & POLLOUT)) writeTo(c, after);
            if (c.fd >= 0 && (re & (POLLERR | POLLNVAL))) closeConn(c);
            // Hang-up with nothing left to read: the peer is gone.
            if (c.fd >= 0 && (re & POLLHUP) && !(re & POLLIN)) closeConn(c);
        }
        if (fds[1].revents & POLLIN) acceptFrom(controlFd_, Kind::Control);
        // Endpoints may have gone down during this round (restart, refusal, stop).
        if (endpoints_ == Endpoints::Up) {
            if (fds[2].fd == readinessFd_ && (fds[2].revents & POLLIN))
                acceptFrom(readinessFd_, Kind::Readiness);
            if (fds[3].fd == requestFd_ && (fds[3].revents & POLLIN)) acceptFrom(requestFd_, Kind::Request);
            if (fds[4].fd == eventFd_ && (fds[4].revents & POLLIN)) acceptFrom(eventFd_, Kind::Event);
        }
        conns_.erase(std::remove_if(conns_.begin(), conns_.end(), [](const auto& c) { return c->fd < 0; }),
                     conns_.end());
    }
    if (verbose_) logLine("stopping");
    return 0;
}

void Daemon::acceptFrom(int listenFd, Kind kind) {
    for (;;) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN, or a peer that left before we got to it
        if (kind == Kind::Readiness) {
            // A readiness probe only needs the connect to succeed.
            close(fd);
            continue;
        }
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        c->kind = kind;
        c->id = nextConnId_++;
        conns_.push_back(std::move(c));
    }
}

void Daemon::closeConn(Conn& c) {
    if (c.fd < 0) return;
    close(c.fd);
    c.fd = -1;
    c.out.clear();
    c.outOffset = 0;
    c.queued = 0;
}

void Daemon::closeDrained(Clock::time_point now) {
    for (auto& c : conns_)
        if (c->fd >= 0 && c->draining && (now >= c->closeBy || peerReadAll(c->fd))) closeConn(*c);
}

Daemon::Conn* Daemon::findConn(uint64_t id) {
    for (auto& c : conns_)
        if (c->id == id && c->fd >= 0) return c.get();
    return nullptr;
}

void Daemon::queue(Conn& c, std::string bytes, Clock::duration delay, After after) {
    // A cut connection sends nothing more, whatever it is still asked.
    if (c.fd < 0 || c.draining) return;
    if (c.queued + bytes.size() > kMaxQueued) {
        logLine("connection %llu does not read; dropping it", static_cast<unsigned long long>(c.id));
        closeConn(c);
        return;
    }
    c.queued += bytes.size();
    c.out.push_back({Clock::now() + delay, std::move(bytes), after, false});
}

void Daemon::queueStalled(Conn& c, const std::string& frame, Clock::duration delay, const Stall& stall) {
    const size_t half = halfFrame(frame);
    queue(c, frame.substr(0, half), delay);
    if (c.fd < 0) return;
    const Clock::time_point due =
        stall.untilResumed ? Clock::time_point::max() : Clock::now() + delay + stall.length;
    c.queued += frame.size() - half;
    c.out.push_back({due, frame.substr(half), After::Nothing, true});
}

void Daemon::writeTo(Conn& c, Clock::time_point now) {
    while (c.fd >= 0 && !c.out.empty() && c.out.front().due <= now) {
        Outgoing& o = c.out.front();
        ssize_t n = send(c.fd, o.bytes.data() + c.outOffset, o.bytes.size() - c.outOffset, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            closeConn(c);
            return;
        }
        c.outOffset += static_cast<size_t>(n);
        if (c.outOffset < o.bytes.size()) return;
        const After after = o.after;
        c.queued -= o.bytes.size();
        c.outOffset = 0;
        c.out.pop_front();
        if (after == After::Close) {
            closeConn(c);
        } else if (after == After::CloseOnceRead) {
            c.draining = true;
            c.closeBy = now + kCutGrace;
            c.out.clear();
            c.queued = 0;
        }
    }
}

void Daemon::readFrom(Conn& c) {
    char buffer[65536];
    ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        closeConn(c);
        return;
    }
    if (n < 0) return;
    if (c.kind == Kind::Control) {
        c.controlLine.append(buffer, static_cast<size_t>(n));
        size_t nl = c.controlLine.find('\n');
        if (nl != std::string::npos) {
            std::string line = c.controlLine.substr(0, nl);
            c.controlLine.clear();
            handleControl(c, line);
        } else if (c.controlLine.size() > kMaxControlLine) {
            closeConn(c);
        }
        return;
    }
    c.decoder.feed(buffer, static_cast<size_t>(n));
    std::string text;
    for (;;) {
        FrameDecoder::Result r = c.decoder.next(text);
        if (r == FrameDecoder::Result::NeedMore) return;
        if (r == FrameDecoder::Result::Oversized) {
            record(c, "\"invalid\":\"oversized frame\"");
            closeConn(c);
            return;
        }
        handleFrame(c, text);
        if (c.fd < 0) return;
    }
}

void Daemon::record(const Conn& c, const std::string& members) {
    ++recorded_;
    const uint64_t seq = nextSeq_++;
    if (maxRecords_ == 0) {
        ++droppedRecords_;
        return;
    }
    if (records_.size() == maxRecords_) {
        records_.pop_front();
        ++droppedRecords_;
    }
    records_.push_back("{\"seq\":" + std::to_string(seq) + ",\"conn\":" + std::to_string(c.id) +
                       ",\"channel\":\"" + channelName(c.kind == Kind::Event) + "\"," + members + "}");
}

void Daemon::sendReply(Conn& c, const std::string& text) {
    if (dropReplies_ > 0) {
        if (dropReplies_ != kEveryReply) --dropReplies_;
        return;
    }
    // Faults armed together meet in the same reply: its text broken, then
    // the frame cut or stalled, then a second copy behind it.
    const std::string frame = encodeFrame(malformedNext_ ? text.substr(0, text.size() / 2) + "#" : text);
    malformedNext_ = false;
    const bool twice = duplicateReplies_ > 0;
    if (twice) --duplicateReplies_;
    if (truncatedNext_) {
        // Half the frame, then the connection ends once the peer has read
        // it: the length word promises more than ever arrives.
        truncatedNext_ = false;
        queue(c, frame.substr(0, halfFrame(frame)), replyDelay_, After::CloseOnceRead);
    } else {
        if (replyStall_.armed) {
            replyStall_.armed = false;
            queueStalled(c, frame, replyDelay_, replyStall_);
        } else {
            queue(c, frame, replyDelay_);
        }
        if (twice) queue(c, frame, replyDelay_);
    }
    // What is due goes now, not after another round of poll: the client
    // waits for it, and the round costs a poll over every connection.
    writeTo(c, Clock::now());
}

void Daemon::handleFrame(Conn& c, const std::string& text) {
    rapidjson::Document request;
    request.Parse(text.c_str(), text.size());
    const Value* cmds = nullptr;
    if (!request.HasParseError() && request.IsObject() && request.HasMember("SIP") &&
        request["SIP"].IsObject()) {
        const Value& sip = request["SIP"];
        if (sip.HasMember("V") && sip["V"].IsUint() && sip["V"].GetUint() == 1 && sip.HasMember("CMD") &&
            sip["CMD"].IsArray())
            cmds = &sip["CMD"];
    }
    rapidjson::Document reply;
    auto& alloc = reply.GetAllocator();
    Value list(rapidjson::kArrayType);
    if (!cmds || cmds->Empty()) {
        Value invalid(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), alloc);
        record(c, "\"invalid\":" + toJson(invalid));
        Value cmd(rapidjson::kObjectType);
        cmd.AddMember("OC", 0u, alloc);
        cmd.AddMember("ST", kStatusInvalid, alloc);
        list.PushBack(cmd, alloc);
        sendReply(c, envelope(list, reply));
        return;
    }
    for (const Value& cmd : cmds->GetArray()) {
        Value answer(rapidjson::kObjectType);
        if (!cmd.IsObject()) {
            record(c, "\"invalid\":" + toJson(cmd));
            answer.AddMember("ST", kStatusInvalid, alloc);
            list.PushBack(answer, alloc);
            continue;
        }
        std::string members;
        for (const char* name : {"OC", "OE", "OI", "CA", "ST", "DA"}) {
            auto it = cmd.FindMember(name);
            if (it == cmd.MemberEnd()) continue;
            if (!members.empty()) members += ',';
            members += std::string("\"") + name + "\":" + toJson(it->value);
        }
        record(c, members);
        if (verbose_)
            logLine("conn %llu %s: %s", static_cast<unsigned long long>(c.id),
                    channelName(c.kind == Kind::Event), toJson(cmd).c_str());

        auto oc = cmd.FindMember("OC");
        if (oc != cmd.MemberEnd() && oc->value.IsUint() && oc->value.GetUint() == kOpChannelInit) {
            const uint32_t wanted = c.kind == Kind::Event ? kEventChannel : kRequestChannel;
            auto oe = cmd.FindMember("OE");
            const bool fits = oe != cmd.MemberEnd() && oe->value.IsUint() && oe->value.GetUint() == wanted;
            answer.AddMember("OC", kOpChannelInit, alloc);
            if (oe != cmd.MemberEnd()) answer.AddMember("OE", Value(oe->value, alloc), alloc);
            answer.AddMember("CA", 0u, alloc);
            if (!fits) {
                answer.AddMember("ST", kStatusInvalid, alloc);
            } else {
                // The block comes back with the client's name and, at 65..68,
                // our own descriptor of this channel.
                std::vector<uint8_t> block(kInitBlockSize, 0);
                auto da = cmd.FindMember("DA");
                if (da != cmd.MemberEnd() && da->value.IsObject() && da->value.HasMember("RAW") &&
                    da->value["RAW"].IsArray()) {
                    const Value& raw = da->value["RAW"];
                    for (rapidjson::SizeType i = 0; i < raw.Size() && i < kInitNameSize; ++i)
                        block[i] = raw[i].IsUint() ? static_cast<uint8_t>(raw[i].GetUint()) : 0;
                }
                for (int i = 0; i < 4; ++i)
                    block[kInitNameSize + i] = static_cast<uint8_t>((c.fd >> (8 * i)) & 0xFF);
                answer.AddMember("ST", 0u, alloc);
                Value data;
                rawBytes(data, alloc, block);
                answer.AddMember("DA", data, alloc);
                c.initialized = true;
            }
        } else {
            scenario_.answer(cmd, answer, alloc);
        }
        list.PushBack(answer, alloc);
    }
    sendReply(c, envelope(list, reply));
}

size_t Daemon::subscriberCount() const {
    size_t n = 0;
    for (const auto& c : conns_)
        if (c->fd >= 0 && c->kind == Kind::Event && c->initialized) ++n;
    return n;
}

size_t Daemon::pushEvent(const std::string& text, size_t padTo) {
    const std::string frame = encodeFrame(padded(text, padTo));
    size_t n = 0;
    for (auto& c : conns_) {
        if (c->fd < 0 || c->kind != Kind::Event || !c->initialized) continue;
        if (eventStall_.armed)
            queueStalled(*c, frame, {}, eventStall_);
        else
            queue(*c, frame);
        if (c->fd >= 0) ++n;
    }
    // The stall is for the next event someone receives.
    if (n > 0) eventStall_.armed = false;
    if (verbose_) logLine("event (%zu bytes) to %zu subscribers: %s", frame.size(), n, text.c_str());
    return n;
}

void Daemon::checkWaits(Clock::time_point now) {
    for (size_t i = 0; i < waits_.size();) {
        Wait& w = waits_[i];
        Conn* c = findConn(w.connId);
        const size_t have = w.forSubscribers ? subscriberCount() : static_cast<size_t>(recorded_);
        if (c && (have >= w.target || now >= w.deadline)) {
            std::string out = have >= w.target ? "ok\n" + std::to_string(have) + "\n"
                                               : "error: timed out with " + std::to_string(have) + "\n";
            queue(*c, std::move(out), {}, After::Close);
        }
        if (!c || have >= w.target || now >= w.deadline)
            waits_.erase(waits_.begin() + static_cast<long>(i));
        else
            ++i;
    }
}

void Daemon::handleControl(Conn& c, const std::string& line) {
    rapidjson::Document doc;
    doc.Parse(line.c_str(), line.size());
    Args args;
    bool wellFormed = !doc.HasParseError() && doc.IsArray() && !doc.Empty();
    if (wellFormed) {
        for (const Value& v : doc.GetArray()) {
            if (!v.IsString())
                wellFormed = false;
            else
                args.emplace_back(v.GetString(), v.GetStringLength());
        }
    }
    CommandResult result;
    if (!wellFormed) {
        result = {false, "a control request is one JSON array of strings on one line"};
    } else {
        const CommandRow* row = findCommand(args[0]);
        if (!row)
            result = badUsage("unknown command \"" + args[0] + "\"");
        else
            result = (this->*(row->run))(c, args);
    }
    if (result.deferred) return;
    if (result.stop || result.crash) {
        // Answer before the loop ends; the socket buffer takes a line this short.
        const std::string ok = "ok\n";
        ssize_t ignored = send(c.fd, ok.data(), ok.size(), MSG_NOSIGNAL);
        (void)ignored;
        if (result.crash) {
            // As kill -9 ends an agent: no close, no unlink, no goodbye.
            if (verbose_) logLine("crashing on request");
            raise(SIGKILL);
        }
        closeConn(c);
        stopping_ = true;
        return;
    }
    // "usage:" tells ctl to show the command's arguments and exit as for any
    // misuse of a command line.
    std::string out = result.ok         ? "ok\n" + result.output
                      : result.badUsage ? "usage: " + result.output + "\n"
                                        : "error: " + result.output + "\n";
    queue(c, std::move(out), {}, After::Close);
}

Daemon::CommandResult Daemon::cmdPushSyslog(Conn&, const Args& args) {
    Parsed p = parseArgs(
        args, {"--args", "--text", "--severity", "--message-number", "--attributes", "--time", "--pad-to"});
    size_t padTo = 0;
    if (!p.error.empty() || !parsePadTo(p, padTo, p.error)) return badUsage(p.error);
    uint64_t number = 0;
    if (p.words.size() != 1 || !parseUnsigned(p.words[0], number) || number > 0xFFFFFFFF)
        return badUsage("N is the entry's number, from 0 to 4294967295");

    const LogEntry* known = scenario_.findLogEntry(static_cast<uint32_t>(number));
    LogEntry entry = known ? *known : LogEntry{};
    entry.number = static_cast<uint32_t>(number);
    bool changed = false;
    struct Field {
        const char* flag;
        uint64_t max;
        std::function<void(uint64_t)> set;
    };
    for (const Field& f : std::initializer_list<Field>{
             {"--severity", 0xFF, [&](uint64_t v) { entry.severity = static_cast<uint8_t>(v); }},
             {"--message-number", 0xFFFF,
              [&](uint64_t v) { entry.messageNumber = static_cast<uint16_t>(v); }},
             {"--attributes", 0xFF, [&](uint64_t v) { entry.attributes = static_cast<uint8_t>(v); }},
             {"--time", 0xFFFFFFFF, [&](uint64_t v) { entry.time = static_cast<int32_t>(v); }}}) {
        auto it = p.flags.find(f.flag);
        if (it == p.flags.end()) continue;
        uint64_t v = 0;
        if (!parseUnsigned(it->second, v) || v > f.max)
            return badUsage(std::string(f.flag) + " takes a number from 0 to " + std::to_string(f.max));
        f.set(v);
        changed = true;
    }
    if (p.flags.count("--text")) {
        entry.text = p.flags["--text"];
        changed = true;
    }
    if (p.flags.count("--args")) entry.args = splitComma(p.flags["--args"]);
    // A new or changed entry joins the log, so that the reads which follow
    // the event find it.
    if (changed) scenario_.upsertLogEntry(entry);

    const uint32_t cab = scenario_.cabinet();
    auto bytes = Scenario::encodeArguments(entry.number, entry.args);
    size_t n = pushEvent(eventText(kEvLogArguments, cab, [&](Value& da, auto& a) { rawBytes(da, a, bytes); }),
                         padTo);
    pushEvent(eventText(kEvLogEntry, cab, [&](Value& da, auto&) { da.SetUint(entry.number); }), padTo);
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdPushDrvMon(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {"--pad-to"});
    uint64_t number = 0;
    size_t padTo = 0;
    if (!p.error.empty() || !parsePadTo(p, padTo, p.error)) return badUsage(p.error);
    if (p.words.size() != 1 || !parseUnsigned(p.words[0], number) || number > 0xFFFFFFFF)
        return badUsage(p.error);
    size_t n = pushEvent(eventText(kEvDrvMonEntry, scenario_.cabinet(),
                                   [&](Value& da, auto&) { da.SetUint(static_cast<uint32_t>(number)); }),
                         padTo);
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdPushRaid(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {"--pad-to"});
    size_t padTo = 0;
    if (!p.error.empty() || !parsePadTo(p, padTo, p.error)) return badUsage(p.error);
    if (p.words.size() != 1) return badUsage(p.error);
    const std::string* named = scenario_.raidEvent(p.words[0]);
    const std::string& text = named ? *named : p.words[0];
    size_t n =
        pushEvent(eventText(kEvRaid, scenario_.cabinet(),
                            [&](Value& da, auto& a) {
                                da.SetString(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), a);
                            }),
                  padTo);
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdPushRaw(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {"--pad-to"});
    size_t padTo = 0;
    if (!p.error.empty() || !parsePadTo(p, padTo, p.error)) return badUsage(p.error);
    if (p.words.size() != 1) return badUsage(p.error);
    rapidjson::Document doc;
    doc.Parse(p.words[0].c_str(), p.words[0].size());
    std::string text = p.words[0];
    // A bare command is wrapped into the envelope; anything else (a whole
    // document, even a broken one) goes out exactly as given.
    if (!doc.HasParseError() && doc.IsObject() && doc.HasMember("OC")) {
        rapidjson::Document out;
        Value list(rapidjson::kArrayType);
        list.PushBack(Value(doc, out.GetAllocator()), out.GetAllocator());
        text = envelope(list, out);
    }
    return {true, std::to_string(pushEvent(text, padTo)) + "\n"};
}

Daemon::CommandResult Daemon::cmdDelayReplies(Conn&, const Args& args) {
    uint64_t ms = 0;
    if (args.size() != 2 || !parseUnsigned(args[1], ms) || ms > kMaxMs) return badUsage();
    replyDelay_ = std::chrono::milliseconds(ms);
    return {};
}

Daemon::CommandResult Daemon::cmdDropReplies(Conn&, const Args& args) {
    uint64_t count = 0;
    if (args.size() == 2 && args[1] == "all")
        count = kEveryReply;
    else if (args.size() != 2 || !parseUnsigned(args[1], count) || count == kEveryReply)
        return badUsage();
    dropReplies_ = count;
    return {};
}

Daemon::CommandResult Daemon::cmdDuplicateReplies(Conn&, const Args& args) {
    uint64_t count = 0;
    if (args.size() != 2 || !parseUnsigned(args[1], count)) return badUsage();
    duplicateReplies_ = count;
    return {};
}

Daemon::CommandResult Daemon::cmdMalformedFrame(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {}, {"--events"});
    if (!p.error.empty() || !p.words.empty()) return badUsage(p.error);
    if (!p.flags.count("--events")) {
        malformedNext_ = true;
        return {};
    }
    return {true, std::to_string(pushEvent("{\"SIP\":{\"V\":1,\"CMD\":[{\"OC\":")) + "\n"};
}

Daemon::CommandResult Daemon::cmdTruncatedFrame(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {}, {"--events"});
    if (!p.error.empty() || !p.words.empty()) return badUsage(p.error);
    if (!p.flags.count("--events")) {
        truncatedNext_ = true;
        return {};
    }
    const std::string frame =
        encodeFrame(eventText(kEvDrvMonEntry, scenario_.cabinet(), [](Value& da, auto&) { da.SetUint(0); }));
    size_t n = 0;
    for (auto& c : conns_) {
        if (c->fd < 0 || c->kind != Kind::Event || !c->initialized) continue;
        queue(*c, frame.substr(0, halfFrame(frame)), {}, After::CloseOnceRead);
        if (c->fd >= 0) ++n;
    }
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdStallFrame(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {"--ms"}, {"--events"});
    uint64_t ms = 0;
    bool timed = false;
    if (!p.error.empty() || !p.words.empty() || !parseMs(p, ms, timed)) return badUsage(p.error);
    Stall& stall = p.flags.count("--events") ? eventStall_ : replyStall_;
    stall.armed = true;
    stall.untilResumed = !timed;
    stall.length = std::chrono::milliseconds(ms);
    return {};
}

Daemon::CommandResult Daemon::cmdResumeFrames(Conn&, const Args& args) {
    if (args.size() != 1) return badUsage();
    replyStall_.armed = eventStall_.armed = false;
    const Clock::time_point now = Clock::now();
    size_t n = 0;
    for (auto& c : conns_) {
        for (Outgoing& o : c->out) {
            if (!o.held) continue;
            o.held = false;
            o.due = std::min(o.due, now);
            ++n;
        }
    }
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdCloseClients(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {}, {"--request", "--event"});
    if (!p.error.empty() || !p.words.empty()) return badUsage(p.error);
    const bool all = p.flags.empty();
    size_t n = 0;
    for (auto& c : conns_) {
        if (c->fd < 0 || c->kind == Kind::Control) continue;
        if (all || (c->kind == Kind::Request && p.flags.count("--request")) ||
            (c->kind == Kind::Event && p.flags.count("--event"))) {
            closeConn(*c);
            ++n;
        }
    }
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdRestart(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {"--down-ms"});
    uint64_t ms = 0;
    if (!p.error.empty() || !p.words.empty() || !parseUnsigned(p.flags["--down-ms"], ms) || ms > kMaxMs)
        return badUsage(p.error);
    for (auto& c : conns_)
        if (c->kind != Kind::Control) closeConn(*c);
    goDown(Clock::now() + std::chrono::milliseconds(ms));
    return {};
}

Daemon::CommandResult Daemon::cmdRefuseConnections(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {"--ms"});
    uint64_t ms = 0;
    bool timed = false;
    if (!p.error.empty() || !p.words.empty() || !parseMs(p, ms, timed)) return badUsage(p.error);
    std::string error;
    if (!refuse(timed ? Clock::now() + std::chrono::milliseconds(ms) : Clock::time_point::max(), error))
        return {false, error};
    return {};
}

Daemon::CommandResult Daemon::cmdAcceptConnections(Conn&, const Args& args) {
    if (args.size() != 1) return badUsage();
    std::string error;
    if (endpoints_ != Endpoints::Up && !bringUp(error)) return {false, error};
    return {};
}

Daemon::CommandResult Daemon::cmdCrash(Conn&, const Args& args) {
    if (args.size() != 1) return badUsage();
    CommandResult r;
    r.crash = true;
    return r;
}

Daemon::CommandResult Daemon::cmdUninstall(Conn&, const Args& args) {
    if (args.size() != 1) return badUsage();
    struct stat st;
    if (lstat(paths_.binary.c_str(), &st) != 0) return {};
    if (!owned_.owns(paths_.binary))
        return {false, paths_.binary + " was not installed by rqbd-sim: left in place"};
    owned_.remove(paths_.binary);
    if (lstat(paths_.binary.c_str(), &st) == 0) return {false, "cannot remove " + paths_.binary};
    return {};
}

Daemon::CommandResult Daemon::cmdRequests(Conn&, const Args& args) {
    if (args.size() != 1) return badUsage();
    CommandResult r;
    // The gap comes first, where the dropped requests were.
    if (droppedRecords_ > 0) r.output = "{\"dropped\":" + std::to_string(droppedRecords_) + "}\n";
    for (const std::string& line : records_) r.output += line + "\n";
    return r;
}

Daemon::CommandResult Daemon::cmdClearRequests(Conn&, const Args& args) {
    if (args.size() != 1) return badUsage();
    records_.clear();
    recorded_ = droppedRecords_ = 0;
    return {};
}

Daemon::CommandResult Daemon::cmdStatus(Conn&, const Args& args) {
    if (args.size() != 1) return badUsage();
    std::string requestFds, eventFds;
    size_t requestClients = 0;
    for (const auto& c : conns_) {
        if (c->fd < 0 || !c->initialized) continue;
        std::string& list = c->kind == Kind::Event ? eventFds : requestFds;
        if (!list.empty()) list += ',';
        list += std::to_string(c->fd);
        if (c->kind == Kind::Request) ++requestClients;
    }
    const char* endpoints = endpoints_ == Endpoints::Up     ? "up"
                            : endpoints_ == Endpoints::Down ? "down"
                                                            : "refusing";
    return {true, "{\"pid\":" + std::to_string(getpid()) +
                      ",\"up\":" + (endpoints_ == Endpoints::Up ? "true" : "false") + ",\"endpoints\":\"" +
                      endpoints + "\",\"requestClients\":" + std::to_string(requestClients) +
                      ",\"eventSubscribers\":" + std::to_string(subscriberCount()) + ",\"requests\":" +
                      std::to_string(recorded_) + ",\"requestsDropped\":" + std::to_string(droppedRecords_) +
                      ",\"requestDescriptors\":[" + requestFds + "],\"eventDescriptors\":[" + eventFds +
                      "]}\n"};
}

Daemon::CommandResult Daemon::waitFor(Conn& c, const Args& args, bool subscribers) {
    Parsed p = parseArgs(args, {"--timeout-ms"});
    uint64_t target = 0, timeout = 10000;
    if (!p.error.empty() || p.words.size() != 1 || !parseUnsigned(p.words[0], target) ||
        (p.flags.count("--timeout-ms") && !parseUnsigned(p.flags["--timeout-ms"], timeout)) ||
        timeout > kMaxMs)
        return badUsage(p.error);
    waits_.push_back(
        {c.id, subscribers, static_cast<size_t>(target), Clock::now() + std::chrono::milliseconds(timeout)});
    CommandResult r;
    r.deferred = true;
    return r;
}

Daemon::CommandResult Daemon::cmdWaitSubscribers(Conn& c, const Args& args) { return waitFor(c, args, true); }
Daemon::CommandResult Daemon::cmdWaitRequests(Conn& c, const Args& args) { return waitFor(c, args, false); }

Daemon::CommandResult Daemon::cmdScenario(Conn&, const Args& args) {
    if (args.size() != 2) return badUsage();
    try {
        scenario_ = Scenario::fromJson(args[1]);
    } catch (const ScenarioError& e) {
        return {false, e.what()};
    }
    return {};
}

Daemon::CommandResult Daemon::cmdStop(Conn&, const Args& args) {
    if (args.size() != 1) return badUsage();
    CommandResult r;
    r.stop = true;
    return r;
}

}  // namespace rqbdsim
