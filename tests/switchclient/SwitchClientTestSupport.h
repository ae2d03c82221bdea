// Helpers of the switch-client tests: a scratch root with chosen parts of an
// installed agent (for the attach failures that the simulator cannot show),
// and a recorder of the events that reach a handler or listener.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/Programs.h"
#include "common/RqbdSim.h"
#include "rqbdsim/RawChannel.h"
#include "switchclient/SipJson.h"
#include "switchclient/ThreadedSwitchClient.h"

namespace sctest {

// A fresh root under /tmp that QMS_TEST_ROOT points to while it exists.
class ScratchRoot {
public:
    ScratchRoot() { setenv("QMS_TEST_ROOT", dir_.path().c_str(), 1); }
    ~ScratchRoot() {
        for (int fd : listeners_) close(fd);
    }

    std::string path(const std::string& systemPath) const { return dir_.path() + systemPath; }

    // An empty regular file at systemPath (directories made as needed).
    void touch(const std::string& systemPath) {
        makeParents(systemPath);
        std::ofstream(path(systemPath)).put('\n');
    }
    // A Unix socket listening at systemPath that nobody ever answers.
    void listen(const std::string& systemPath) {
        makeParents(systemPath);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path(systemPath).c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::listen(fd, 16), 0);
        listeners_.push_back(fd);
    }

private:
    void makeParents(const std::string& systemPath) {
        std::filesystem::create_directories(std::filesystem::path(path(systemPath)).parent_path());
    }

    qmstest::ScratchDir dir_{"qms-sc"};
    std::vector<int> listeners_;
};

// One event as a test looks at it.
struct SeenEvent {
    unsigned opcode;
    unsigned data;
};

// Thread-safe list of events, filled on the event thread.
class EventLog : public provider::ThreadedSwitchClient::EventListener {
public:
    void onEvent(SipJson& event) override {
        const int index = static_cast<int>(event.GetCmdIndex());
        SeenEvent seen{event.GetCmdElemValue(index, "OC", 0), 0};
        event.GetCmdUIntData(index, seen.data);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(seen);
        }
        changed_.notify_all();
    }
    // Waits until at least n events are in.
    bool waitFor(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return events_.size() >= n; });
    }
    std::vector<SeenEvent> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SeenEvent> events_;
};

using rqbdsimtest::ctl;
using rqbdsimtest::eventually;

// Makes request opcode 0x0402 answer with a 1 MiB text. Cut in half by
// `truncated-frame`, such a reply is still arriving while the reader starts
// on it, so the reader sees a short frame instead of a hang-up before its
// first byte: the way a daemon dying in the middle of a reply looks.
inline void useHugeReplyScenario(const qmstest::RqbdSim& sim) {
    const std::string path = sim.root() + "/huge.json";
    {
        std::ofstream out(path);
        out << R"({"replies":[{"OC":"0x0402","ST":0,"DA":")" << std::string(1 << 20, 'x') << R"("}]})";
    }
    ctl(sim, {"scenario", path});
}

}  // namespace sctest
