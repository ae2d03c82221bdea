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
#include "Ownership.h"
#include "Paths.h"
#include "Scenario.h"

namespace rqbdsim {

class Daemon {
public:
    // maxRequests: most requests the log keeps (the oldest are dropped).
    Daemon(Paths paths, Scenario scenario, bool verbose, size_t maxRequests);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Opens every endpoint, installs the daemon binary marker, writes the pid
    // file, then writes "ready\n" to readyFd (when >= 0; the caller has made
    // sure it is open for writing) and closes it, and serves until told to
    // stop or sent SIGTERM/SIGINT. Returns the exit code. Everything it
    // created except the binary marker is removed on return; nothing it did
    // not create is replaced or removed.
    int run(int readyFd);

    // The control commands, in the order help lists them.
    static std::vector<std::string> commandNames();
    // A control command's arguments as its usage shows them ("N [--pad-to
    // BYTES]", empty for none) and what it does in a few words; false for a
    // name that is no command.
    static bool commandUsage(const std::string& name, std::string& arguments, std::string& what);

private:
    using Clock = std::chrono::steady_clock;
    enum class Kind { Readiness, Request, Event, Control };
    // Up: listening. Down: sockets and pid file gone, as after an orderly
    // stop. Refusing: sockets and pid file there, nobody listening, as a
    // killed daemon leaves them.
    enum class Endpoints { Up, Down, Refusing };
    // What happens to a connection once an outgoing piece is written.
    enum class After { Nothing, Close, CloseOnceRead };

    struct Outgoing {
        Clock::time_point due;
        std::string bytes;
        After after = After::Nothing;
        bool held = false;  // the rest of a stalled frame: resume-frames sends it now
    };

    // A frame fault that cuts the next frame in half and holds back the rest
    // for `length`, or until resume-frames.
    struct Stall {
        bool armed = false;
        bool untilResumed = true;
        Clock::duration length{};
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
        bool draining = false;     // cut: closed once the peer has read what was sent
        Clock::time_point closeBy{};
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
        bool crash = false;
        bool badUsage = false;  // output says what was wrong with the arguments, if anything
    };
    using Args = std::vector<std::string>;
    using Command = CommandResult (Daemon::*)(Conn&, const Args&);
    // One row per control command: what ctl sends, what runs it, its usage.
    struct CommandRow {
        const char* name;
        Command run;
        const char* arguments;
        const char* what;
    };
    static const std::vector<CommandRow>& commands();
    static const CommandRow* findCommand(const std::string& name);
    static CommandResult badUsage(std::string problem = {});

    bool bringUp(std::string& error);
    void closeListeners();
    void goDown(Clock::time_point until);
    bool refuse(Clock::time_point until, std::string& error);
    int listenOn(const std::string& path, std::string& error);
    bool placeDeadSocket(const std::string& path, std::string& error);
    bool writePidFile(std::string& error);
    bool installMarker(std::string& error);
    void acceptFrom(int listenFd, Kind kind);
    void readFrom(Conn& c);
    void writeTo(Conn& c, Clock::time_point now);
    void closeConn(Conn& c);
    void closeDrained(Clock::time_point now);
    void handleFrame(Conn& c, const std::string& text);
    void handleControl(Conn& c, const std::string& line);
    void checkWaits(Clock::time_point now);
    void queue(Conn& c, std::string bytes, Clock::duration delay = {}, After after = After::Nothing);
    void queueStalled(Conn& c, const std::string& frame, Clock::duration delay, const Stall& stall);
    void sendReply(Conn& c, const std::string& text);
    size_t pushEvent(const std::string& text, size_t padTo = 0);
    void record(const Conn& c, const std::string& entry);
    size_t subscriberCount() const;
    Conn* findConn(uint64_t id);

    CommandResult cmdPushSyslog(Conn&, const Args&);
    CommandResult cmdPushDrvMon(Conn&, const Args&);
    CommandResult cmdPushRaid(Conn&, const Args&);
    CommandResult cmdPushRaw(Conn&, const Args&);
    CommandResult cmdDelayReplies(Conn&, const Args&);
    CommandResult cmdDropReplies(Conn&, const Args&);
    CommandResult cmdDuplicateReplies(Conn&, const Args&);
    CommandResult cmdMalformedFrame(Conn&, const Args&);
    CommandResult cmdTruncatedFrame(Conn&, const Args&);
    CommandResult cmdStallFrame(Conn&, const Args&);
    CommandResult cmdResumeFrames(Conn&, const Args&);
    CommandResult cmdCloseClients(Conn&, const Args&);
    CommandResult cmdRestart(Conn&, const Args&);
    CommandResult cmdRefuseConnections(Conn&, const Args&);
    CommandResult cmdAcceptConnections(Conn&, const Args&);
    CommandResult cmdCrash(Conn&, const Args&);
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
    Ownership owned_;

    int signalFd_ = -1;
    int controlFd_ = -1;
    int readinessFd_ = -1, requestFd_ = -1, eventFd_ = -1;
    Endpoints endpoints_ = Endpoints::Down;
    Clock::time_point until_ = Clock::time_point::max();  // when a down or refusing spell ends
    bool stopping_ = false;

    std::vector<std::unique_ptr<Conn>> conns_;
    uint64_t nextConnId_ = 1;
    std::vector<Wait> waits_;

    // The request log keeps the newest maxRecords_ entries: a daemon serving
    // a long test must not grow with every request it ever got.
    std::deque<std::string> records_;
    size_t maxRecords_;
    uint64_t recorded_ = 0;  // since the last clear-requests, kept or not
    uint64_t droppedRecords_ = 0;
    uint64_t nextSeq_ = 1;

    // Faults armed through the control socket. They stay armed across
    // restart and refuse-connections: the same process plays on.
    Clock::duration replyDelay_{};
    uint64_t dropReplies_ = 0;  // kEveryReply: all of them
    uint64_t duplicateReplies_ = 0;
    bool malformedNext_ = false;
    bool truncatedNext_ = false;
    Stall replyStall_, eventStall_;
};

}  // namespace rqbdsim
