#include <gtest/gtest.h>

#include "FakeTOLM.h"
#include "model/HelperComputerSystem.h"
#include "model/LogEntryIndication.h"
#include "support/TraceCapture.h"
#include "support/provider_utils.h"

namespace provider {
namespace model_test {
namespace {

using cimple::Array;
using cimple::String;
using ::testing::_;
using ::testing::DoAll;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgReferee;
using Tag = QMS_VRXLogEntryArrivedIndicationModel;

Array<String> strings(std::initializer_list<const char*> texts) {
    Array<String> out;
    for (const char* t : texts) out.append(t);
    return out;
}

class LogEntryIndication : public ::testing::Test {
protected:
    LogEntryIndication() {
        tolm.installDefaults();
        system = createComputerSystemKeys(tolm);
        modelKey = createCSKey(tolm);
    }

    cimple::Ref<cimple::QMS_VRXLogEntryArrived> build(Tag::LogTag tag, unsigned int n) {
        return createLogEntryIndication(tolm, LogEntrySource{modelKey, *system, arguments}, tag, n);
    }

    // The system log holds entry n with message number messageId.
    void logHolds(unsigned int n, uint32_t messageId, uint32_t severity) {
        LogMessage entry;
        entry.seqNr = n;
        entry.messageId = messageId;
        entry.severity = severity;
        entry.text = "Fan 2 failed";
        entry.timestamp = cimple::Datetime(1234000000, 60);
        LogMessage other = entry;
        other.seqNr = n + 1;
        std::vector<LogMessage> entries{other, entry};
        ON_CALL(tolm, getLogMessageReadChunk(KeyIs(kCabinet, 0u, 0u), n, _))
            .WillByDefault(DoAll(SetArgReferee<2>(entries), Return(2u)));
    }

    NiceMock<FakeTOLM> tolm;
    cimple::Ref<cimple::QMS_VRXComputerSystem> system;
    TOLMKey modelKey;
    Array<String> arguments;
};

TEST_F(LogEntryIndication, FoundSystemLogEntryFillsEveryPropertyAndConsumesTheArguments) {
    logHolds(0x1f, 0xABCD, 1);
    const int code = 0xAB00CD;  // what the agent files the texts under
    ON_CALL(tolm, getLogMessageResolutionRead(KeyIs(kCabinet, 0u, 0u), code))
        .WillByDefault(Return(PStrings(strings({"Replace fan", "Call service"}))));
    ON_CALL(tolm, getLogMessageActionSummary(KeyIs(kCabinet, 0u, 0u), code))
        .WillByDefault(Return(PString("Fan")));
    ON_CALL(tolm, getLogMessageCauseRead(KeyIs(kCabinet, 0u, 0u), code))
        .WillByDefault(Return(PStrings(strings({"a", "b", "c"}))));
    EXPECT_CALL(tolm, getSystemHostName(KeyIs(kCabinet, 0u, 1u))).Times(2);
    arguments = strings({"2", "FAN"});

    auto ind = build(Tag::SystemMessageLog, 0x1f);
    EXPECT_EQ(ind->EventID, PString("LogMessage_1f"));
    EXPECT_EQ(ind->MessageID, PString("LogMessage_1f"));
    EXPECT_EQ(ind->AlertingManagedElement, PString("QMS_VRXLogEntry.InstanceID=\"LogMessage_1f\""));
    EXPECT_EQ(ind->EventTime.value, cimple::Datetime(1234000000, 60));
    EXPECT_EQ(ind->Message, PString("Fan 2 failed"));
    EXPECT_EQ(ind->PerceivedSeverity, cimple::Property<uint16_t>(4));
    EXPECT_EQ(ind->ErrorCode, cimple::Property<uint32_t>(0xAB00CD));
    EXPECT_EQ(ind->RecommendedActions, PStrings(strings({"Replace fan", "Call service"})));
    EXPECT_EQ(ind->Summary, PString("Fan"));
    EXPECT_EQ(ind->ProbableCauseDescription, PString("a|b|c"));
    EXPECT_EQ(ind->MessageArguments, PStrings(strings({"2", "FAN"})));
    EXPECT_TRUE(arguments.empty()) << "arguments go with one indication only";
    EXPECT_EQ(ind->AlertingElementFormat, cimple::Property<uint16_t>(2));
    EXPECT_EQ(ind->AlertType, cimple::Property<uint16_t>(1));
    EXPECT_EQ(ind->ProbableCause, cimple::Property<uint16_t>(1));
    EXPECT_EQ(ind->OtherAlertType, PString("Log Entry Arrived"));
    EXPECT_EQ(ind->OwningEntity, PString("Norvane"));
    EXPECT_EQ(ind->SystemCreationClassName, PString("QMS_VRXComputerSystem"));
    EXPECT_EQ(ind->SystemName, PString(kSerial));
    EXPECT_EQ(ind->HostAddress, PString(kHost));
    EXPECT_TRUE(ind->AssociationKey.is_null());
    EXPECT_TRUE(ind->IndicationTime.is_null());
    EXPECT_TRUE(ind->Description.is_null());

    // The next entry finds no arguments left: an empty, non-null list.
    logHolds(0x20, 0x0017, 0);
    auto next = build(Tag::SystemMessageLog, 0x20);
    EXPECT_EQ(next->MessageArguments, PStrings(Array<String>()));
    EXPECT_EQ(next->ErrorCode, cimple::Property<uint32_t>(0x17));
    EXPECT_TRUE(next->ProbableCauseDescription.is_null()) << "absent cause stays null";
}

TEST_F(LogEntryIndication, SeverityMapAndEmptyCause) {
    const std::pair<uint32_t, uint16_t> grades[] = {{0, 2}, {1, 4}, {2, 5}, {3, 6}, {4, 0}, {0x10003, 6}};
    for (const auto& grade : grades) {
        logHolds(5, 0x100, grade.first);
        ON_CALL(tolm, getLogMessageCauseRead(_, _)).WillByDefault(Return(PStrings(Array<String>())));
        auto ind = build(Tag::SystemMessageLog, 5);
        EXPECT_EQ(ind->PerceivedSeverity, cimple::Property<uint16_t>(grade.second)) << grade.first;
        EXPECT_EQ(ind->ProbableCauseDescription, PString(""));
    }
}

TEST_F(LogEntryIndication, MissingEntryKeepsOnlyTheTailAndLeavesTheArguments) {
    arguments = strings({"x"});
    qms_test::TraceCapture traces;
    EXPECT_CALL(tolm, getLogMessageResolutionRead(_, _)).Times(0);
    auto ind = build(Tag::SystemMessageLog, 0x1f);  // the chunk read gives nothing
    EXPECT_TRUE(traces.contains(1, "setSystemMessage(): LogMessage 1f not found"));
    EXPECT_TRUE(traces.contains(5, "CM_LogMessageRead returned 0 LogMessages"));
    EXPECT_EQ(ind->EventID, PString("LogMessage_1f"));
    EXPECT_EQ(ind->HostAddress, PString(kHost));
    EXPECT_TRUE(ind->Message.is_null());
    EXPECT_TRUE(ind->ErrorCode.is_null());
    EXPECT_TRUE(ind->MessageArguments.is_null());
    EXPECT_EQ(arguments, strings({"x"}));

    // Nor do a driver-monitor entry or a test indication take them.
    build(Tag::DriverMonitor, 1);
    build(Tag::TestIndication, 0);
    EXPECT_EQ(arguments, strings({"x"}));
}

TEST_F(LogEntryIndication, DriverMonitorEntry) {
    const auto entry1f = KeyIs(kCabinet, 0x1fu, 0u);
    ON_CALL(tolm, getDrvMonEventTimestamp(entry1f))
        .WillByDefault(Return(PDatetime(cimple::Datetime(5000000, 0))));
    ON_CALL(tolm, getDrvMonEventMessageText(entry1f)).WillByDefault(Return(PString("Disk")));
    ON_CALL(tolm, getDrvMonEventSeverity(entry1f)).WillByDefault(Return(PUInt(3)));
    ON_CALL(tolm, getDrvMonEventId(entry1f)).WillByDefault(Return(PUInt(0x17)));
    ON_CALL(tolm, getDrvMonEventComponentIndex(entry1f)).WillByDefault(Return(PUInt(0x2a)));
    ON_CALL(tolm, getDrvMonEventComponentIndex(KeyIs(kCabinet, 2u, 0u)))
        .WillByDefault(Return(PUInt(0x12345)));
    auto ind = build(Tag::DriverMonitor, 0x1f);
    EXPECT_EQ(ind->EventID, PString("DriverMonitorMessage_1f"));
    EXPECT_EQ(ind->MessageID, PString("DriverMonitorMessage_1f"));
    EXPECT_EQ(ind->AlertingManagedElement, PString("QMS_VRXLogEntry.InstanceID=\"DriverMonitorMessage_1f\""));
    EXPECT_EQ(ind->Message, PString("Disk"));
    EXPECT_EQ(ind->EventTime.value, cimple::Datetime(5000000, 0));
    EXPECT_EQ(ind->PerceivedSeverity, cimple::Property<uint16_t>(6));
    EXPECT_EQ(ind->ErrorCode, cimple::Property<uint32_t>(0x410017));
    EXPECT_EQ(ind->AssociationKey, PString("1801-002A"));
    EXPECT_TRUE(ind->RecommendedActions.is_null());
    EXPECT_TRUE(ind->MessageArguments.is_null());

    EXPECT_EQ(build(Tag::DriverMonitor, 2)->AssociationKey, PString("1801-12345"));

    // Nothing the agent left out is filled in.
    auto bare = build(Tag::DriverMonitor, 3);
    EXPECT_TRUE(bare->EventTime.is_null() && bare->Message.is_null() && bare->PerceivedSeverity.is_null() &&
                bare->ErrorCode.is_null() && bare->AssociationKey.is_null());
}

TEST_F(LogEntryIndication, TestIndication) {
    EXPECT_CALL(tolm, getSystemTime(KeyIs(kCabinet, 0u, 0u)))
        .WillOnce(Return(PUInt(1700000000)))
        .WillOnce(Return(PUInt()));
    auto ind = build(Tag::TestIndication, 0);
    EXPECT_EQ(ind->EventTime.value, cimple::Datetime(1700000000ull * 1000000u, 0));
    for (const auto* p :
         {&ind->EventID, &ind->MessageID, &ind->Message, &ind->Summary, &ind->OtherAlertType}) {
        EXPECT_EQ(*p, PString("Test Indication"));
    }
    EXPECT_TRUE(ind->AlertingManagedElement.is_null());
    EXPECT_EQ(ind->AlertingElementFormat, cimple::Property<uint16_t>(0));
    EXPECT_EQ(ind->ProbableCause, cimple::Property<uint16_t>(0));
    EXPECT_EQ(ind->PerceivedSeverity, cimple::Property<uint16_t>(2));
    EXPECT_EQ(ind->ErrorCode, cimple::Property<uint32_t>(0));
    EXPECT_EQ(ind->HostAddress, PString(kHost));
    EXPECT_EQ(ind->SystemName, PString(kSerial));
    EXPECT_TRUE(build(Tag::TestIndication, 0)->EventTime.is_null()) << "no system time, no EventTime";
}

TEST_F(LogEntryIndication, UnknownTagThrows) {
    qms_test::TraceCapture traces;
    try {
        build(static_cast<Tag::LogTag>(3), 1);
        FAIL() << "no exception";
    } catch (const BaseException& e) {
        EXPECT_STREQ(e.message().c_str(), "unknown LogTag");
    }
    EXPECT_EQ(traces.countContaining(1, "unknown LogTag"), 1u);
}

TEST_F(LogEntryIndication, RecentEntryNumbers) {
    EXPECT_CALL(tolm, getLogMessageNrEntries(KeyIs(kCabinet, 0u, 0u)))
        .WillOnce(Return(PUInt(3)))
        .WillOnce(Return(PUInt(25)))
        .WillOnce(Return(PUInt(0)))
        .WillOnce(Return(PUInt()));
    EXPECT_EQ(recentEntryNumbers(tolm, modelKey, Tag::SystemMessageLog),
              (std::vector<unsigned int>{2, 1, 0}));
    EXPECT_EQ(recentEntryNumbers(tolm, modelKey, Tag::SystemMessageLog),
              (std::vector<unsigned int>{24, 23, 22, 21, 20, 19, 18, 17, 16, 15}));
    EXPECT_TRUE(recentEntryNumbers(tolm, modelKey, Tag::SystemMessageLog).empty());
    EXPECT_TRUE(recentEntryNumbers(tolm, modelKey, Tag::SystemMessageLog).empty());
    EXPECT_CALL(tolm, getDrvMonNumberEvents(_)).WillOnce(Return(PUInt(2)));
    EXPECT_EQ(recentEntryNumbers(tolm, modelKey, Tag::DriverMonitor), (std::vector<unsigned int>{1, 0}));
}

}  // namespace
}  // namespace model_test
}  // namespace provider
