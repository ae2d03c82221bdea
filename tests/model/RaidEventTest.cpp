// RAID event texts: what the parser reads from good and bad texts, the
// indication built for one event, and the model's loop over a text.
#include <cimple/Memory_Cimom.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "FakeTOLM.h"
#include "model/IndicationModel.h"
#include "model/RaidEventParser.h"
#include "support/TraceCapture.h"
#include "support/provider_utils.h"
#include "tolm/TOLMIndication.h"

namespace provider {
namespace model_test {
namespace {

using cimple::QMS_VRXLogEntryArrived;
using cimple::String;

// Five members make an event valid. The members of a case go first: a name
// repeated later in an object does not count, so they override.
std::string event(const std::string& more = "") {
    return "{" + (more.empty() ? "" : more + ",") +
           R"("AdapterNr":1,"Severity":2,"Message":"Drive failed","ErrorCode":5,"SequenceNum":255})";
}
std::string text(const std::string& events) { return R"({"Event":[)" + events + "]}"; }

struct BadText {
    const char* why;
    std::string text;
    bool valid;
    bool hasNext;
};

TEST(RaidEventParser, BadTextsGiveNoEventAndNoCrash) {
    const BadText cases[] = {
        {"empty", "", false, false},
        {"not JSON", "Drive failed", false, false},
        {"cut short", text(event()).substr(0, 30), false, false},
        {"root an array", "[" + event() + "]", false, false},
        {"no Event", R"({"Events":[)" + event() + "]}", false, false},
        {"Event empty", text(""), false, false},
        {"Event an object", R"({"Event":)" + event() + "}", false, false},
        {"Event holds non-objects", text(R"(1,"two",null,)" + event()), false, true},
        {"first event lacks SequenceNum", text(R"({"AdapterNr":1,"Severity":2,"Message":"m","ErrorCode":5})"),
         false, false},
        {"deeply nested", std::string(200000, '['), false, false},
        {"duplicate Event: the first counts", R"({"Event":[],"Event":[)" + event() + "]}", false, false},
    };
    for (const BadText& c : cases) {
        SCOPED_TRACE(c.why);
        RaidEventParser parser(c.text, nullptr);
        EXPECT_EQ(parser.isValid(), c.valid);
        EXPECT_EQ(parser.hasNextEvent(), c.hasNext);
        unsigned long long seq = 7;
        EXPECT_FALSE(c.hasNext ? false : parser.getSeqNr(seq));
        EXPECT_EQ(seq, 7u);
        String source("stale");
        EXPECT_EQ(parser.getSource(source), RaidEventParser::NoSource);
        EXPECT_EQ(source, String());
    }
}

TEST(RaidEventParser, WalksTheEventsAndStopsAtTheEnd) {
    RaidEventParser parser(text(event() + ",7," + event(R"("SequenceNum":256)")), nullptr);
    EXPECT_TRUE(parser.isValid());
    EXPECT_TRUE(parser.hasNextEvent());
    EXPECT_EQ(parser.getCurrentEventNumber(), 1u);
    EXPECT_FALSE(parser.isValid()) << "7 is no object";
    EXPECT_FALSE(parser.checkParameter("AdapterNr"));
    EXPECT_TRUE(parser.hasNextEvent());
    unsigned long long seq = 0;
    EXPECT_TRUE(parser.getSeqNr(seq));
    EXPECT_EQ(seq, 256u) << "a repeated name: the first occurrence counts";
    EXPECT_FALSE(parser.hasNextEvent());
    EXPECT_EQ(parser.getCurrentEventNumber(), 2u);
}

struct NumberCase {
    const char* json;
    bool reads64;
    bool reads16;
};

TEST(RaidEventParser, NumbersReadOnlyAsNonNegativeIntegersInRange) {
    const NumberCase cases[] = {
        {"0", true, true},
        {"65534", true, true},
        {"65535", true, false},
        {"18446744073709551615", true, false},
        {"18446744073709551616", false, false},
        {"-1", false, false},
        {"1.5", false, false},
        {"2.0", false, false},
        {"1e3", false, false},
        {"\"12\"", false, false},
        {"true", false, false},
        {"null", false, false},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.json);
        RaidEventParser parser(text(event(std::string(R"("Date":)") + c.json)), nullptr);
        unsigned long long wide = 99;
        unsigned short narrow = 99;
        EXPECT_EQ(parser.getParameter(wide, "Date"), c.reads64);
        EXPECT_EQ(parser.getParameter(narrow, "Date"), c.reads16);
        if (!c.reads64) {
            EXPECT_EQ(wide, 99u) << "a failed read leaves the value";
        }
        if (!c.reads16) {
            EXPECT_EQ(narrow, 99u);
        }
    }
}

TEST(RaidEventParser, TypedReadsOfOneEvent) {
    RaidEventParser parser(text(event(R"("Date":1750000000,"Name":"a\u0000b")")), nullptr);
    unsigned short u16 = 0;
    EXPECT_TRUE(parser.getSeverity(u16) && u16 == 2);
    EXPECT_TRUE(parser.getErrorCode(u16) && u16 == 5);
    unsigned long long u64 = 0;
    EXPECT_TRUE(parser.getTimestamp(u64) && u64 == 1750000000u);
    String s;
    EXPECT_TRUE(parser.getMessage(s));
    EXPECT_EQ(s, String("Drive failed"));
    EXPECT_TRUE(parser.getParameter(s, "Name"));
    EXPECT_EQ(s, String("a")) << "text up to the first NUL";
    EXPECT_FALSE(parser.getParameter(s, "AdapterNr")) << "a number is no text";
    EXPECT_FALSE(parser.getParameter(u16, "Message"));
    EXPECT_FALSE(parser.getParameter(u16, "Missing"));
}

AdapterMappings oneAdapter() {
    AdapterMapping mapping;
    mapping.name = "RAID-1";
    mapping.logicalDrives[0] = "LD-0";
    mapping.physicalDrives[4] = "PD-4";
    return {{1, mapping}};
}

TEST(RaidEventParser, SourceFromTheAdapterTable) {
    const AdapterMappings adapters = oneAdapter();
    const AdapterMappings emptyDrives = {{1, AdapterMapping{"RAID-1", {}, {}}}};
    struct {
        const char* members;
        const AdapterMappings* table;
        int code;
        const char* source;
    } cases[] = {
        {"", &adapters, RaidEventParser::Adapter, "RAID-1"},
        {R"("PhyDriveNr":4)", &adapters, RaidEventParser::PhysicalDrive, "PD-4"},
        {R"("PhyDriveNr":4,"LogDriveNr":0)", &adapters, RaidEventParser::LogicalDrive, "LD-0"},
        {R"("PhyDriveNr":4,"LogDriveNr":1)", &adapters, RaidEventParser::NoSource, "PD-4"},
        {R"("PhyDriveNr":5)", &adapters, RaidEventParser::NoSource, "RAID-1"},
        {R"("PhyDriveNr":5,"LogDriveNr":0)", &adapters, RaidEventParser::LogicalDrive, "LD-0"},
        {R"("PhyDriveNr":-4)", &adapters, RaidEventParser::Adapter, "RAID-1"},
        {R"("LogDriveNr":0)", &emptyDrives, RaidEventParser::NoSource, "RAID-1"},
        {"", nullptr, RaidEventParser::NoSource, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.members);
        RaidEventParser parser(text(event(c.members)), c.table);
        String source;
        EXPECT_EQ(parser.getSource(source), c.code);
        EXPECT_EQ(source, String(c.source));
    }
    RaidEventParser unknownAdapter(text(R"({"AdapterNr":2})"), &adapters);
    String source;
    EXPECT_EQ(unknownAdapter.getSource(source), RaidEventParser::NoSource);
    RaidEventParser adapterTooLarge(text(R"({"AdapterNr":65535})"), &adapters);
    EXPECT_EQ(adapterTooLarge.getSource(source), RaidEventParser::NoSource);
}

std::vector<std::string> corpusTexts() {
    std::vector<std::string> texts;
    DIR* dir = opendir(QMS_RAID_CORPUS);
    if (!dir) return texts;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(std::string(QMS_RAID_CORPUS) + "/" + entry->d_name, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        texts.push_back(content.str());
    }
    closedir(dir);
    return texts;
}

// The seeds kept for fuzzing: every read of every event, with any table.
TEST(RaidEventParser, CorpusSeedsReadWithoutHarm) {
    const std::vector<std::string> texts = corpusTexts();
    ASSERT_GE(texts.size(), 10u);
    const AdapterMappings adapters = oneAdapter();
    for (const std::string& t : texts) {
        RaidEventParser parser(t, &adapters);
        unsigned int events = 0;
        do {
            unsigned long long u64 = 0;
            unsigned short u16 = 0;
            String s;
            parser.isValid();
            parser.getSeqNr(u64);
            parser.getTimestamp(u64);
            parser.getSeverity(u16);
            parser.getErrorCode(u16);
            parser.getMessage(s);
            parser.getSource(s);
        } while (parser.hasNextEvent() && ++events < 100);
        EXPECT_LT(events, 100u);
    }
}

// The CIMOM's end: a copy of every delivered indication.
struct Recorder {
    static bool proc(cimple::Instance* instance, void* context) {
        auto* self = static_cast<Recorder*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (instance)
            self->received.emplace_back(cimple::clone(cimple::cast<QMS_VRXLogEntryArrived>(instance)));
        return true;
    }
    std::mutex mutex;
    std::vector<cimple::Ref<QMS_VRXLogEntryArrived>> received;
};

QMS_VRXLogEntryArrivedIndicationModel& indications() { return getQMS_VRXLogEntryArrivedIndicationModel(); }
TOLMEventsListener& events() { return dynamic_cast<TOLMEventsListener&>(indications()); }

class RaidEvents : public ::testing::Test {
protected:
    RaidEvents() : fake(new ::testing::NiceMock<FakeTOLM>), calls(fake) {
        fake->installDefaults();
        initTOLMIndicationWith(calls);
        cimple::cimom::set_cimom_binding(&cimom);
    }
    ~RaidEvents() override {
        cimple::cimom::set_cimom_binding(nullptr);
        initTOLMIndication(false);
    }
    void enable() {
        cimple::Auto_Mutex lock(indications().recursiveMutex());
        indications().enableIndications(
            new cimple::Indication_Handler<QMS_VRXLogEntryArrived>(&Recorder::proc, &recorder));
    }
    void disable() {
        cimple::Auto_Mutex lock(indications().recursiveMutex());
        indications().disableIndications();
    }
    cimple::Ref<QMS_VRXLogEntryArrived> build(const std::string& json,
                                              const AdapterMappings* adapters = nullptr) {
        RaidEventParser parser(json, adapters);
        return indications().createRaidEvent(parser);
    }
    ::testing::NiceMock<FakeTOLM>* fake;
    ShPtr<TOLMCalls> calls;
    cimple::Memory_Cimom cimom;
    Recorder recorder;
};

TEST_F(RaidEvents, EveryPropertyOfAFullEvent) {
    const AdapterMappings adapters = oneAdapter();
    EXPECT_CALL(*fake, getSystemHostName(KeyIs(kCabinet, 0u, 1u)));
    qms_test::TraceCapture traces;
    const auto indication = build(text(event(R"("Date":1750000000)")), &adapters);

    EXPECT_EQ(indication->EventID, PString("RaidMessage_ff"));
    EXPECT_EQ(indication->MessageID, PString("RaidMessage_ff"));
    EXPECT_EQ(indication->Message, PString("Drive failed"));
    EXPECT_EQ(indication->PerceivedSeverity, cimple::Property<uint16_t>(5));
    EXPECT_EQ(indication->ErrorCode, cimple::Property<uint32_t>(0x450005));
    EXPECT_EQ(
        indication->AlertingManagedElement,
        PString("QMS_VRXHostRaidController.CreationClassName=\"QMS_VRXHostRaidController\",Name=\"RAID-1\""));
    EXPECT_EQ(indication->EventTime, PDatetime(cimple::Datetime(1750000000ull * 1000000, 0)));
    EXPECT_EQ(indication->AlertingElementFormat, cimple::Property<uint16_t>(2));
    EXPECT_EQ(indication->AlertType, cimple::Property<uint16_t>(1));
    EXPECT_EQ(indication->OtherAlertType, PString("Log Entry Arrived"));
    EXPECT_EQ(indication->OwningEntity, PString("Norvane"));
    EXPECT_EQ(indication->ProbableCause, cimple::Property<uint16_t>(1));
    EXPECT_EQ(indication->SystemCreationClassName, PString("QMS_VRXComputerSystem"));
    EXPECT_EQ(indication->SystemName, PString(kSerial));
    EXPECT_EQ(indication->HostAddress, PString(kHost));
    EXPECT_TRUE(indication->MessageArguments.is_null() && indication->Summary.is_null() &&
                indication->AssociationKey.is_null() && indication->IndicationIdentifier.is_null());
    EXPECT_TRUE(traces.contains(5, "QMS_VRXLogEntryArrived* Model::createRaidEvent (0)"));
    EXPECT_TRUE(traces.contains(5, "createRaidEvent: Timestamp 1750000000"));
    EXPECT_EQ(traces.countLevel(1), 0u);
}

TEST_F(RaidEvents, DrivePathsAreScopedByTheServer) {
    const AdapterMappings adapters = oneAdapter();
    const std::string scope =
        "CreationClassName=\"%s\",DeviceID=\"%s\",SystemCreationClassName="
        "\"QMS_VRXComputerSystem\",SystemName=\"SN-0003\"";
    const auto disk = build(text(event(R"("PhyDriveNr":4)")), &adapters);
    const auto pool = build(text(event(R"("PhyDriveNr":4,"LogDriveNr":0)")), &adapters);
    ASSERT_FALSE(disk->AlertingManagedElement.is_null());
    ASSERT_FALSE(pool->AlertingManagedElement.is_null());
    const std::string diskPath = disk->AlertingManagedElement.value.c_str();
    const std::string poolPath = pool->AlertingManagedElement.value.c_str();
    EXPECT_EQ(diskPath.rfind("QMS_VRXDiskExtent.", 0), 0u) << diskPath;
    EXPECT_NE(diskPath.find("DeviceID=\"PD-4\""), std::string::npos) << diskPath;
    EXPECT_NE(diskPath.find("SystemName=\"SN-0003\""), std::string::npos) << diskPath;
    EXPECT_EQ(poolPath.rfind("QMS_VRXStoragePoolCompositeExtent.", 0), 0u) << poolPath;
    EXPECT_NE(poolPath.find("DeviceID=\"LD-0\""), std::string::npos) << poolPath;
    EXPECT_NE(poolPath.find("SystemCreationClassName=\"QMS_VRXComputerSystem\""), std::string::npos);
}

TEST_F(RaidEvents, UnreadableMembersLeaveTheirPropertiesNull) {
    qms_test::TraceCapture traces;
    ON_CALL(*fake, getSystemHostName(::testing::_)).WillByDefault(::testing::Return(PString()));
    const auto indication =
        build(text(R"({"AdapterNr":"1","Severity":9,"Message":7,"ErrorCode":65535,"SequenceNum":-1})"));
    for (const PString* p : {&indication->EventID, &indication->MessageID, &indication->Message,
                             &indication->AlertingManagedElement})
        EXPECT_TRUE(p->is_null());
    EXPECT_TRUE(indication->PerceivedSeverity.is_null());
    EXPECT_TRUE(indication->ErrorCode.is_null());
    EXPECT_TRUE(indication->EventTime.is_null());
    EXPECT_EQ(indication->OwningEntity, PString("Norvane"));
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
    enable();
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
    EXPECT_EQ(recorder.received[1]->PerceivedSeverity, cimple::Property<uint16_t>(2));
    EXPECT_TRUE(recorder.received[1]->AlertingManagedElement.is_null());
    EXPECT_EQ(recorder.received[2]->EventID, PString("RaidMessage_ff"));

    EXPECT_TRUE(traces.contains(5, "onRaidEvent(" + two + "): "));
    EXPECT_EQ(traces.countContaining(5, "): BaseException: "), 2u) << "the invalid event and the bad text";
    EXPECT_TRUE(traces.containsPart(5, "Invalid Raid Json Event"));
    EXPECT_TRUE(traces.contains(
        1, "onRaidEvent(" + two + "): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!"));
}

}  // namespace
}  // namespace model_test
}  // namespace provider
