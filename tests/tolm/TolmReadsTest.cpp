// The reads the module makes, against the agent simulator: which replies each
// family accepts and how it decodes them, and what a lost link or a reply of
// any data form makes of them. What each sends is the wire test's, and the
// values a listener sees from a well-formed agent are the roads'.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/RqbdSim.h"
#include "support/TraceCapture.h"
#include "support/provider_utils.h"
#include "switchclient/CimSwitchClient.h"
#include "switchclient/SipJson.h"
#include "tolm/TOLMCalls.h"

using provider::PString;
using provider::PUInt;
using provider::TOLMCalls;
using provider::TOLMKey;
using qmstest::RqbdSim;

namespace {

using Bytes = std::vector<unsigned>;
using Strings = std::vector<std::string>;

PString text(const char* s) { return PString(cimple::String(s)); }

// Bytes as the agent's RAW data member.
std::string rawJson(const std::vector<unsigned>& bytes) {
    std::string out = "{\"RAW\":[";
    for (size_t i = 0; i < bytes.size(); ++i) out += (i ? "," : "") + std::to_string(bytes[i]);
    return out + "]}";
}

// One reply row of a scenario: opcode, status and data (JSON, may be empty).
std::string row(const std::string& oc, unsigned st, const std::string& da = "") {
    return "{\"OC\":\"" + oc + "\",\"ST\":" + std::to_string(st) + (da.empty() ? "" : ",\"DA\":" + da) + "}";
}

void put(Bytes& out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<unsigned>((value >> (8 * i)) & 0xFF));
}

// One log record; length 0 means "as long as it is".
Bytes record(unsigned seqNr, const std::string& text, unsigned length = 0, bool terminated = true,
             int time = 0) {
    Bytes r;
    put(r, length ? length : 16 + static_cast<unsigned>(text.size()) + (terminated ? 1 : 0), 2);
    put(r, 0, 6);  // severity, message number, attributes: read on the roads
    put(r, static_cast<unsigned>(time), 4);
    put(r, seqNr, 4);
    for (char c : text) r.push_back(static_cast<unsigned char>(c));
    if (terminated) r.push_back(0);
    return r;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Strings strings(const provider::PStrings& list) {
    Strings out;
    for (size_t i = 0; i < list.value.size(); ++i) out.push_back(list.value[i].c_str());
    return out;
}

const TOLMKey server{1, 0, 0}, driverMonitor{1, 1, 0};

class TolmReads : public ::testing::Test {
protected:
    TolmReads() : calls(provider::newTOLMCalls("tolm-test")) {}

    // Replaces the scenario: cabinet 1 plus extra (JSON members without braces).
    void scenario(const std::string& extra) {
        const auto r = sim.ctl({"scenario", "{\"cabinet\":1," + extra + "}"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        sim.ctl({"clear-requests"});
    }
    // Reply rows; anything else is answered with status 1.
    void replies(const Strings& rows) {
        std::string json = "\"defaultStatus\":1,\"replies\":[";
        for (size_t i = 0; i < rows.size(); ++i) json += (i ? "," : "") + rows[i];
        scenario(json + "]");
    }
    bool nothingSent() { return sim.ctl({"requests"}).out.empty(); }

    RqbdSim sim;
    qms_test::TraceCapture traces;
    ShPtr<TOLMCalls> calls;
};

TEST_F(TolmReads, StatusAndDataChecksOfTheFamilies) {
    replies({row("0xE104", 12, "7"), row("0xE107", 21), row("0x1817", 0, "4660"), row("0x1816", 0),
             row("0x1815", 0, "\"PCI\\\\1\"")});
    EXPECT_EQ(calls->getSystemTime(server), PUInt(7u));  // status check: 12 counts
    // An accepted status without data is an empty host name, not null.
    EXPECT_EQ(calls->getSystemHostName(server), text(""));
    EXPECT_EQ(calls->getDrvMonEventId(driverMonitor), PUInt(4660u));
    EXPECT_TRUE(calls->getDrvMonEventSeverity(driverMonitor).is_null());  // data check: no data is null
    EXPECT_EQ(calls->getDrvMonEventMessageText(driverMonitor), text("PCI\\1"));

    replies({row("0xE104", 255), row("0x0C00", 3, "\"x\""), row("0x1815", 0)});
    EXPECT_TRUE(calls->getSystemTime(server).is_null());
    EXPECT_TRUE(calls->getChassisSerialNumber(server).is_null());
    EXPECT_TRUE(traces.contains(1, "getChassisSerialNumber(): request() failed"));
    EXPECT_TRUE(calls->getDrvMonEventMessageText(driverMonitor).is_null());
}

TEST_F(TolmReads, FailedRequestsAnswerNullOrThrow) {
    replies({row("0xE204", 1, "1"), row("0xE104", 1, "5"), row("0x0B13", 1, "5"), row("0x1817", 1, "5"),
             row("0x0B23", 1, "\"s\"")});
    EXPECT_TRUE(calls->getSystemTime(server).is_null());
    EXPECT_TRUE(calls->getLogMessageNrEntries(server).is_null());
    EXPECT_TRUE(calls->getDrvMonEventId(driverMonitor).is_null());
    EXPECT_TRUE(calls->getLogMessageActionSummary(server, 0x1234).is_null());
    EXPECT_TRUE(traces.contains(1, "getSystemTime(): request() failed"));
    EXPECT_TRUE(traces.contains(1, "getDrvMonEventId(): request() failed"));

    try {
        calls->getIdentificationCabinetNumber();
        ADD_FAILURE() << "no throw";
    } catch (const provider::BaseException& e) {
        EXPECT_STREQ(e.message().c_str(), "getIdentificationCabinetNumber(): request() failed");
        EXPECT_EQ(e.line(), 3150);
    }
    try {
        calls->accountCheck();
        ADD_FAILURE() << "no throw";
    } catch (const provider::CimErrorException& e) {
        EXPECT_STREQ(e.message().c_str(), "accountCheck(): current User is not Quarnet Admin");
        EXPECT_EQ(e.getCimError(), provider::CIM_ERR_ACCESS_DENIED);
        EXPECT_EQ(e.line(), 637);
    }
}

// The key's objId names the log: 0 the system log, 1 the driver monitor; a
// read the named log does not have answers null without asking the agent.
TEST_F(TolmReads, TheKeySelectsTheLog) {
    scenario("\"systemLogCount\":5,\"driverMonitorCount\":3");
    EXPECT_EQ(calls->getLogMessageNrEntries(server), PUInt(5u));
    EXPECT_EQ(calls->getLogMessageNrEntries(driverMonitor), PUInt(3u));
    EXPECT_EQ(calls->getDrvMonNumberEvents(driverMonitor), PUInt(3u));
    sim.ctl({"clear-requests"});
    EXPECT_TRUE(calls->getLogMessageNrEntries({1, 2, 0}).is_null());
    EXPECT_TRUE(calls->getDrvMonNumberEvents(server).is_null());
    EXPECT_TRUE(calls->getLogMessageCauseRead(driverMonitor, 1).is_null());
    EXPECT_TRUE(calls->getLogMessageResolutionRead(driverMonitor, 1).is_null());
    EXPECT_TRUE(calls->getLogMessageActionSummary(driverMonitor, 1).is_null());
    EXPECT_TRUE(nothingSent());
}

TEST_F(TolmReads, ChunkSizesAndBrokenRecords) {
    std::vector<provider::LogMessage> entries;
    // What a chunk read gives into three entries: the count, then every
    // entry's number and text.
    const auto chunk = [&](const std::string& reply) {
        replies({reply});
        entries.assign(3, provider::LogMessage());
        std::string out = std::to_string(calls->getLogMessageReadChunk(server, 0, entries));
        for (const auto& e : entries) out += " " + std::to_string(e.seqNr) + ":" + e.text.c_str();
        return out;
    };
    const auto of = [](const Bytes& data) { return row("0x0B10", 0, rawJson(data)); };
    // Without a time zone the times are UTC.
    ASSERT_EQ(chunk(of(record(1, "t", 0, true, 1000))), "1 1:t");
    EXPECT_EQ(entries[0].timestamp.usec(), 1000ull * 1000000u);
    EXPECT_EQ(entries[0].timestamp.offset(), 0);

    Bytes zeroLength = record(1, "abc");
    zeroLength[0] = zeroLength[1] = 0;
    const std::string a23(23, 'a'), b13(13, 'b'), c20(20, 'c'), untouched = "0 0: 0: 0:";
    const std::pair<std::string, std::string> cases[] = {
        // 16 bytes are no record; a record of length 0 cannot be walked.
        // Either way entries stay as they were.
        {of(Bytes(16, 0)), untouched},
        {of(zeroLength), untouched},
        // The records before it are delivered.
        {of(record(5, "x") + zeroLength), "1 5:x"},
        // The smallest record: header and an empty text.
        {of(record(9, "")), "1 9:"},
        // Records of 40 and 30 bytes.
        {of(record(1, a23) + record(2, b13)), "2 1:" + a23 + " 2:" + b13},
        // A text without terminator ends with the data, not in the next bytes.
        {of(record(1, "open", 0, false)), "1 1:open"},
        // A length running past the data ends the walk there too: one broken
        // record does not cost the ones before it.
        {of(record(1, c20) + record(2, "d", 200)), "1 1:" + c20},
        {of(record(2, "d", 200) + record(1, c20)), untouched},
        // No data at all, and a refused request.
        {row("0x0B10", 0), untouched},
        {row("0x0B10", 1, rawJson(record(1, "x"))), untouched},
    };
    for (const auto& c : cases) EXPECT_EQ(chunk(c.first), c.second) << c.first;
    EXPECT_TRUE(
        traces.contains(1, "getLogMessageReadChunk(): record at byte 37 runs past the 55 bytes of data"));
    EXPECT_TRUE(traces.contains(1, "getLogMessageReadChunk(): request() failed"));
}

TEST_F(TolmReads, MultiStringDecoding) {
    auto resolution = [&](const Bytes& data) {
        replies({row("0x0B17", 0, rawJson(data))});
        return calls->getLogMessageResolutionRead(server, 1);
    };
    EXPECT_EQ(strings(resolution({'a', 'b', 'c', 0, 'd', 'e', 0, 0, 'z', 0})), (Strings{"abc", "de"}));
    EXPECT_EQ(strings(resolution({0})), (Strings{""}));
    EXPECT_EQ(strings(resolution({'a', 0, 'b'})), (Strings{"a", "b"}));
    const auto empty = resolution({});
    EXPECT_FALSE(empty.is_null());
    EXPECT_EQ(empty.value.size(), 0u);
}

TEST_F(TolmReads, DriverMonitorComponentIndexBounds) {
    const TOLMKey entry{1, 4, 0};
    // 2^31 is compared as signed: it passes.
    for (const auto& [da, index] :
         {std::pair{"65535", PUInt(0xFFFFu)}, {"65536", PUInt()}, {"2147483648", PUInt(0x80000000u)}}) {
        replies({row("0x1818", 0, da)});
        EXPECT_EQ(calls->getDrvMonEventComponentIndex(entry), index) << da;
    }
}

// An agent link that loses every request, in the ways a link may say so: by
// the error code, leaving in the message what a careless reader would take
// for the agent's reply (status 19, the object is absent; data 7; error code
// 3) and answering 19 as a refusal would, or 0, the status a request carrying
// data sets in its own message; or, as the switch client does, by its result
// alone (19 is also a transport code) with the message's status removed.
struct Loss {
    unsigned result;
    long error;
};
class LostLink : public provider::CimSwitchClient {
public:
    explicit LostLink(Loss loss) : loss_(loss) {}
    unsigned request(SipJson& message, long* error) override {
        if (loss_.error != 0) {
            message.SetDataUIntValue(7, 19);
            message.SetCmdParam("EC", 3);
        } else {
            message.GetCmd();
            message.RemoveCmdParam("ST");
        }
        if (error) *error = loss_.error;
        return loss_.result;
    }
    bool enableEvents(bool, long* error) override {
        if (error) *error = provider::kSwitchClientFailure;
        return false;
    }
    bool accountCheck() override { return false; }

private:
    Loss loss_;
};

template <class T>
std::string outcome(const cimple::Property<T>& p) {
    return p.is_null() ? "null" : "value";
}
std::string outcome(unsigned n) { return std::to_string(n); }

// Every read the module makes, and what it answers when its request is lost.
using Read = std::function<std::string(TOLMCalls&)>;
const std::vector<std::pair<std::string, Read>> kReads = {
    {"null", [](TOLMCalls& c) { return outcome(c.getDrvMonEventId(driverMonitor)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getDrvMonEventTimestamp(driverMonitor)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getDrvMonEventMessageText(driverMonitor)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getDrvMonEventComponentIndex(driverMonitor)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getDrvMonEventSeverity(driverMonitor)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getDrvMonNumberEvents(driverMonitor)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getSystemTime(server)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getSystemHostName(server)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getChassisSerialNumber(server)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getLogMessageNrEntries(server)); }},
    {"0",
     [](TOLMCalls& c) {
         std::vector<provider::LogMessage> entries(2);
         return outcome(c.getLogMessageReadChunk(server, 1, entries));
     }},
    {"null", [](TOLMCalls& c) { return outcome(c.getLogMessageCauseRead(server, 1)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getLogMessageResolutionRead(server, 1)); }},
    {"null", [](TOLMCalls& c) { return outcome(c.getLogMessageActionSummary(server, 1)); }},
    {"throws", [](TOLMCalls& c) { return outcome(c.getIdentificationCabinetNumber()); }},
};

std::string attempt(const Read& read, TOLMCalls& calls) {
    try {
        return read(calls);
    } catch (const provider::BaseException&) {
        return "throws";
    }
}

TEST(TolmTransport, AFailedRequestIsNeverReadAsTheAgentsAnswer) {
    for (const Loss loss :
         {Loss{19, provider::kSwitchClientFailure}, Loss{0, provider::kSwitchClientFailure}, Loss{19, 0}}) {
        qms_test::TraceCapture traces;
        ShPtr<TOLMCalls> calls = provider::newTOLMCalls(ShPtr<provider::CimSwitchClient>(new LostLink(loss)));
        for (size_t i = 0; i < kReads.size(); ++i)
            EXPECT_EQ(attempt(kReads[i].second, *calls), kReads[i].first)
                << "read " << i << ", result " << loss.result << ", error " << loss.error;
        EXPECT_TRUE(traces.contains(1, "getDrvMonEventId(): request() failed"));
    }
}

// Replies of every data form to every read the module makes: the family's
// failure result or a value, never a crash.
TEST_F(TolmReads, EveryDataFormToEveryRead) {
    // clang-format off
    const std::string forms[] = {"\"text\"", "{\"RAW\":[]}", "{\"RAW\":[1,2,3]}", "18446744073709551615", "-1", "1.5",
                                 "true", "null", "{\"a\":1}", "[\"a\",\"b\"]", "[[[1]]]", "{\"RAW\":[\"x\",300,-4]}"};
    // clang-format on
    for (const auto& da : forms) {
        SCOPED_TRACE(da);
        Strings rows;
        for (const char* oc : {"0x0B13", "0x1810", "0x0B10", "0x0B17", "0x0B1A", "0x0B23", "0x1815", "0x1816",
                               "0x1817", "0x1818", "0x181A", "0xE107", "0xE104", "0x0C00"})
            rows.push_back(row(oc, 0, da));
        replies(rows);
        const auto number = calls->getDrvMonEventId(driverMonitor);
        if (da[0] == '"' || da[0] == '[' || da == "1.5" || da == "18446744073709551615" || da == "null") {
            EXPECT_TRUE(number.is_null());
        }
        const auto message = calls->getDrvMonEventMessageText(driverMonitor);
        EXPECT_NE(message.is_null(), da != "null");
        if (da == "-1" || da == "1.5" || da == "true" || da[0] == '[' || da == "{\"a\":1}") {
            EXPECT_EQ(message, text(""));
        }
        for (const auto& read : kReads) attempt(read.second, *calls);
    }
}

}  // namespace
