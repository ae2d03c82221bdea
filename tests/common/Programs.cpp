#include "common/Programs.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qmstest {
namespace {

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

ScratchDir::ScratchDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool highPipe(int fds[2]) {
    int raw[2];
    if (pipe2(raw, O_CLOEXEC) != 0) return false;
    fds[0] = fcntl(raw[0], F_DUPFD_CLOEXEC, 10);
    fds[1] = fcntl(raw[1], F_DUPFD_CLOEXEC, 10);
    close(raw[0]);
    close(raw[1]);
    return fds[0] >= 0 && fds[1] >= 0;
}

int reap(pid_t pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    return env;
}

std::vector<std::string> environmentWith(std::vector<std::string> env, const std::string& name,
                                         const std::string& value) {
    if (env.empty()) env = currentEnvironment();
    const std::string prefix = name + "=";
    for (std::string& e : env) {
        if (e.compare(0, prefix.size(), prefix) == 0) {
            e = prefix + value;
            return env;
        }
    }
    env.push_back(prefix + value);
    return env;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
            const std::string& err, int ready, bool session, int* error) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!out.empty()) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
    if (!err.empty()) posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
    if (ready >= 0) posix_spawn_file_actions_adddup2(&actions, ready, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (session) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<char*> args = pointers(argv);
    std::vector<char*> envp = pointers(env);
    pid_t pid = -1;
    const int failed =
        posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), env.empty() ? environ : envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error) *error = failed;
    return failed ? -1 : pid;
}

ProgramResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs) {
    // Output goes to files, not pipes: nothing can fill up and stall the
    // child, and a daemon it leaves holding them cannot hold up the wait.
    ProgramResult result;
    const ScratchDir scratch("qmsrun");
    int failed = 0;
    const pid_t pid = spawn(argv, env, scratch.file("out"), scratch.file("err"), -1, false, &failed);
    if (pid < 0) {
        result.err = "cannot start " + argv[0] + ": " + std::strerror(failed);
        return result;
    }
    const int status = reap(pid, timeoutMs);
    result.out = fileText(scratch.file("out"));
    result.err = fileText(scratch.file("err"));
    result.exitCode = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (status < 0) result.err += "\n(" + argv[0] + " ran longer than " + std::to_string(timeoutMs) + " ms)";
    return result;
}

pid_t startDetached(const std::vector<std::string>& argv) {
    return spawn(argv, {}, "/dev/null", "/dev/null", -1, true);
}

void endDetached(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    reap(pid, 5000);
}

}  // namespace qmstest
