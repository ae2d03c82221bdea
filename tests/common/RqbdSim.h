// Runs the agent simulator (tools/rqbd-sim) as a separate process for a test.
//
// The constructor makes a fresh short root under /tmp, starts
// `rqbd-sim serve --foreground` there, waits until every endpoint listens, and
// sets QMS_TEST_ROOT to the root so that the module's fixed paths resolve to
// the simulator's. The destructor stops the daemon (SIGTERM, then SIGKILL),
// reaps it and removes the root. Create and destroy it on one thread that
// outlives it: the daemon is told to end with the thread that started it.
#pragma once

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
    // Throws std::runtime_error when the daemon does not come up.
    explicit RqbdSim(const std::string& scenario = std::string(), bool verbose = false);
    ~RqbdSim();
    RqbdSim(const RqbdSim&) = delete;
    RqbdSim& operator=(const RqbdSim&) = delete;

    const std::string& root() const { return root_; }
    // root() followed by an absolute system path, e.g. path("/dev/rqbdsj").
    std::string path(const char* systemPath) const { return root_ + systemPath; }
    pid_t pid() const { return pid_; }

    // Runs `rqbd-sim ctl --root <root> args...` and collects its output.
    Result ctl(const std::vector<std::string>& args) const;

    // Stops the daemon now (as the destructor does, keeping the root).
    void stop();

    // Directory of the shipped scenarios.
    static std::string scenarioDir();
    static std::string binary();

    // Runs the simulator binary with args and collects its output (timeout in
    // milliseconds; the child is killed when it runs longer).
    static Result run(const std::vector<std::string>& args, int timeoutMs = 30000);

private:
    std::string root_;
    pid_t pid_ = -1;
};

}  // namespace qmstest
