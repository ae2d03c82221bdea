#include "cimom/Sfcb.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "common/Programs.h"
#include "listener/Listener.h"

namespace cimomtest {

using qmstest::endDetached;
using qmstest::environmentWith;
using qmstest::ProgramResult;
using qmstest::run;
using qmstest::startDetached;

Sfcb::Sfcb(const std::string& sfcbHome, const std::string& home, const std::string& prefix,
           const std::vector<std::string>& env, const std::vector<std::string>& settings)
    : control_(sfcbHome + "/sfcb-ctl"), home_(home) {
    // Stops sfcb should this process end without its teardown (a crash, the
    // runner's time limit): sfcbd leads a session of its own and would
    // outlive us.
    watchdog_ =
        startDetached({"/bin/sh", "-c",
                       "while kill -0 \"$0\" 2>/dev/null; do sleep 1; done; exec \"$1\" stop --home \"$2\"",
                       std::to_string(getpid()), control_, home_});
    const std::string share = prefix + "/share/VRXIndication";
    const char* path = std::getenv("PATH");
    const std::vector<std::string> stageEnv =
        environmentWith(env, "PATH", sfcbHome + "/bin:" + (path ? path : "/usr/bin:/bin"));
    std::string messages;
    // Another test may take the port between our look and sfcb's bind.
    for (int attempt = 0; attempt < 4; ++attempt) {
        port_ = cimhost::listener::Listener().port();  // free a moment ago
        ProgramResult step = run({control_, "init", "--home", home_}, env);
        if (step.exitCode != 0) throw std::runtime_error("sfcb-ctl init: " + step.err);
        // As an administrator stages: sfcb's own tool, the installed files.
        step = run({sfcbHome + "/bin/sfcbstage", "-s", home_ + "/stage", "-n", "root/qms", "-r",
                    share + "/VRXIndication.reg", share + "/VRXIndication.mof"},
                   stageEnv);
        if (step.exitCode != 0) throw std::runtime_error("sfcbstage: " + step.out + step.err);
        std::vector<std::string> start = {control_, "start",  "--home",
                                          home_,    "--port", std::to_string(port_)};
        start.insert(start.end(), {"--provider-dir", prefix + "/lib", "--delivery-threads", "1"});
        for (const std::string& s : settings) start.insert(start.end(), {"--set", s});
        step = run(start, env);
        if (step.exitCode == 0) {
            running_ = true;
            return;
        }
        messages += step.err;
        if (step.err.find("in use") == std::string::npos &&
            step.err.find("could not listen") == std::string::npos)
            break;
    }
    endDetached(watchdog_);
    watchdog_ = -1;
    throw std::runtime_error("sfcb did not start:\n" + messages);
}

Sfcb::~Sfcb() {
    if (running_) stop();
    endDetached(watchdog_);
}

bool Sfcb::stop(std::string* messages) {
    const ProgramResult r = run({control_, "stop", "--home", home_}, {}, 30000);
    if (messages) *messages = r.err;
    running_ = false;
    endDetached(watchdog_);
    watchdog_ = -1;
    return r.exitCode == 0;
}

std::string Sfcb::tail(const char* file, size_t bytes) const {
    const std::string text = qmstest::fileText(home_ + "/" + file);
    return text.size() > bytes ? "..." + text.substr(text.size() - bytes) : text;
}

}  // namespace cimomtest
