#include "common/RqbdSim.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qmstest {

namespace {

// Descriptors handed to a child sit above the standard ones, so that dup2
// onto them always clears close-on-exec.
int highPipe(int fds[2]) {
    int raw[2];
    if (pipe2(raw, O_CLOEXEC) != 0) return -1;
    fds[0] = fcntl(raw[0], F_DUPFD_CLOEXEC, 10);
    fds[1] = fcntl(raw[1], F_DUPFD_CLOEXEC, 10);
    close(raw[0]);
    close(raw[1]);
    return fds[0] >= 0 && fds[1] >= 0 ? 0 : -1;
}

pid_t spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t* actions) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// Waits for pid up to timeoutMs; kills it when it is still there.
int reap(pid_t pid, int timeoutMs) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
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

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

std::string RqbdSim::binary() { return QMS_RQBDSIM_PATH; }
std::string RqbdSim::scenarioDir() { return QMS_RQBDSIM_SCENARIO_DIR; }

RqbdSim::Result RqbdSim::run(const std::vector<std::string>& argsIn, int timeoutMs) {
    Result result;
    int out[2], err[2];
    if (highPipe(out) != 0 || highPipe(err) != 0) return result;
    std::vector<std::string> args{binary()};
    args.insert(args.end(), argsIn.begin(), argsIn.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = spawn(args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (pid > 0) {
        // Both pipes are drained together so that neither can fill and stall the child.
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        std::string* sinks[2] = {&result.out, &result.err};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (fds[0].fd >= 0 || fds[1].fd >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
                char buffer[4096];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0)
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                else if (n == 0 || errno != EINTR)
                    fds[i].fd = -1;
            }
        }
        int status = reap(pid, std::max(0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                              deadline - std::chrono::steady_clock::now())
                                                              .count())));
        result.exitCode = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(out[0]);
    close(err[0]);
    return result;
}

RqbdSim::RqbdSim(const std::string& scenario, bool verbose) {
    char dir[] = "/tmp/rqbdsim-XXXXXX";
    if (!mkdtemp(dir)) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    root_ = dir;
    int ready[2];
    if (highPipe(ready) != 0) {
        rmdir(dir);
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> args{binary(), "serve",      "--root",     root_,       "--scenario",
                                  scenario.empty() ? scenarioDir() + "/minimal.json" : scenario,
                                  "--foreground", "--ready-fd", "3", "--die-with-parent"};
    if (verbose) args.push_back("--verbose");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    pid_ = spawn(args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);

    std::string answer;
    if (pid_ > 0) {
        pollfd p{ready[0], POLLIN, 0};
        char buffer[16];
        while (answer.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
            ssize_t n = read(ready[0], buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    close(ready[0]);
    if (answer != "ready\n") {
        stop();
        nftw(root_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
        throw std::runtime_error("rqbd-sim did not come up under " + root_);
    }
    setenv("QMS_TEST_ROOT", root_.c_str(), 1);
}

void RqbdSim::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    reap(pid_, 5000);
    pid_ = -1;
}

RqbdSim::~RqbdSim() {
    stop();
    nftw(root_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

RqbdSim::Result RqbdSim::ctl(const std::vector<std::string>& args) const {
    std::vector<std::string> full{"ctl", "--root", root_};
    full.insert(full.end(), args.begin(), args.end());
    return run(full);
}

}  // namespace qmstest
