// The simulated agent daemon: one poll() loop, one thread, serving the
// readiness, request and event endpoints, and a control socket through which
// `rqbd-sim ctl` pushes events and injects faults.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Frame.h"
#include "Paths.h"
#include "Scenario.h"

namespace rqbdsim {

class Daemon {
public:
    Daemon(Paths paths, Scenario scenario, bool verbose);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Opens every endpoint, installs the daemon binary marker, writes the pid
    // file, then writes "ready\n" to readyFd (when >= 0) and closes it, and
    // serves until told to stop or sent SIGTERM/SIGINT. Returns the exit code.
    // Everything it created except the binary marker is removed on return.
    int run(int readyFd);

private:
    using Clock = std::chrono::steady_clock;
    enum class Kind { Readiness, Request, Event, Control };

    struct Outgoing {
        Clock::time_point due;
        std::string bytes;
        bool closeAfter = false;
    };

    struct Conn {
        int fd = -1;
        Kind kind = Kind::Request;
        uint64_t id = 0;
        FrameDecoder decoder;
        std::string controlLine;
        std::deque<Outgoing> out;
        size_t outOffset = 0;
        bool initialized = false;  // channel init handshake done
        size_t queued = 0;         // bytes waiting in out
    };

    struct Wait {
        uint64_t connId;
        bool forSubscribers;
        size_t target;
        Clock::time_point deadline;
    };

    struct CommandResult {
        bool ok = true;
        std::string output;
        bool deferred = false;  // answered later (waits)
        bool stop = false;
    };
    using Args = std::vector<std::string>;
    using Command = CommandResult (Daemon::*)(Conn&, const Args&);
    static const std::map<std::string, Command>& commands();

    bool bringUp(std::string& error);
    void takeDown();
    int listenOn(const std::string& path, std::string& error);
    void acceptFrom(int listenFd, Kind kind);
    void readFrom(Conn& c);
    void writeTo(Conn& c, Clock::time_point now);
    void closeConn(Conn& c);
    void handleFrame(Conn& c, const std::string& text);
    void handleControl(Conn& c, const std::string& line);
    void checkWaits(Clock::time_point now);
    void queue(Conn& c, std::string bytes, Clock::duration delay = {}, bool closeAfter = false);
    void sendReply(Conn& c, const std::string& text);
    size_t pushEvent(const std::string& text);
    void record(const Conn& c, const std::string& entry);
    size_t subscriberCount() const;
    Conn* findConn(uint64_t id);

    CommandResult cmdPushSyslog(Conn&, const Args&);
    CommandResult cmdPushDrvMon(Conn&, const Args&);
    CommandResult cmdPushRaid(Conn&, const Args&);
    CommandResult cmdPushRaw(Conn&, const Args&);
    CommandResult cmdDelayReplies(Conn&, const Args&);
    CommandResult cmdDropReplies(Conn&, const Args&);
    CommandResult cmdMalformedFrame(Conn&, const Args&);
    CommandResult cmdTruncatedFrame(Conn&, const Args&);
    CommandResult cmdCloseClients(Conn&, const Args&);
    CommandResult cmdRestart(Conn&, const Args&);
    CommandResult cmdUninstall(Conn&, const Args&);
    CommandResult cmdRequests(Conn&, const Args&);
    CommandResult cmdClearRequests(Conn&, const Args&);
    CommandResult cmdStatus(Conn&, const Args&);
    CommandResult cmdWaitSubscribers(Conn&, const Args&);
    CommandResult cmdWaitRequests(Conn&, const Args&);
    CommandResult cmdScenario(Conn&, const Args&);
    CommandResult cmdStop(Conn&, const Args&);
    CommandResult waitFor(Conn& c, const Args& args, bool subscribers);

    Paths paths_;
    Scenario scenario_;
    bool verbose_;

    int signalFd_ = -1;
    int controlFd_ = -1;
    int readinessFd_ = -1, requestFd_ = -1, eventFd_ = -1;
    bool up_ = false;
    bool stopping_ = false;
    Clock::time_point upAt_{};  // when a restart brings the endpoints back
    bool restarting_ = false;

    std::vector<std::unique_ptr<Conn>> conns_;
    uint64_t nextConnId_ = 1;
    std::vector<Wait> waits_;
    std::vector<std::string> records_;
    uint64_t nextSeq_ = 1;

    // Faults armed through the control socket.
    Clock::duration replyDelay_{};
    uint64_t dropReplies_ = 0;
    bool malformedNext_ = false;
    bool truncatedNext_ = false;
};

}  // namespace rqbdsim
