#include "Daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace rqbdsim {

using rapidjson::Value;

namespace {

// A peer that stops reading must not make the simulator hoard memory: past
// this many unsent bytes the connection is dropped.
constexpr size_t kMaxQueued = 8u << 20;
constexpr size_t kMaxControlLine = 4u << 20;
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
        if (std::find_if(switches.begin(), switches.end(), [&](const char* s) { return a == s; }) != switches.end()) {
            p.flags[a] = "1";
        } else if (std::find_if(valued.begin(), valued.end(), [&](const char* s) { return a == s; }) != valued.end()) {
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

std::vector<std::string> splitComma(const std::string& s) {
    std::vector<std::string> out;
    if (s.empty()) return out;
    size_t start = 0;
    for (size_t pos; (pos = s.find(',', start)) != std::string::npos; start = pos + 1) out.push_back(s.substr(start, pos - start));
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

Daemon::Daemon(Paths paths, Scenario scenario, bool verbose)
    : paths_(std::move(paths)), scenario_(std::move(scenario)), verbose_(verbose) {}

Daemon::~Daemon() {
    for (auto& c : conns_) closeConn(*c);
    takeDown();
    if (controlFd_ >= 0) {
        close(controlFd_);
        unlink(paths_.control.c_str());
    }
    if (signalFd_ >= 0) close(signalFd_);
}

const std::map<std::string, Daemon::Command>& Daemon::commands() {
    static const std::map<std::string, Command> table = {
        {"push-syslog", &Daemon::cmdPushSyslog},
        {"push-drvmon", &Daemon::cmdPushDrvMon},
        {"push-raid", &Daemon::cmdPushRaid},
        {"push-raw", &Daemon::cmdPushRaw},
        {"delay-replies", &Daemon::cmdDelayReplies},
        {"drop-replies", &Daemon::cmdDropReplies},
        {"malformed-frame", &Daemon::cmdMalformedFrame},
        {"truncated-frame", &Daemon::cmdTruncatedFrame},
        {"close-clients", &Daemon::cmdCloseClients},
        {"restart", &Daemon::cmdRestart},
        {"uninstall", &Daemon::cmdUninstall},
        {"requests", &Daemon::cmdRequests},
        {"clear-requests", &Daemon::cmdClearRequests},
        {"status", &Daemon::cmdStatus},
        {"wait-subscribers", &Daemon::cmdWaitSubscribers},
        {"wait-requests", &Daemon::cmdWaitRequests},
        {"scenario", &Daemon::cmdScenario},
        {"stop", &Daemon::cmdStop},
    };
    return table;
}

int Daemon::listenOn(const std::string& path, std::string& error) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        // A socket left behind by a crashed run is removed; a live one means
        // another daemon owns this root.
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
        unlink(path.c_str());
    }
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
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool Daemon::bringUp(std::string& error) {
    // The readiness socket comes last: once it accepts, everything else is
    // there, as a client probing it expects.
    if ((requestFd_ = listenOn(paths_.request, error)) < 0) return false;
    if ((eventFd_ = listenOn(paths_.events, error)) < 0) return false;
    if (!makeParentDirs(paths_.pidFile)) {
        error = "cannot create the directories of " + paths_.pidFile + ": " + std::strerror(errno);
        return false;
    }
    FILE* pid = std::fopen(paths_.pidFile.c_str(), "w");
    if (!pid) {
        error = "cannot write " + paths_.pidFile + ": " + std::strerror(errno);
        return false;
    }
    std::fprintf(pid, "%d\n", static_cast<int>(getpid()));
    std::fclose(pid);
    if ((readinessFd_ = listenOn(paths_.readiness, error)) < 0) return false;
    up_ = true;
    return true;
}

void Daemon::takeDown() {
    for (int* fd : {&readinessFd_, &requestFd_, &eventFd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    for (const std::string* path : {&paths_.readiness, &paths_.request, &paths_.events, &paths_.pidFile}) {
        unlink(path->c_str());
    }
    up_ = false;
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
    signal(SIGPIPE, SIG_IGN);

    if ((controlFd_ = listenOn(paths_.control, error)) < 0) {
        logLine("%s", error.c_str());
        return 1;
    }
    if (!makeParentDirs(paths_.binary)) {
        logLine("cannot create the directories of %s: %s", paths_.binary.c_str(), std::strerror(errno));
        return 1;
    }
    struct stat st;
    if (lstat(paths_.binary.c_str(), &st) != 0) {
        // The module only checks that the daemon binary exists; pointing it
        // at ourselves also tells a reader who put it there.
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0 || (self[n] = '\0', symlink(self, paths_.binary.c_str())) != 0) {
            int fd = open(paths_.binary.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0755);
            if (fd < 0) {
                logLine("cannot install %s: %s", paths_.binary.c_str(), std::strerror(errno));
                return 1;
            }
            close(fd);
        }
    }
    if (!bringUp(error)) {
        logLine("%s", error.c_str());
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
        if (restarting_ && now >= upAt_) {
            restarting_ = false;
            if (!bringUp(error)) {
                logLine("restart failed: %s", error.c_str());
                return 1;
            }
            if (verbose_) logLine("endpoints back up");
        }
        checkWaits(now);

        fds.clear();
        polled.clear();
        Clock::time_point wake = Clock::time_point::max();
        if (restarting_) wake = upAt_;
        for (const Wait& w : waits_) wake = std::min(wake, w.deadline);
        fds.push_back({signalFd_, POLLIN, 0});
        fds.push_back({controlFd_, POLLIN, 0});
        for (int fd : {readinessFd_, requestFd_, eventFd_}) fds.push_back({fd, static_cast<short>(fd >= 0 ? POLLIN : 0), 0});
        for (auto& c : conns_) {
            short events = POLLIN;
            if (!c->out.empty()) {
                if (c->out.front().due <= now)
                    events |= POLLOUT;
                else
                    wake = std::min(wake, c->out.front().due);
            }
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
        // Endpoints may have gone down during this round (restart, stop).
        if (up_) {
            if (fds[2].fd == readinessFd_ && (fds[2].revents & POLLIN)) acceptFrom(readinessFd_, Kind::Readiness);
            if (fds[3].fd == requestFd_ && (fds[3].revents & POLLIN)) acceptFrom(requestFd_, Kind::Request);
            if (fds[4].fd == eventFd_ && (fds[4].revents & POLLIN)) acceptFrom(eventFd_, Kind::Event);
        }
        conns_.erase(std::remove_if(conns_.begin(), conns_.end(), [](const auto& c) { return c->fd < 0; }), conns_.end());
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
    c.queued = 0;
}

Daemon::Conn* Daemon::findConn(uint64_t id) {
    for (auto& c : conns_)
        if (c->id == id && c->fd >= 0) return c.get();
    return nullptr;
}

void Daemon::queue(Conn& c, std::string bytes, Clock::duration delay, bool closeAfter) {
    if (c.fd < 0) return;
    if (c.queued + bytes.size() > kMaxQueued) {
        logLine("connection %llu does not read; dropping it", static_cast<unsigned long long>(c.id));
        closeConn(c);
        return;
    }
    c.queued += bytes.size();
    c.out.push_back({Clock::now() + delay, std::move(bytes), closeAfter});
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
        const bool closeAfter = o.closeAfter;
        c.queued -= o.bytes.size();
        c.outOffset = 0;
        c.out.pop_front();
        if (closeAfter) closeConn(c);
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
    records_.push_back("{\"seq\":" + std::to_string(nextSeq_++) + ",\"conn\":" + std::to_string(c.id) + ",\"channel\":\"" +
                       channelName(c.kind == Kind::Event) + "\"," + members + "}");
}

void Daemon::sendReply(Conn& c, const std::string& text) {
    if (dropReplies_ > 0) {
        --dropReplies_;
        return;
    }
    std::string frame = encodeFrame(text);
    bool closeAfter = false;
    if (malformedNext_) {
        malformedNext_ = false;
        frame = encodeFrame(text.substr(0, text.size() / 2) + "#");
    } else if (truncatedNext_) {
        // Half the frame, then the connection ends: the peer sees the length
        // word promise more than ever arrives.
        truncatedNext_ = false;
        frame.resize(4 + (frame.size() - 4) / 2);
        closeAfter = true;
    }
    queue(c, std::move(frame), replyDelay_, closeAfter);
}

void Daemon::handleFrame(Conn& c, const std::string& text) {
    rapidjson::Document request;
    request.Parse(text.c_str(), text.size());
    const Value* cmds = nullptr;
    if (!request.HasParseError() && request.IsObject() && request.HasMember("SIP") && request["SIP"].IsObject()) {
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
        if (verbose_) logLine("conn %llu %s: %s", static_cast<unsigned long long>(c.id), channelName(c.kind == Kind::Event),
                              toJson(cmd).c_str());

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
                for (int i = 0; i < 4; ++i) block[kInitNameSize + i] = static_cast<uint8_t>((c.fd >> (8 * i)) & 0xFF);
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

size_t Daemon::pushEvent(const std::string& text) {
    const std::string frame = encodeFrame(text);
    size_t n = 0;
    for (auto& c : conns_) {
        if (c->fd < 0 || c->kind != Kind::Event || !c->initialized) continue;
        queue(*c, frame);
        if (c->fd >= 0) ++n;
    }
    if (verbose_) logLine("event to %zu subscribers: %s", n, text.c_str());
    return n;
}

void Daemon::checkWaits(Clock::time_point now) {
    for (size_t i = 0; i < waits_.size();) {
        Wait& w = waits_[i];
        Conn* c = findConn(w.connId);
        const size_t have = w.forSubscribers ? subscriberCount() : records_.size();
        if (c && (have >= w.target || now >= w.deadline)) {
            std::string out = have >= w.target ? "ok\n" + std::to_string(have) + "\n"
                                                : "error: timed out with " + std::to_string(have) + "\n";
            queue(*c, std::move(out), {}, true);
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
            if (!v.IsString()) wellFormed = false;
            else args.emplace_back(v.GetString(), v.GetStringLength());
        }
    }
    CommandResult result;
    if (!wellFormed) {
        result = {false, "a control request is one JSON array of strings on one line"};
    } else {
        auto it = commands().find(args[0]);
        if (it == commands().end())
            result = {false, "unknown command \"" + args[0] + "\""};
        else
            result = (this->*(it->second))(c, args);
    }
    if (result.deferred) return;
    if (result.stop) {
        // Answer before the loop ends; the socket buffer takes a line this short.
        const std::string ok = "ok\n";
        ssize_t ignored = send(c.fd, ok.data(), ok.size(), MSG_NOSIGNAL);
        (void)ignored;
        closeConn(c);
        stopping_ = true;
        return;
    }
    std::string out = result.ok ? "ok\n" + result.output : "error: " + result.output + "\n";
    queue(c, std::move(out), {}, true);
}

Daemon::CommandResult Daemon::cmdPushSyslog(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {"--number", "--args", "--text", "--severity", "--message-number", "--attributes", "--time"});
    if (!p.error.empty()) return {false, p.error};
    std::string numberText = p.flags.count("--number") ? p.flags["--number"] : (p.words.empty() ? "" : p.words[0]);
    uint64_t number = 0;
    if (!parseUnsigned(numberText, number) || number > 0xFFFFFFFF) return {false, "push-syslog needs --number N"};

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
             {"--message-number", 0xFFFF, [&](uint64_t v) { entry.messageNumber = static_cast<uint16_t>(v); }},
             {"--attributes", 0xFF, [&](uint64_t v) { entry.attributes = static_cast<uint8_t>(v); }},
             {"--time", 0xFFFFFFFF, [&](uint64_t v) { entry.time = static_cast<int32_t>(v); }}}) {
        auto it = p.flags.find(f.flag);
        if (it == p.flags.end()) continue;
        uint64_t v = 0;
        if (!parseUnsigned(it->second, v) || v > f.max) return {false, std::string(f.flag) + ": bad number"};
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
    size_t n = pushEvent(eventText(kEvLogArguments, cab, [&](Value& da, auto& a) { rawBytes(da, a, bytes); }));
    pushEvent(eventText(kEvLogEntry, cab, [&](Value& da, auto&) { da.SetUint(entry.number); }));
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdPushDrvMon(Conn&, const Args& args) {
    uint64_t number = 0;
    if (args.size() != 2 || !parseUnsigned(args[1], number) || number > 0xFFFFFFFF) return {false, "push-drvmon N"};
    size_t n = pushEvent(eventText(kEvDrvMonEntry, scenario_.cabinet(),
                                   [&](Value& da, auto&) { da.SetUint(static_cast<uint32_t>(number)); }));
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdPushRaid(Conn&, const Args& args) {
    if (args.size() != 2) return {false, "push-raid NAME|FILE|TEXT"};
    const std::string* named = scenario_.raidEvent(args[1]);
    const std::string& text = named ? *named : args[1];
    size_t n = pushEvent(eventText(kEvRaid, scenario_.cabinet(), [&](Value& da, auto& a) {
        da.SetString(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), a);
    }));
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdPushRaw(Conn&, const Args& args) {
    if (args.size() != 2) return {false, "push-raw JSON"};
    rapidjson::Document doc;
    doc.Parse(args[1].c_str(), args[1].size());
    std::string text = args[1];
    // A bare command is wrapped into the envelope; anything else (a whole
    // document, even a broken one) goes out exactly as given.
    if (!doc.HasParseError() && doc.IsObject() && doc.HasMember("OC")) {
        rapidjson::Document out;
        Value list(rapidjson::kArrayType);
        list.PushBack(Value(doc, out.GetAllocator()), out.GetAllocator());
        text = envelope(list, out);
    }
    return {true, std::to_string(pushEvent(text)) + "\n"};
}

Daemon::CommandResult Daemon::cmdDelayReplies(Conn&, const Args& args) {
    uint64_t ms = 0;
    if (args.size() != 2 || !parseUnsigned(args[1], ms) || ms > 3600000) return {false, "delay-replies MS"};
    replyDelay_ = std::chrono::milliseconds(ms);
    return {};
}

Daemon::CommandResult Daemon::cmdDropReplies(Conn&, const Args& args) {
    uint64_t count = 0;
    if (args.size() != 2 || !parseUnsigned(args[1], count)) return {false, "drop-replies N"};
    dropReplies_ = count;
    return {};
}

Daemon::CommandResult Daemon::cmdMalformedFrame(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {}, {"--events"});
    if (!p.error.empty() || !p.words.empty()) return {false, "malformed-frame [--events]"};
    if (!p.flags.count("--events")) {
        malformedNext_ = true;
        return {};
    }
    return {true, std::to_string(pushEvent("{\"SIP\":{\"V\":1,\"CMD\":[{\"OC\":")) + "\n"};
}

Daemon::CommandResult Daemon::cmdTruncatedFrame(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {}, {"--events"});
    if (!p.error.empty() || !p.words.empty()) return {false, "truncated-frame [--events]"};
    if (!p.flags.count("--events")) {
        truncatedNext_ = true;
        return {};
    }
    std::string frame = encodeFrame(eventText(kEvDrvMonEntry, scenario_.cabinet(), [](Value& da, auto&) { da.SetUint(0); }));
    frame.resize(4 + (frame.size() - 4) / 2);
    size_t n = 0;
    for (auto& c : conns_) {
        if (c->fd < 0 || c->kind != Kind::Event || !c->initialized) continue;
        queue(*c, frame, {}, true);
        ++n;
    }
    return {true, std::to_string(n) + "\n"};
}

Daemon::CommandResult Daemon::cmdCloseClients(Conn&, const Args& args) {
    Parsed p = parseArgs(args, {}, {"--request", "--event"});
    if (!p.error.empty() || !p.words.empty()) return {false, "close-clients [--request] [--event]"};
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
    if (!p.error.empty() || !p.words.empty() || !parseUnsigned(p.flags["--down-ms"], ms) || ms > 3600000)
        return {false, "restart --down-ms MS"};
    for (auto& c : conns_)
        if (c->kind != Kind::Control) closeConn(*c);
    takeDown();
    restarting_ = true;
    upAt_ = Clock::now() + std::chrono::milliseconds(ms);
    return {};
}

Daemon::CommandResult Daemon::cmdUninstall(Conn&, const Args& args) {
    if (args.size() != 1) return {false, "uninstall"};
    if (unlink(paths_.binary.c_str()) != 0 && errno != ENOENT) return {false, std::strerror(errno)};
    return {};
}

Daemon::CommandResult Daemon::cmdRequests(Conn&, const Args& args) {
    if (args.size() != 1) return {false, "requests"};
    CommandResult r;
    for (const std::string& line : records_) r.output += line + "\n";
    return r;
}

Daemon::CommandResult Daemon::cmdClearRequests(Conn&, const Args& args) {
    if (args.size() != 1) return {false, "clear-requests"};
    records_.clear();
    return {};
}

Daemon::CommandResult Daemon::cmdStatus(Conn&, const Args& args) {
    if (args.size() != 1) return {false, "status"};
    std::string requestFds, eventFds;
    size_t requestClients = 0;
    for (const auto& c : conns_) {
        if (c->fd < 0 || !c->initialized) continue;
        std::string& list = c->kind == Kind::Event ? eventFds : requestFds;
        if (!list.empty()) list += ',';
        list += std::to_string(c->fd);
        if (c->kind == Kind::Request) ++requestClients;
    }
    return {true, "{\"pid\":" + std::to_string(getpid()) + ",\"up\":" + (up_ ? "true" : "false") +
                      ",\"requestClients\":" + std::to_string(requestClients) +
                      ",\"eventSubscribers\":" + std::to_string(subscriberCount()) +
                      ",\"requests\":" + std::to_string(records_.size()) + ",\"requestDescriptors\":[" + requestFds +
                      "],\"eventDescriptors\":[" + eventFds + "]}\n"};
}

Daemon::CommandResult Daemon::waitFor(Conn& c, const Args& args, bool subscribers) {
    Parsed p = parseArgs(args, {"--timeout-ms"});
    uint64_t target = 0, timeout = 10000;
    if (!p.error.empty() || p.words.size() != 1 || !parseUnsigned(p.words[0], target) ||
        (p.flags.count("--timeout-ms") && !parseUnsigned(p.flags["--timeout-ms"], timeout)) || timeout > 3600000)
        return {false, std::string(args[0]) + " N [--timeout-ms MS]"};
    waits_.push_back({c.id, subscribers, static_cast<size_t>(target), Clock::now() + std::chrono::milliseconds(timeout)});
    CommandResult r;
    r.deferred = true;
    return r;
}

Daemon::CommandResult Daemon::cmdWaitSubscribers(Conn& c, const Args& args) { return waitFor(c, args, true); }
Daemon::CommandResult Daemon::cmdWaitRequests(Conn& c, const Args& args) { return waitFor(c, args, false); }

Daemon::CommandResult Daemon::cmdScenario(Conn&, const Args& args) {
    if (args.size() != 2) return {false, "scenario JSON|FILE"};
    try {
        scenario_ = Scenario::fromJson(args[1]);
    } catch (const ScenarioError& e) {
        return {false, e.what()};
    }
    return {};
}

Daemon::CommandResult Daemon::cmdStop(Conn&, const Args& args) {
    if (args.size() != 1) return {false, "stop"};
    CommandResult r;
    r.stop = true;
    return r;
}

}  // namespace rqbdsim
