#include "common/RqbdSim.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace qmstest {

std::string RqbdSim::binary() { return QMS_RQBDSIM_PATH; }
std::string RqbdSim::scenarioDir() { return QMS_RQBDSIM_SCENARIO_DIR; }

RqbdSim::Result RqbdSim::run(const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv{binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return qmstest::run(argv, {}, timeoutMs);
}

RqbdSim::RqbdSim(const std::string& scenario, const std::vector<std::string>& serveOptions)
    : scenario_(scenario.empty() ? scenarioDir() + "/minimal.json" : scenario), serveOptions_(serveOptions) {
    launch();
}

void RqbdSim::launch() {
    int ready[2];
    if (!highPipe(ready)) throw std::runtime_error("pipe failed");
    std::vector<std::string> args{binary(),  "serve",        "--root",     root_, "--scenario",
                                  scenario_, "--foreground", "--ready-fd", "3",   "--die-with-parent"};
    args.insert(args.end(), serveOptions_.begin(), serveOptions_.end());
    pid_ = spawn(args, {}, "", "", ready[1]);
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
        throw std::runtime_error("rqbd-sim did not come up under " + root_);
    }
    setenv("QMS_TEST_ROOT", root_.c_str(), 1);
}

void RqbdSim::end(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    reap(pid_, 5000);
    pid_ = -1;
}

bool RqbdSim::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r == 0) return true;
    pid_ = -1;
    return false;
}

void RqbdSim::start() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::logic_error("rqbd-sim still runs under " + root_ +
                                   "; stop or crash it before start()");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    launch();
}

RqbdSim::~RqbdSim() { stop(); }

void RqbdSim::makeTraceDir() const {
    for (const char* dir : {"/var", "/var/log", "/var/log/norvlog"}) mkdir(path(dir).c_str(), 0755);
}

RqbdSim::Result RqbdSim::ctl(const std::vector<std::string>& args) const {
    std::vector<std::string> full{"ctl", "--root", root_};
    full.insert(full.end(), args.begin(), args.end());
    return run(full);
}

bool RqbdSim::waitStatus(const std::string& text, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ctl({"status"}).out.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace qmstest
