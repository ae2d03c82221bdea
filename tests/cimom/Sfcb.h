// A private sfcb for tests and benchmarks: a real CIMOM hosting the installed
// module, on a port of its own.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace cimomtest {

// One private sfcb, started the way sfcb's README tells: init, sfcbstage of
// the installed registration and MOF into root/qms, start with the install's
// lib directory as provider directory and one delivery thread. A detached
// watchdog stops it should this test process die without its teardown.
class Sfcb {
public:
    // Throws std::runtime_error with sfcb-ctl's messages when it does not
    // come up. `settings` are extra sfcb.cfg settings ("key=value").
    Sfcb(const std::string& sfcbHome, const std::string& home, const std::string& prefix,
         const std::vector<std::string>& env, const std::vector<std::string>& settings);
    ~Sfcb();
    Sfcb(const Sfcb&) = delete;
    Sfcb& operator=(const Sfcb&) = delete;

    // Stops it (sfcb-ctl stop); true when sfcb-ctl says it is stopped.
    bool stop(std::string* messages = nullptr);
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    const std::string& home() const { return home_; }
    // The tail of one of the home's files (sfcbd.out, sfcb.log).
    std::string tail(const char* file, size_t bytes = 4000) const;

private:
    std::string control_;
    std::string home_;
    int port_ = 0;
    pid_t watchdog_ = -1;
    bool running_ = false;
};

}  // namespace cimomtest
