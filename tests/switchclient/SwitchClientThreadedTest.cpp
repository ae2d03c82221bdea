// ThreadedSwitchClient and CimSwitchClient against the agent simulator:
// lazy attach, recovery after a lost daemon, event switching, the account
// check and many callers at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "switchclient/CimSwitchClient.h"
#include "switchclient/SwitchClientTestSupport.h"
#include "switchclient/ThreadedSwitchClient.h"

using provider::CimSwitchClient;
using provider::kSwitchClientFailure;
using provider::ThreadedSwitchClient;
using qmstest::RqbdSim;
using sctest::ctl;
using sctest::EventLog;

namespace {

unsigned cabinetRequest(ThreadedSwitchClient& client, long* error, unsigned* cabinet = nullptr) {
    SipJson message;
    message.GetCmd();
    message.SetCmdParam("OC", 0xE204);
    const unsigned status = client.request(message, error);
    if (cabinet != nullptr) message.GetCmdUIntData(0, *cabinet);
    return status;
}

// Answers opcode 0x0402 with index i by data base + i, for i in 1..count.
void answerIndices(const RqbdSim& sim, int count, int base) {
    std::string rows;
    for (int i = 1; i <= count; ++i)
        rows += std::string(i > 1 ? "," : "") + R"({"OC":"0x0402","OI":)" + std::to_string(i) + R"(,"DA":)" +
                std::to_string(base + i) + "}";
    ctl(sim, {"scenario", R"({"replies":[)" + rows + "]}"});
}

bool waitSubscribers(const RqbdSim& sim, int n) {
    return sim.ctl({"wait-subscribers", std::to_string(n)}).exitCode == 0;
}

// A simulator of its own for every test, and a listener for the clients
// that take events.
class ThreadedSwitchClientTest : public ::testing::Test {
protected:
    RqbdSim sim;
    EventLog listener;
};

TEST_F(ThreadedSwitchClientTest, FirstUseAttachesAndEventsReachTheListener) {
    ctl(sim, {"scenario", R"({"cabinet":5})"});
    ShPtr<CimSwitchClient> client = provider::newCimSwitchClient("ThreadedTest", &listener);
    EXPECT_EQ(ctl(sim, {"status"}).find("\"requestClients\":1"),
              std::string::npos);  // nothing before first use
    // Disabling what was never enabled is refused, but attaches all the same.
    long error = 0;
    EXPECT_FALSE(client->enableEvents(false, &error));
    EXPECT_EQ(error, kSwitchClientFailure);
    EXPECT_NE(ctl(sim, {"status"}).find("\"requestClients\":1"), std::string::npos);

    unsigned cabinet = 0;
    EXPECT_EQ(cabinetRequest(*client, &error, &cabinet), 0u);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(cabinet, 5u);
    EXPECT_EQ(cabinetRequest(*client, nullptr), 0u);  // a null error pointer is fine

    EXPECT_TRUE(client->enableEvents(true, &error));
    EXPECT_EQ(error, 0);
    ASSERT_TRUE(waitSubscribers(sim, 1));
    ctl(sim, {"push-drvmon", "7"});
    ASSERT_TRUE(listener.waitFor(1));
    EXPECT_EQ(listener.events()[0].opcode, 0x181Bu);
    EXPECT_EQ(listener.events()[0].data, 7u);

    // Switching to the state already in force is refused.
    EXPECT_FALSE(client->enableEvents(true, &error));
    EXPECT_EQ(error, kSwitchClientFailure);
    EXPECT_TRUE(client->enableEvents(false, &error));
    EXPECT_FALSE(client->enableEvents(false, &error));
    EXPECT_EQ(error, kSwitchClientFailure);
}

// A request that loses the link drops the client; the events it carried do
// not wait for some later request: a new client takes them over at once.
TEST_F(ThreadedSwitchClientTest, LostLinkDropsTheClientAndEventsComeBackAtOnce) {
    ShPtr<CimSwitchClient> client = provider::newCimSwitchClient("ThreadedTest", &listener);
    long error = -1;
    ASSERT_TRUE(client->enableEvents(true, &error));
    ASSERT_TRUE(waitSubscribers(sim, 1));

    ctl(sim, {"truncated-frame"});
    SipJson cut(0x0402, 0, 0, 0, SipJson::kNoStatus);
    ASSERT_EQ(client->request(cut, &error), 6u);
    // No request in between: pushes reach the listener again by themselves.
    ASSERT_TRUE(sctest::eventually([&] {
        ctl(sim, {"push-drvmon", "3"});
        return listener.waitFor(1, std::chrono::milliseconds(200));
    }));
    EXPECT_EQ(listener.events()[0].data, 3u);
    EXPECT_EQ(cabinetRequest(*client, &error), 0u);
    EXPECT_EQ(error, 0);
}

// An agent that does not answer when events are first wanted (a
// subscription arriving while it starts, a CIMOM restarted with stored
// subscriptions): events are switched on all the same and start when the
// agent comes; meanwhile requests fail at once instead of each waiting and
// retrying on its own.
TEST_F(ThreadedSwitchClientTest, AnUnreachableAgentIsWaitedForWithoutHoldingAnyoneUp) {
    ShPtr<CimSwitchClient> client = provider::newCimSwitchClient("ThreadedTest", &listener);
    ctl(sim, {"refuse-connections"});
    const auto start = std::chrono::steady_clock::now();
    long error = -1;
    EXPECT_TRUE(client->enableEvents(true, &error));
    EXPECT_EQ(error, 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(cabinetRequest(*client, &error), 6u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    ctl(sim, {"accept-connections"});
    ASSERT_TRUE(waitSubscribers(sim, 1));
    ctl(sim, {"push-drvmon", "9"});
    ASSERT_TRUE(listener.waitFor(1));
    EXPECT_EQ(cabinetRequest(*client, &error), 0u);
    EXPECT_EQ(error, 0);

    // Events that still wait for the agent are switched off without it.
    ShPtr<CimSwitchClient> waiting = provider::newCimSwitchClient("ThreadedTest2", nullptr);
    ctl(sim, {"refuse-connections"});
    EXPECT_TRUE(waiting->enableEvents(true, &error));
    EXPECT_TRUE(waiting->enableEvents(false, &error));
    EXPECT_EQ(error, 0);
    ctl(sim, {"accept-connections"});
    EXPECT_NE(sim.ctl({"wait-subscribers", "2", "--timeout-ms", "500"}).exitCode, 0);
}

// An agent that takes requests but never answers holds each for the full
// request limit; switching events off (an unsubscribe, an unload) queued
// behind such a request must still finish at once, and ends it.
TEST_F(ThreadedSwitchClientTest, ASilentAgentDoesNotHoldUpSwitchingOff) {
    ShPtr<ThreadedSwitchClient> client = provider::newThreadedSwitchClient("ThreadedTest", nullptr);
    ASSERT_TRUE(client->enableEvents(true, nullptr));
    ASSERT_TRUE(waitSubscribers(sim, 1));
    ctl(sim, {"drop-replies", "all"});
    ctl(sim, {"clear-requests"});
    auto stalled = std::async(std::launch::async, [&] { return cabinetRequest(*client, nullptr); });
    ASSERT_EQ(sim.ctl({"wait-requests", "1"}).exitCode, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client->enableEvents(false, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(stalled.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_NE(stalled.get(), 0u);
    ctl(sim, {"drop-replies", "0"});
    EXPECT_EQ(cabinetRequest(*client, nullptr), 0u);
}

// The event thread gives up on an agent that stays away longer than
// QM_MAXWAIT_FOR_RQBD; once the agent is back, asking for events again
// brings them back (as the next request does: the outage road's).
TEST_F(ThreadedSwitchClientTest, EventsComeBackAfterTheEventThreadGaveUp) {
    setenv("QM_MAXWAIT_FOR_RQBD", "1", 1);  // before any thread reads the environment
    ShPtr<CimSwitchClient> client = provider::newCimSwitchClient("ThreadedTest", &listener);
    ASSERT_TRUE(client->enableEvents(true, nullptr));
    ASSERT_TRUE(waitSubscribers(sim, 1));
    ctl(sim, {"restart", "--down-ms", "300"});
    ASSERT_TRUE(sim.waitStatus("\"up\":true"));
    EXPECT_NE(sim.ctl({"wait-subscribers", "1", "--timeout-ms", "1000"}).exitCode, 0)
        << "the event thread was to give up";
    long error = -1;
    EXPECT_TRUE(client->enableEvents(true, &error));
    EXPECT_EQ(error, 0);
    ASSERT_TRUE(waitSubscribers(sim, 1));
    ctl(sim, {"push-drvmon", "1"});
    EXPECT_TRUE(listener.waitFor(1));
    client = ShPtr<CimSwitchClient>();  // no thread left to read the environment
    unsetenv("QM_MAXWAIT_FOR_RQBD");
}

// An event handler that asks the agent something while a CIMOM thread's
// request loses the link: the task thread drops the client and must wait
// for its event thread, which is inside that handler. The handler's request
// must not queue behind the task thread, or neither ever returns.
TEST_F(ThreadedSwitchClientTest, RequestFromAnEventHandlerWhileTheClientIsDroppedNeverDeadlocks) {
    struct AskingListener : ThreadedSwitchClient::EventListener {
        std::promise<void> inside, go, done;
        std::shared_future<void> goAhead = go.get_future().share();
        std::atomic<bool> first{true};
        ThreadedSwitchClient* client = nullptr;
        void onEvent(SipJson&) override {
            if (!first.exchange(false)) return;
            inside.set_value();
            goAhead.wait();
            cabinetRequest(*client, nullptr);
            done.set_value();
        }
    } listener;
    std::future<void> inside = listener.inside.get_future(), done = listener.done.get_future();
    ShPtr<ThreadedSwitchClient> client = provider::newThreadedSwitchClient("ThreadedTest", &listener);
    listener.client = client.get();
    ASSERT_TRUE(client->enableEvents(true, nullptr));
    ASSERT_TRUE(waitSubscribers(sim, 1));
    ctl(sim, {"push-drvmon", "1"});
    ASSERT_EQ(inside.wait_for(std::chrono::seconds(10)), std::future_status::ready);

    sctest::useHugeReplyScenario(sim);
    ctl(sim, {"truncated-frame"});
    ctl(sim, {"clear-requests"});
    auto lost = std::async(std::launch::async, [&] {
        SipJson big(0x0402, 0, 0, 0, SipJson::kNoStatus);
        return client->request(big, nullptr);
    });
    ASSERT_EQ(sim.ctl({"wait-requests", "1"}).exitCode, 0);
    listener.go.set_value();
    if (lost.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "the task thread and the event thread wait for each other";
        std::abort();  // nothing could end the test otherwise
    }
    EXPECT_EQ(lost.get(), 6u);
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // The link comes back for the next caller.
    EXPECT_EQ(cabinetRequest(*client, nullptr), 0u);
}

TEST(CimSwitchClient, AccountCheckDependsOnlyOnTheCabinetQuery) {
    RqbdSim sim;
    ShPtr<CimSwitchClient> client = provider::newCimSwitchClient("ThreadedTest", nullptr);

    ctl(sim, {"scenario", R"({"cabinet":2,"account":{"check":1,"userGroup":"admins"}})"});
    EXPECT_TRUE(client->accountCheck());
    // The configuration queries went to the reported cabinet.
    const std::string log = ctl(sim, {"requests"});
    EXPECT_NE(log.find(R"("OC":57345,"OE":14354,"CA":2)"), std::string::npos) << log;
    EXPECT_NE(log.find(R"("OC":57345,"OE":14355,"CA":2)"), std::string::npos) << log;

    // The account configuration cannot be read: still allowed.
    ctl(sim, {"scenario", R"({"replies":[{"OC":"0xE001","ST":1}]})"});
    EXPECT_TRUE(client->accountCheck());

    // The agent does not answer the cabinet query with data: refused.
    ctl(sim, {"scenario", R"({"replies":[{"OC":"0xE204","ST":1,"DA":0}]})"});
    EXPECT_FALSE(client->accountCheck());
}

// A reply frame sent twice would put every later reply one request behind:
// each request must still get its own reply, and the agent's events their
// own details.
TEST_F(ThreadedSwitchClientTest, AStrayReplyFrameCostsNoReply) {
    answerIndices(sim, 6, 100);
    ShPtr<ThreadedSwitchClient> client = provider::newThreadedSwitchClient("ThreadedTest", nullptr);
    ASSERT_EQ(cabinetRequest(*client, nullptr), 0u);
    ctl(sim, {"duplicate-replies", "2"});
    for (unsigned oi = 1; oi <= 6; ++oi) {
        SCOPED_TRACE(oi);
        SipJson message(0x0402, 0, oi, 0, SipJson::kNoStatus);
        unsigned value = 0;
        EXPECT_EQ(client->request(message, nullptr), 0u);
        EXPECT_TRUE(message.GetCmdUIntData(0, value));
        EXPECT_EQ(value, 100 + oi);
    }
    // A stray copy that echoes the very command asked next passes every
    // check on the reply itself: only the look at the channel before the
    // request tells the agent's stale answer from its new one.
    ctl(sim, {"duplicate-replies", "1"});
    SipJson first(0x0402, 0, 1, 0, SipJson::kNoStatus);
    ASSERT_EQ(client->request(first, nullptr), 0u);
    answerIndices(sim, 1, 200);
    SipJson again(0x0402, 0, 1, 0, SipJson::kNoStatus);
    unsigned value = 0;
    ASSERT_EQ(client->request(again, nullptr), 0u);
    EXPECT_TRUE(again.GetCmdUIntData(0, value));
    EXPECT_EQ(value, 201u);
}

// Many threads through one client: every reply reaches its own caller, and
// the daemon sees one request channel carrying them one after the other.
TEST(CimSwitchClient, ConcurrentRequestsAreSerialisedAndMatched) {
    RqbdSim sim;
    constexpr int kThreads = 8;
    constexpr int kPerThread = 20;
    answerIndices(sim, kThreads * kPerThread, 100000);
    ctl(sim, {"delay-replies", "1"});
    ShPtr<CimSwitchClient> client = provider::newCimSwitchClient("ThreadedTest", nullptr);

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kPerThread; ++k) {
                const unsigned index = static_cast<unsigned>(t * kPerThread + k + 1);
                SipJson message(0x0402, 0, index, 0, SipJson::kNoStatus);
                long error = -1;
                unsigned value = 0;
                if (client->request(message, &error) != 0 || error != 0 ||
                    !message.GetCmdUIntData(0, value) || value != 100000 + index ||
                    message.GetCmdElemValue(0, "OI", 0) != index) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);

    // One request connection (plus its handshake) carried everything.
    const std::string log = ctl(sim, {"requests"});
    const std::regex conn(R"("conn":[^,]*)");
    std::vector<std::string> conns;
    for (std::sregex_iterator it(log.begin(), log.end(), conn), end; it != end; ++it)
        conns.push_back(it->str());
    EXPECT_EQ(conns, std::vector<std::string>(kThreads * kPerThread + 1, conns.at(0)));
}

}  // namespace
