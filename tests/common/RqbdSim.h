// Runs the agent simulator (tools/rqbd-sim) as a separate process for a test.
//
// The constructor makes a fresh short root under /tmp, starts
// `rqbd-sim serve --foreground` there, waits until every endpoint listens, and
// sets QMS_TEST_ROOT to the root so that the module's fixed paths resolve to
// the simulator's. The destructor stops the daemon (SIGTERM, then SIGKILL),
// reaps it and removes the root. Create and destroy it on one thread that
// outlives it: the daemon is told to end with the thread that started it.
// Every fault the daemon plays is reached through ctl(); crash() and start()
// are the agent dying without goodbye and a new one taking its place.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "common/Programs.h"

namespace qmstest {

class RqbdSim {
public:
    // The exit code and the output of `rqbd-sim ctl`.
    typedef ProgramResult Result;

    // scenario: a scenario file path; empty uses scenarios/minimal.json.
    // serveOptions: more `rqbd-sim serve` options, e.g. {"--max-requests",
    // "50"}; start() passes them again. Throws std::runtime_error when the
    // daemon does not come up.
    explicit RqbdSim(const std::string& scenario = std::string(),
                     const std::vector<std::string>& serveOptions = {});
    ~RqbdSim();
    RqbdSim(const RqbdSim&) = delete;
    RqbdSim& operator=(const RqbdSim&) = delete;

    const std::string& root() const { return root_; }
    // root() followed by an absolute system path, e.g. path("/dev/rqbdsj").
    std::string path(const char* systemPath) const { return root_ + systemPath; }
    pid_t pid() const { return pid_; }

    // Makes the module's trace directory (/var/log/norvlog) under the root,
    // for tests that load the module with the simulator behind it.
    void makeTraceDir() const;

    // Runs `rqbd-sim ctl --root <root> args...` and collects its output.
    Result ctl(const std::vector<std::string>& args) const;

    // Waits until `ctl status` shows `text`, e.g. "\"up\":true"; false
    // when it does not within timeoutMs.
    bool waitStatus(const std::string& text, int timeoutMs = 15000) const;

    // Stops the daemon now (as the destructor does, keeping the root).
    void stop() { end(SIGTERM); }

    // Kills the daemon with SIGKILL and reaps it: nothing is closed in order,
    // its sockets, pid file and control socket stay behind as a killed
    // agent's do, and connected clients see their channels end.
    void crash() { end(SIGKILL); }

    // Starts a new daemon on the same root with the same scenario file and
    // options (a scenario replaced through `ctl scenario` is not carried
    // over), and waits until it serves; it clears what its predecessor left.
    // The previous daemon must have ended: stop(), crash(), `ctl stop` or
    // `ctl crash` (such a one is reaped here). Throws std::logic_error when
    // it still runs after 5 s, std::runtime_error when the new one does not
    // come up.
    void start();

    // Whether the daemon last started still runs; one that has ended (after
    // `ctl stop` or `ctl crash`) is reaped.
    bool running();

    // Directory of the shipped scenarios.
    static std::string scenarioDir();
    static std::string binary();

    // Runs the simulator binary with args and collects its output (timeout in
    // milliseconds; the child is killed when it runs longer).
    static Result run(const std::vector<std::string>& args, int timeoutMs = 30000);

private:
    void launch();
    void end(int signal);

    // The daemon's root, removed with the simulator: declared first, it
    // outlives the daemon's stop in the destructor.
    ScratchDir dir_{"rqbdsim"};
    const std::string root_ = dir_.path();
    std::string scenario_;
    std::vector<std::string> serveOptions_;
    pid_t pid_ = -1;
};

}  // namespace qmstest
