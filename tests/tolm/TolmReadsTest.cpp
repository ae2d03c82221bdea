// The log and identity reads against the agent simulator: which replies each
// accepts and how it decodes them. What each sends is the wire test's, and the
// identity values and entry fields a listener sees are the roads'.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TolmTestSupport.h"
#include "common/RqbdSim.h"
#include "support/provider_utils.h"
#include "tolm/TOLMCalls.h"

using provider::TOLMCalls;
using provider::TOLMKey;
using qmstest::RqbdSim;
using tolmtest::rawJson;
using tolmtest::row;
using tolmtest::TraceLog;

namespace {

using Bytes = std::vector<unsigned>;

void put(Bytes& out, unsigned value, int width) {
    for (int i = 0; i < width; ++i) out.push_back((value >> (8 * i)) & 0xFF);
}

// One log record; length 0 means "as long as it is".
Bytes record(unsigned seqNr, unsigned severity, unsigned messageId, unsigned attributes, int time,
             const std::string& text, unsigned length = 0, bool terminated = true) {
    Bytes r;
    const unsigned natural = 16 + static_cast<unsigned>(text.size()) + (terminated ? 1 : 0);
    put(r, length ? length : natural, 2);
    r.push_back(0);
    r.push_back(severity);
    put(r, messageId, 2);
    r.push_back(attributes);
    r.push_back(0);
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

std::vector<std::string> strings(const provider::PStrings& list) {
    std::vector<std::string> out;
    for (size_t i = 0; i < list.value.size(); ++i) out.push_back(list.value[i].c_str());
    return out;
}

class TolmReads : public ::testing::Test {
protected:
    TolmReads() : calls(provider::newTOLMCalls("tolm-test")) {}

    // Replaces the scenario: the minimal one's members plus extra (JSON members
    // without braces, e.g. "\"timeZone\":2").
    void scenario(const std::string& extra) {
        const std::string json =
            "{\"cabinet\":1,\"hostName\":\"sim-host\",\"systemTime\":1700000000," + extra + "}";
        const auto r = sim.ctl({"scenario", json});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    void replies(const std::string& rows) { scenario("\"replies\":[" + rows + "]"); }
    std::string requests() { return sim.ctl({"requests"}).out; }

    RqbdSim sim;
    TraceLog traces;
    ShPtr<TOLMCalls> calls;
    const TOLMKey server{1, 0, 0};
};

TEST_F(TolmReads, StatusChecksOfTheIdentityReads) {
    replies(row("0xE104", 12, "7") + "," + row("0xE107", 21, ""));
    EXPECT_EQ(calls->getSystemTime(server), provider::PUInt(7u));
    // An accepted status without data is an empty host name, not null.
    EXPECT_EQ(calls->getSystemHostName(server), provider::PString(cimple::String()));

    replies(row("0xE104", 255, "") + "," + row("0x0C00", 3, "\"x\""));
    EXPECT_TRUE(calls->getSystemTime(server).is_null());
    EXPECT_TRUE(calls->getChassisSerialNumber(server).is_null());
    EXPECT_TRUE(traces.has(1, "getChassisSerialNumber(): request() failed"));
}

TEST_F(TolmReads, FailedRequestsAnswerNullOrThrow) {
    replies(row("0xE204", 1, "1") + "," + row("0xE104", 1, "5") + "," + row("0x0B13", 1, "5") + "," +
            row("0x1817", 1, "5") + "," + row("0x0B23", 1, "\"s\""));
    EXPECT_TRUE(calls->getSystemTime(server).is_null());
    EXPECT_TRUE(calls->getLogMessageNrEntries(server).is_null());
    EXPECT_TRUE(calls->getDrvMonEventId({1, 1, 0}).is_null());
    EXPECT_TRUE(calls->getLogMessageActionSummary(server, 0x1234).is_null());
    EXPECT_TRUE(traces.has(1, "getSystemTime(): request() failed"));
    EXPECT_TRUE(traces.has(1, "getDrvMonEventId(): request() failed"));

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

TEST_F(TolmReads, LogSizesSelectTheLog) {
    scenario("\"systemLogCount\":5,\"driverMonitorCount\":3");
    EXPECT_EQ(calls->getLogMessageNrEntries(server), provider::PUInt(5u));
    EXPECT_EQ(calls->getLogMessageNrEntries({1, 1, 0}), provider::PUInt(3u));
    EXPECT_EQ(calls->getDrvMonNumberEvents({1, 1, 0}), provider::PUInt(3u));
    sim.ctl({"clear-requests"});
    EXPECT_TRUE(calls->getLogMessageNrEntries({1, 2, 0}).is_null());
    EXPECT_TRUE(calls->getDrvMonNumberEvents(server).is_null());
    EXPECT_EQ(requests(), "");
}

TEST_F(TolmReads, ChunkDecodesRecordsWithOrWithoutTheTimeZone) {
    scenario(
        "\"timeZone\":2,\"systemLog\":["
        "{\"number\":7,\"severity\":3,\"messageNumber\":\"0x0A05\",\"attributes\":1,\"time\":1700007200,"
        "\"text\":\"Fan slow\"},"
        "{\"number\":8,\"severity\":0,\"messageNumber\":\"0x1234\",\"attributes\":2,\"time\":1700000000,"
        "\"text\":\"\"}]");
    std::vector<provider::LogMessage> entries(5);
    ASSERT_EQ(calls->getLogMessageReadChunk(server, 7, entries), 2u);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].seqNr, 7u);
    EXPECT_TRUE(entries[0].bit0Flag);
    EXPECT_EQ(entries[0].timestamp.usec(), 1700000000ull * 1000000u);  // two hours east of UTC
    EXPECT_EQ(entries[1].seqNr, 8u);
    EXPECT_FALSE(entries[1].bit0Flag);
    EXPECT_STREQ(entries[1].text.c_str(), "");

    // Without a time zone the times are UTC.
    replies(row("0xE001", 1, "") + "," + row("0x0B10", 0, rawJson(record(1, 1, 2, 0, 1000, "t"))));
    ASSERT_EQ(calls->getLogMessageReadChunk(server, 1, entries), 1u);
    EXPECT_EQ(entries[0].timestamp.usec(), 1000ull * 1000000u);
    EXPECT_EQ(entries[0].timestamp.offset(), 0);
}

TEST_F(TolmReads, ChunkSizesAndBrokenRecords) {
    std::vector<provider::LogMessage> entries(3);
    auto chunk = [&](const Bytes& data) {
        replies(row("0x0B10", 0, rawJson(data)));
        return calls->getLogMessageReadChunk(server, 0, entries);
    };
    // 16 bytes are no record; a record of length 0 cannot be walked. Either
    // way entries stay as they were.
    Bytes zeroLength = record(1, 0, 0, 0, 0, "abc");
    zeroLength[0] = zeroLength[1] = 0;
    EXPECT_EQ(chunk(Bytes(16, 0)), 0u);
    EXPECT_EQ(chunk(zeroLength), 0u);
    EXPECT_EQ(entries.size(), 3u);
    // The records before it are delivered.
    EXPECT_EQ(chunk(record(5, 0, 0, 0, 0, "x") + zeroLength), 1u);
    EXPECT_EQ(entries[0].seqNr, 5u);

    // The smallest record: header and an empty text.
    EXPECT_EQ(chunk(record(9, 0, 0, 0, 0, "")), 1u);
    EXPECT_STREQ(entries[0].text.c_str(), "");

    // Records of 40 and 30 bytes.
    EXPECT_EQ(
        chunk(record(1, 0, 0, 0, 0, std::string(23, 'a')) + record(2, 0, 0, 0, 0, std::string(13, 'b'))), 2u);
    EXPECT_EQ(entries[1].text.size(), 13u);

    // A text without terminator ends with the data, not in the next bytes.
    EXPECT_EQ(chunk(record(1, 0, 0, 0, 0, "open", 0, false)), 1u);
    EXPECT_STREQ(entries[0].text.c_str(), "open");

    // A length running past the data ends the walk there too: one broken
    // record does not cost the ones before it.
    entries.assign(3, provider::LogMessage());
    EXPECT_EQ(chunk(record(1, 0, 0, 0, 0, std::string(20, 'c')) + record(2, 0, 0, 0, 0, "d", 200)), 1u);
    EXPECT_EQ(entries[0].seqNr, 1u);
    EXPECT_TRUE(traces.has(1, "getLogMessageReadChunk(): record at byte 37 runs past the 55 bytes of data"));
    EXPECT_EQ(chunk(record(2, 0, 0, 0, 0, "d", 200) + record(1, 0, 0, 0, 0, std::string(20, 'c'))), 0u);
    EXPECT_EQ(entries.size(), 1u);

    // No data at all, and a refused request.
    replies(row("0x0B10", 0, ""));
    EXPECT_EQ(calls->getLogMessageReadChunk(server, 0, entries), 0u);
    replies(row("0x0B10", 1, rawJson(record(1, 0, 0, 0, 0, "x"))));
    EXPECT_EQ(calls->getLogMessageReadChunk(server, 0, entries), 0u);
    EXPECT_TRUE(traces.has(1, "getLogMessageReadChunk(): request() failed"));
}

TEST_F(TolmReads, ExplanationTexts) {
    scenario(
        "\"messageTexts\":[{\"messageNumber\":\"0x1234\",\"resolution\":[\"Check the fan\",\"Replace the "
        "fan\"],"
        "\"cause\":[\"Fan failed\"],\"summary\":\"Fan failure\"}]");
    const int code = 0x120034;  // message 0x1234
    EXPECT_EQ(strings(calls->getLogMessageResolutionRead(server, code)),
              (std::vector<std::string>{"Check the fan", "Replace the fan"}));
    EXPECT_EQ(strings(calls->getLogMessageCauseRead(server, code)), (std::vector<std::string>{"Fan failed"}));
    EXPECT_EQ(calls->getLogMessageActionSummary(server, code),
              provider::PString(cimple::String("Fan failure")));

    sim.ctl({"clear-requests"});
    EXPECT_TRUE(calls->getLogMessageCauseRead({1, 1, 0}, code).is_null());
    EXPECT_TRUE(calls->getLogMessageResolutionRead({1, 1, 0}, code).is_null());
    EXPECT_TRUE(calls->getLogMessageActionSummary({1, 1, 0}, code).is_null());
    EXPECT_EQ(requests(), "");
}

TEST_F(TolmReads, MultiStringDecoding) {
    auto resolution = [&](const Bytes& data) {
        replies(row("0x0B17", 0, rawJson(data)));
        return calls->getLogMessageResolutionRead(server, 1);
    };
    EXPECT_EQ(strings(resolution({'a', 'b', 'c', 0, 'd', 'e', 0, 0, 'z', 0})),
              (std::vector<std::string>{"abc", "de"}));
    EXPECT_EQ(strings(resolution({0})), (std::vector<std::string>{""}));
    EXPECT_EQ(strings(resolution({'a', 0, 'b'})), (std::vector<std::string>{"a", "b"}));
    const auto empty = resolution({});
    EXPECT_FALSE(empty.is_null());
    EXPECT_EQ(empty.value.size(), 0u);
}

TEST_F(TolmReads, DriverMonitorComponentIndexBounds) {
    const TOLMKey entry{1, 4, 0};
    scenario(
        "\"driverMonitor\":[{\"number\":4,\"time\":1700000100,\"severity\":2,\"id\":\"0x17\",\"component\":"
        "\"0xFFFF\","
        "\"text\":\"Driver reset\"}]");
    // The fields of an entry are checked on the log-entry road; here the
    // component index at its bounds.
    EXPECT_EQ(calls->getDrvMonEventComponentIndex(entry), provider::PUInt(0xFFFFu));

    replies(row("0x1818", 0, "65536"));
    EXPECT_TRUE(calls->getDrvMonEventComponentIndex(entry).is_null());
    replies(row("0x1818", 0, "2147483648"));  // compared as signed: passes
    EXPECT_EQ(calls->getDrvMonEventComponentIndex(entry), provider::PUInt(0x80000000u));

    // Another entry number has no fields: the agent's default status.
    EXPECT_TRUE(calls->getDrvMonEventSeverity({1, 9, 0}).is_null());
}

}  // namespace
