// RAID event texts: what the parser reads from good and bad texts, the
// indication built for one event, and the model's loop over a text.
#include <string>

#include "ModelFixture.h"
#include "model/RaidEventParser.h"
#include "support/TraceCapture.h"

namespace provider {
namespace model_test {
namespace {

using cimple::QMS_VRXLogEntryArrived;
using cimple::String;
using PU16 = cimple::Property<uint16_t>;

// Five members make an event valid. The members of a case go first: a name
// repeated later in an object does not count, so they override.
std::string event(const std::string& more = "") {
    return "{" + (more.empty() ? "" : more + ",") +
           R"("AdapterNr":1,"Severity":2,"Message":"Drive failed","ErrorCode":5,"SequenceNum":255})";
}
std::string text(const std::string& events) { return R"({"Event":[)" + events + "]}"; }

TEST(RaidEventParser, BadTextsGiveNoEvent) {
    const struct {
        const char* why;
        std::string text;
        bool hasNext;
    } cases[] = {
        {"empty", "", false},
        {"cut short", text(event()).substr(0, 30), false},
        {"root an array", "[" + event() + "]", false},
        {"Event empty", text(""), false},
        {"Event an object", R"({"Event":)" + event() + "}", false},
        {"Event holds non-objects first", text(R"(1,"two",null,)" + event()), true},
        {"SequenceNum missing", text(R"({"AdapterNr":2,"Severity":2,"Message":"m","ErrorCode":5})"), false},
        {"deeply nested", std::string(200000, '['), false},
        {"repeated Event: the first counts", R"({"Event":[],"Event":[)" + event() + "]}", false},
    };
    const AdapterMappings none;  // as the model keeps it
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        RaidEventParser parser(c.text, &none);
        EXPECT_FALSE(parser.isValid());
        unsigned long long seq = 7;
        String source("stale");
        EXPECT_FALSE(parser.getSeqNr(seq));
        EXPECT_EQ(seq, 7u);
        EXPECT_EQ(parser.getSource(source), RaidEventParser::NoSource);
        EXPECT_EQ(source, String());
        EXPECT_EQ(parser.hasNextEvent(), c.hasNext);
    }
}

TEST(RaidEventParser, WalksTheEventsAndReadsEachMember) {
    RaidEventParser parser(text(event() + ",7," + event(R"("SequenceNum":256,"Name":"a\u0000b")")), nullptr);
    unsigned short u16 = 0;
    EXPECT_TRUE(parser.isValid());
    EXPECT_TRUE(parser.getSeverity(u16) && u16 == 2);
    EXPECT_TRUE(parser.getErrorCode(u16) && u16 == 5);
    EXPECT_TRUE(parser.hasNextEvent());
    EXPECT_FALSE(parser.isValid()) << "7 is no object";
    EXPECT_TRUE(parser.hasNextEvent());
    EXPECT_EQ(parser.getCurrentEventNumber(), 2u);
    unsigned long long seq = 0;
    EXPECT_TRUE(parser.getSeqNr(seq) && seq == 256u);
    String s;
    EXPECT_TRUE(parser.getMessage(s) && s == String("Drive failed"));
    EXPECT_TRUE(parser.getParameter(s, "Name") && s == String("a")) << "text up to the first NUL";
    EXPECT_FALSE(parser.getParameter(s, "AdapterNr")) << "a number is no text";
    EXPECT_FALSE(parser.getParameter(u16, "Message"));
    EXPECT_FALSE(parser.hasNextEvent());
    EXPECT_EQ(parser.getCurrentEventNumber(), 2u);
}

TEST(RaidEventParser, NumbersReadOnlyAsNonNegativeIntegersInRange) {
    const struct {
        const char* json;
        bool reads64, reads16;
    } cases[] = {
        {"0", true, true},
        {"65535", true, false},
        {"18446744073709551615", true, false},
        {"18446744073709551616", false, false},
        {"-1", false, false},
        {"1.5", false, false},
        {"1e3", false, false},
        {"\"12\"", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        RaidEventParser parser(text(event(std::string(R"("Date":)") + c.json)), nullptr);
        unsigned long long wide = 99;
        unsigned short narrow = 99;
        EXPECT_EQ(parser.getParameter(wide, "Date"), c.reads64);
        EXPECT_EQ(parser.getParameter(narrow, "Date"), c.reads16);
        EXPECT_TRUE(c.reads64 || wide == 99u) << "a failed read leaves the value";
        EXPECT_TRUE(c.reads16 || narrow == 99u);
    }
}

class RaidEvents : public ModelFixture {
protected:
    cimple::Ref<QMS_VRXLogEntryArrived> build(const std::string& json) {
        RaidEventParser parser(json, nullptr);
        return indications().createRaidEvent(parser);
    }
    Recorder recorder;
};

// The properties of a full event are checked on the RAID road; here those
// of an event whose members are all unreadable, and the key the host name is
// asked with, which the road cannot see.
TEST_F(RaidEvents, UnreadableMembersLeaveTheirPropertiesNull) {
    qms_test::TraceCapture traces;
    EXPECT_CALL(*fake, getSystemHostName(KeyIs(kCabinet, 0u, 1u))).WillOnce(::testing::Return(PString()));
    const auto indication =
        build(text(R"({"AdapterNr":"1","Severity":9,"Message":7,"ErrorCode":65535,"SequenceNum":-1})"));
    EXPECT_TRUE(indication->EventID.is_null() && indication->MessageID.is_null() &&
                indication->Message.is_null() && indication->AlertingManagedElement.is_null() &&
                indication->PerceivedSeverity.is_null() && indication->ErrorCode.is_null() &&
                indication->EventTime.is_null());
    EXPECT_FALSE(indication->HostAddress.is_null()) << "no name from the agent: the last known stays";
    for (const char* line :
         {"createRaidEvent: no sequenceNumber in Raid event", "createRaidEvent: no message in Raid event",
          "createRaidEvent: not valid severity: 9", "createRaidEvent: no ErrorCode in Raid event",
          "createRaidEvent: No valid source for RAID event",
          "createRaidEvent: cannot get instance model path", "createRaidEvent: no timestamp in Raid Event"})
        EXPECT_TRUE(traces.contains(1, line)) << line;

    EXPECT_CALL(*fake, getSystemHostName(::testing::_)).Times(0);
    try {
        build("{}");
        FAIL() << "built from no event";
    } catch (const BaseException& e) {
        EXPECT_STREQ(e.message().c_str(), "Invalid Raid Json Event");
    }
}

TEST_F(RaidEvents, OneIndicationPerEventUpToTheFirstInvalidOne) {
    enable(recorder);
    qms_test::TraceCapture traces;
    // A wrong-typed severity and an adapter nobody knows still make events.
    const std::string two =
        text(event(R"("Severity":"high")") + "," + event(R"("AdapterNr":9,"SequenceNum":4096,"Severity":0)"));
    events().onRaidEvent(two);
    events().onRaidEvent(text(event() + R"(,{"AdapterNr":1},)" + event()));
    events().onRaidEvent("not JSON");
    disable();
    events().onRaidEvent(two);

    ASSERT_EQ(recorder.received.size(), 3u);
    EXPECT_EQ(recorder.received[0]->EventID, PString("RaidMessage_ff"));
    EXPECT_TRUE(recorder.received[0]->PerceivedSeverity.is_null());
    EXPECT_EQ(recorder.received[1]->EventID, PString("RaidMessage_1000"));
    EXPECT_EQ(recorder.received[1]->PerceivedSeverity, PU16(2));
    EXPECT_TRUE(recorder.received[1]->AlertingManagedElement.is_null());
    EXPECT_EQ(recorder.received[2]->EventID, PString("RaidMessage_ff"));

    EXPECT_TRUE(traces.contains(5, "onRaidEvent(" + two + "): "));
    // What was dropped is said where failures are, with the text it came in.
    EXPECT_TRUE(traces.containsPart(1, "onRaidEvent(not JSON): BaseException: "));
    EXPECT_TRUE(traces.containsPart(
        1, "onRaidEvent(" + text(event() + R"(,{"AdapterNr":1},)" + event()) + "): BaseException: "));
    EXPECT_EQ(traces.countContaining(5, "): BaseException: "), 0u);
    EXPECT_TRUE(traces.contains(
        1, "onRaidEvent(" + two + "): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!"));
}

}  // namespace
}  // namespace model_test
}  // namespace provider
