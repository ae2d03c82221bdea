// CSwitchClient against the agent simulator running as a separate process,
// and against scratch roots holding only parts of an installed agent.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "switchclient/CSwitchClient.h"
#include "switchclient/SwitchClientTestSupport.h"

using qmstest::RqbdSim;
using sctest::ctl;
using sctest::EventLog;
using sctest::eventually;
using sctest::ScratchRoot;

namespace {

// A failed exchange is told by the result alone: no "ST" stays in the
// message, since a status there would read as the agent's (19 on a lost
// channel is the agent's "object absent" to the readers of a reply).
bool noStatus(const SipJson& message) { return message.GetCmdElemValue(0, "ST", 0xBADu) == 0xBADu; }

// --- Attach ----------------------------------------------------------------

// Scratch roots holding parts of an installed agent. A daemon that is
// installed but neither running (no pid file) nor listening ends the wait at
// the first probe; one that has its pid file but never listens is probed 600
// times (about 30 s with the test build's wait factor).
TEST(SwitchClientAttach, FailuresCarryTheirCode) {
    struct Case {
        std::vector<const char*> files, sockets;
        const char* host;
        unsigned code;
        const char* servicePath;
    };
    const std::vector<Case> cases = {
        {{}, {}, "otherhost", 22, ""},                      // remote: not supported
        {{}, {}, nullptr, 6, ""},                           // no service installed
        {{"/usr/sbin/rqbd"}, {}, "", 0, "/usr/sbin/rqbd"},  // the 22 is reset
        {{"/usr/sbin/qmas", "/var/run/qmas.pid"}, {"/dev/rqbds"}, nullptr, 92, "/usr/sbin/qmas"},  // no JSON
        {{"/usr/sbin/rqbd", "/var/run/rqbd.pid"}, {}, nullptr, 110, "/usr/sbin/rqbd"},  // connect timeout
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ScratchRoot root;
        for (const char* file : c.files) root.touch(file);
        for (const char* socket : c.sockets) root.listen(socket);
        CSwitchClient client;
        client.Attach("otherhost", false, 0);  // leaves 22 behind, to be reset
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(client.Attach(c.host, false, 0));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(c.code == 110 ? 60 : 2));
        EXPECT_EQ(client.GetLastError(), c.code);
        EXPECT_EQ(client.GetServicePath(), c.servicePath);
        EXPECT_EQ(client.GetAttachCount(), 0u);
    }
}

TEST(SwitchClientAttach, AttachIsCountedAndTheLastDetachClosesTheChannel) {
    RqbdSim sim;
    CSwitchClient client;
    ASSERT_TRUE(client.SetApplicationName("SwitchClientTest"));
    EXPECT_FALSE(client.Attach("otherhost", false, 0));  // leaves 22 behind
    ASSERT_TRUE(client.Attach(nullptr, false, 0)) << client.GetLastError();
    // A success clears it: callers read a non-zero last error as a lost link.
    EXPECT_EQ(client.GetLastError(), 0u);
    ASSERT_TRUE(client.Attach(nullptr, false, 0));
    EXPECT_EQ(client.GetAttachCount(), 2u);
    EXPECT_NE(ctl(sim, {"status"}).find("\"requestClients\":1"), std::string::npos);

    client.Detach();
    SipJson stillOpen(0xE204, 0, 0, 0, SipJson::kNoStatus);
    EXPECT_EQ(client.Request(stillOpen, 0), 0u);

    client.Detach();
    EXPECT_EQ(client.GetAttachCount(), 0u);
    SipJson detached(0xE204, 0, 0, 0, 0);  // a request that carries "ST" 0
    EXPECT_EQ(client.Request(detached, 0), 19u);
    EXPECT_EQ(detached.GetCmdElemValue(0, "OC", 0), 0xE204u);  // the request stays as it was
    EXPECT_TRUE(noStatus(detached));

    client.Detach();  // at count 0: nothing
    EXPECT_EQ(client.GetAttachCount(), 0u);
    EXPECT_TRUE(sim.waitStatus("\"requestClients\":0"));
}

// --- Requests --------------------------------------------------------------

TEST(SwitchClientRequest, TransportFailuresBecomeTheResultAndLeaveNoStatus) {
    RqbdSim sim;
    CSwitchClient client;
    ASSERT_TRUE(client.Attach(nullptr, false, 0));

    // The daemon closes the channel before the reply: no reply (hang-up).
    // The reply is dropped and the channel closed once the request is in, so
    // no part of a frame can come before the hang-up.
    ctl(sim, {"drop-replies", "1"});
    ctl(sim, {"clear-requests"});
    std::thread closer([&sim] {
        ctl(sim, {"wait-requests", "1", "--timeout-ms", "10000"});
        ctl(sim, {"close-clients"});
    });
    SipJson cut(0xE204, 0, 0, 0, SipJson::kNoStatus);
    EXPECT_EQ(client.Request(cut, 0), 5u);
    closer.join();
    EXPECT_TRUE(noStatus(cut));
    EXPECT_EQ(cut.GetCmdElemValue(0, "OC", 0), 0xE204u);

    // The channel breaks in the middle of a reply: receiving fails.
    client.Detach();
    ASSERT_TRUE(client.Attach(nullptr, false, 0));
    sctest::useHugeReplyScenario(sim);
    ctl(sim, {"truncated-frame"});
    SipJson broken(0x0402, 0, 0, 0, SipJson::kNoStatus);
    EXPECT_EQ(client.Request(broken, 0), 6u);
    EXPECT_TRUE(noStatus(broken));

    // A reply that is no agent document reads as a missing status.
    client.Detach();
    ASSERT_TRUE(client.Attach(nullptr, false, 0));
    ctl(sim, {"malformed-frame"});
    SipJson garbled(0xE204, 0, 0, 0, SipJson::kNoStatus);
    EXPECT_EQ(client.Request(garbled, 0), 22u);
    EXPECT_FALSE(garbled.HasReplyData());
    client.Detach();
}

// --- Events ----------------------------------------------------------------

class RecordingClient : public CSwitchClient {
public:
    explicit RecordingClient(EventLog& log) : log_(log) {}
    void Event(SipJson& event) override { log_.onEvent(event); }

private:
    EventLog& log_;
};

class SwitchClientEvents : public ::testing::Test {
protected:
    void enable(CSwitchClient& client) {
        ASSERT_TRUE(client.EnableEvents(true, false));
        ASSERT_EQ(ctl(sim, {"wait-subscribers", "1"}).find("error"), std::string::npos);
    }
    void push(unsigned n) { ctl(sim, {"push-drvmon", std::to_string(n)}); }

    RqbdSim sim;
    EventLog log;
};

TEST_F(SwitchClientEvents, TheHookSeesEveryEventUntilEventsAreSwitchedOff) {
    RecordingClient client(log);
    client.SetApplicationName("EventsTest");
    enable(client);                                 // needs no attach
    EXPECT_TRUE(client.EnableEvents(true, false));  // already enabled: ignored
    push(5);
    ASSERT_TRUE(log.waitFor(1));
    std::vector<sctest::SeenEvent> seen = log.events();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].opcode, 0x181Bu);
    EXPECT_EQ(seen[0].data, 5u);

    EXPECT_TRUE(client.EnableEvents(false, false));
    EXPECT_FALSE(client.AreEventsEnabled());
    EXPECT_TRUE(client.EnableEvents(false, false));  // already disabled: ignored
    EXPECT_TRUE(sim.waitStatus("\"eventSubscribers\":0"));
}

// A maximum wait that is no number keeps the default instead of reading as
// 0, which would end the recovery at the first lost channel.
TEST_F(SwitchClientEvents, MaximumWaitThatIsNoNumberKeepsTheDefault) {
    setenv("QM_MAXWAIT_FOR_RQBD", "ten", 1);
    {
        RecordingClient client(log);
        enable(client);
        ctl(sim, {"close-clients", "--event"});
        EXPECT_EQ(sim.ctl({"wait-subscribers", "1"}).exitCode, 0);
        push(5);
        EXPECT_TRUE(log.waitFor(1));
        EXPECT_TRUE(client.EnableEvents(false, false));
    }
    unsetenv("QM_MAXWAIT_FOR_RQBD");
}

TEST_F(SwitchClientEvents, RemovedDaemonBinaryEndsTheThread) {
    RecordingClient client(log);
    enable(client);
    ctl(sim, {"uninstall"});
    ctl(sim, {"close-clients", "--event"});
    EXPECT_TRUE(eventually([&] { return !client.IsEventThreadRunning(); }));
    EXPECT_TRUE(client.EnableEvents(false, false));
}

TEST_F(SwitchClientEvents, LastDetachAndDestructorStopEvents) {
    {
        RecordingClient client(log);
        ASSERT_TRUE(client.Attach(nullptr, false, 0));
        enable(client);
        client.Detach();
        EXPECT_FALSE(client.AreEventsEnabled());
        EXPECT_FALSE(client.IsEventThreadRunning());
    }
    {
        // Left attached with events on: the destructor cleans up.
        RecordingClient client(log);
        ASSERT_TRUE(client.Attach(nullptr, false, 0));
        enable(client);
    }
    EXPECT_TRUE(sim.waitStatus("\"eventSubscribers\":0") && sim.waitStatus("\"requestClients\":0"));
}

}  // namespace
