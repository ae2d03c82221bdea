// Running the outside programs tests drive: the agent simulator, cmake,
// sfcb's scripts, wbemcli.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qmstest {

struct ProgramResult {
    int exitCode = -1;  // -1: it could not start, was killed, or ran too long
    std::string out;
    std::string err;
};

// Runs argv (argv[0] looked up in PATH when it has no slash) with the
// environment `env` ("NAME=value" entries; empty: this process's) and waits
// for it, killing it after timeoutMs. stdin is /dev/null.
ProgramResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                  int timeoutMs = 60000);

// This process's environment with `name` set to `value`.
std::vector<std::string> environmentWith(std::vector<std::string> env, const std::string& name,
                                         const std::string& value);
std::vector<std::string> currentEnvironment();

// Starts argv (argv[0] looked up in PATH when it has no slash) without
// waiting, with stdin from /dev/null, the environment `env` (empty: this
// process's), stdout and stderr to the files `out` and `err` (empty: this
// process's), `ready` as its descriptor 3 unless it is -1, and in a session of
// its own when `session`. Its pid, or -1 with posix_spawn's error in *error.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
            const std::string& err, int ready = -1, bool session = false, int* error = nullptr);

// Starts argv in a session of its own with output to /dev/null and returns
// its pid without waiting (the caller reaps it). -1 when it cannot start.
pid_t startDetached(const std::vector<std::string>& argv);

// Ends a child started by startDetached: SIGTERM, then reaps it.
void endDetached(pid_t pid);

// The whole of a file; empty when it cannot be read.
std::string fileText(const std::string& path);

// This machine's host name, as gethostname gives it.
std::string hostName();

// A fresh directory /tmp/<prefix>-XXXXXX, removed with everything in it when
// the object goes. Throws std::runtime_error when it cannot be made.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "qmstest");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A pipe whose descriptors sit above the standard ones, both close-on-exec,
// so that dup2 onto a child's descriptor always clears that flag.
bool highPipe(int fds[2]);
// Waits for child pid up to timeoutMs and kills it when it is still there;
// its wait status, or -1 when it had to be killed or could not be waited for.
int reap(pid_t pid, int timeoutMs);

}  // namespace qmstest
