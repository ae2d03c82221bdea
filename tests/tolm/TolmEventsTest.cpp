// Event decoding and the listener, without an agent: the
// facade makes no request until an operation asks, so events are fed straight
// into its switch-client listener.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/TraceCapture.h"
#include "support/provider_utils.h"
#include "switchclient/SipJson.h"
#include "switchclient/ThreadedSwitchClient.h"
#include "tolm/TOLMCalls.h"
#include "tolm/TOLMEventsListener.h"

using provider::TOLMCalls;

namespace {

using Strings = std::vector<std::string>;

// What reaches it, a line a call. Events arrive on the pushing thread.
struct RecordingListener : provider::TOLMEventsListener {
    void onSystemMessageLogEntry(unsigned int seqNr) override {
        calls.push_back("syslog " + std::to_string(seqNr));
    }
    void onDriverMonitorLogEntry(unsigned int seqNr) override {
        calls.push_back("drvmon " + std::to_string(seqNr));
    }
    void onLogMessageArguments(const cimple::Array<cimple::String>& args) override {
        calls.push_back("args");
        for (size_t i = 0; i < args.size(); ++i) calls.back() += std::string(" [") + args[i].c_str() + "]";
    }
    void onRaidEvent(const std::string& msg) override { calls.push_back("raid " + msg); }

    Strings calls;
};

class TolmEvents : public ::testing::Test {
protected:
    void SetUp() override {
        calls = provider::newTOLMCalls("tolm-unit");
        events = dynamic_cast<provider::ThreadedSwitchClient::EventListener*>(calls.get());
        ASSERT_NE(events, nullptr);
        calls->setListener(&listener);
    }

    // An event as the agent pushes it: a status (0 unless told) and a number.
    void pushNumber(unsigned opcode, unsigned value, unsigned status = 0) {
        SipJson event(opcode, 0, 0, 0, SipJson::kNoStatus);
        event.SetDataUIntValue(value, status);
        events->onEvent(event);
    }
    void pushBytes(unsigned opcode, const std::vector<unsigned char>& data) {
        SipJson event(opcode, 0, 0, 0, SipJson::kNoStatus);
        event.SetDataRaw(data.data(), data.size(), 0);
        events->onEvent(event);
    }
    // Arguments event: count at byte 25, the strings from byte 26.
    void pushArguments(unsigned count, const std::string& strings) {
        std::vector<unsigned char> data(26, 0);
        data[25] = static_cast<unsigned char>(count);
        data.insert(data.end(), strings.begin(), strings.end());
        pushBytes(0x0B16, data);
    }

    qms_test::TraceCapture traces;
    RecordingListener listener;
    ShPtr<TOLMCalls> calls;
    provider::ThreadedSwitchClient::EventListener* events = nullptr;
};

// Log-entry events reach their listener operation; unknown ones and those
// without usable data are dropped.
TEST_F(TolmEvents, WhichEventsReachTheListener) {
    pushNumber(0x0B11, 0x42);
    pushNumber(0x181B, 0x42);
    pushNumber(0x0B12, 1);
    SipJson empty;  // no command at all reads as opcode 0
    events->onEvent(empty);
    EXPECT_TRUE(traces.contains(1, "Tolm::onEvent(): unknown OpCode=b12"));
    EXPECT_TRUE(traces.contains(1, "Tolm::onEvent(): unknown OpCode=0"));

    SipJson noStatus(0x0B11, 0, 0, 0, SipJson::kNoStatus);
    noStatus.SetDataUIntValue(0x42, 0);
    noStatus.GetCmd().RemoveMember("ST");
    events->onEvent(noStatus);

    pushNumber(0x181B, 0x42, 1);  // refused

    SipJson noData(0x21C1, 0, 0, 0, 0);
    events->onEvent(noData);

    // An entry number that is no number names no entry, not entry 0.
    SipJson text(0x0B11, 0, 0, 0, SipJson::kNoStatus);
    text.SetReplyDataString("42", 0);
    events->onEvent(text);

    EXPECT_EQ(listener.calls, (Strings{"syslog 66", "drvmon 66"}));
    EXPECT_TRUE(traces.contains(1, "Tolm::onEvent(): !sip.HasReplyData()"));
    EXPECT_TRUE(traces.contains(1, "Tolm::onEvent(): no entry number"));
}

TEST_F(TolmEvents, ArgumentListFollowsCountAndDataAndNeverReadsPastIt) {
    pushArguments(2, std::string("A\0B\0C\0", 6));     // count limits
    pushArguments(5, std::string("A\0B\0", 4));        // data limits
    pushArguments(3, std::string("", 0));              // 26 bytes: nothing
    pushArguments(3, std::string("X", 1));             // one byte after the count: nothing
    pushArguments(3, std::string("first\0last", 10));  // last string without its terminator
    pushArguments(0, std::string("A\0", 2));
    pushBytes(0x0B16, {});
    pushBytes(0x0B16, std::vector<unsigned char>(10, 0xFF));
    pushNumber(0x0B16, 7);  // a number, not bytes
    EXPECT_EQ(listener.calls, (Strings{"args [A] [B]", "args [A] [B]", "args", "args", "args [first] [last]",
                                       "args", "args", "args", "args"}));
}

TEST_F(TolmEvents, SetListenerAnswersThePreviousAndNullStopsDelivery) {
    RecordingListener other;
    EXPECT_EQ(calls->setListener(&other), &listener);
    pushNumber(0x0B11, 1);
    EXPECT_EQ(calls->setListener(nullptr), &other);
    pushNumber(0x0B11, 2);
    EXPECT_EQ(other.calls, (Strings{"syslog 1"}));
    EXPECT_TRUE(listener.calls.empty());
    EXPECT_TRUE(traces.contains(1, "Tolm::onEvent(): TOLMEventsListener not set"));
}

// The model sets the listener on CIMOM threads while the event thread
// delivers (the thread sanitizer build watches the two meet).
TEST_F(TolmEvents, ListenerChangesWhileEventsArrive) {
    RecordingListener other;
    std::atomic<bool> done{false};
    std::thread flipper([&] {
        while (!done) {
            calls->setListener(&other);
            calls->setListener(&listener);
        }
    });
    for (unsigned i = 0; i < 200; ++i) pushNumber(0x0B11, i);
    done = true;
    flipper.join();
    EXPECT_EQ(listener.calls.size() + other.calls.size(), 200u);
}

}  // namespace
