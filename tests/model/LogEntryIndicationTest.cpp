#include <gtest/gtest.h>

#include <stdexcept>

#include "ModelFixture.h"
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
using ::testing::NiceMock;
using ::testing::Return;
using Tag = QMS_VRXLogEntryArrivedIndicationModel;
using PU16 = cimple::Property<uint16_t>;
using PU32 = cimple::Property<uint32_t>;

Array<String> strings(std::initializer_list<const char*> texts) {
    Array<String> out;
    for (const char* t : texts) out.append(t);
    return out;
}

TEST(ComputerSystemKeys, NoSerialNumberNoKeys) {
    NiceMock<FakeTOLM> tolm;
    EXPECT_CALL(tolm, getIdentificationCabinetNumber()).WillOnce(Return(0u));
    EXPECT_CALL(tolm, getChassisSerialNumber(KeyIs(0u, 0u, 0u))).WillOnce(Return(PString()));
    try {
        createComputerSystemKeys(tolm);
        FAIL() << "made without a serial number";
    } catch (const BaseException& e) {
        EXPECT_STREQ(e.message().c_str(), "createComputerSystemKeys(): QMS_VRXComputerSystem.Name is NULL");
    }
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

    NiceMock<FakeTOLM> tolm;
    cimple::Ref<cimple::QMS_VRXComputerSystem> system;
    TOLMKey modelKey;
    Array<String> arguments;
};

TEST(LogEntryValues, SeverityMapAndMessageCodePacking) {
    const std::pair<uint32_t, uint16_t> grades[] = {{0, 2}, {1, 4}, {2, 5}, {3, 6}, {4, 0}, {0x10003, 6}};
    for (const auto& grade : grades) EXPECT_EQ(toPerceivedSeverity(grade.first), grade.second) << grade.first;
    EXPECT_EQ(packMessageId(0x1234), 0x120034u);
}

// An entry the log does not hold keeps the arguments for the next one: the
// log-entry road shows it. Here a chunk the facade cannot walk: the
// indication still goes, as for an entry not found, and a test indication.
TEST_F(LogEntryIndication, ArgumentsWaitForAFoundSystemLogEntry) {
    arguments = strings({"x"});
    qms_test::TraceCapture traces;
    ON_CALL(tolm, getLogMessageReadChunk(_, 0x20u, _))
        .WillByDefault(::testing::Throw(std::out_of_range("len")));
    auto unread = build(Tag::SystemMessageLog, 0x20);
    EXPECT_EQ(unread->EventID, PString("LogMessage_20"));
    EXPECT_EQ(unread->HostAddress, PString(kHost));
    EXPECT_TRUE(unread->Message.is_null() && unread->MessageArguments.is_null());
    EXPECT_TRUE(traces.contains(1, "setSystemMessage(): LogMessage 20 not read: len"));
    build(Tag::TestIndication, 0);
    EXPECT_EQ(arguments, strings({"x"}));
}

// Every property of a found entry is checked on the integration road; here
// what it does not show: a component index wider than four digits, and an
// entry the agent knows nothing of.
TEST_F(LogEntryIndication, DriverMonitorEntryEdges) {
    ON_CALL(tolm, getDrvMonEventComponentIndex(KeyIs(kCabinet, 2u, 0u)))
        .WillByDefault(Return(PUInt(0x12345)));
    EXPECT_EQ(build(Tag::DriverMonitor, 2)->AssociationKey, PString("1801-12345"));

    auto bare = build(Tag::DriverMonitor, 3);
    EXPECT_EQ(bare->EventID, PString("DriverMonitorMessage_3"));
    EXPECT_TRUE(bare->Message.is_null() && bare->PerceivedSeverity.is_null() && bare->ErrorCode.is_null() &&
                bare->AssociationKey.is_null());
}

TEST_F(LogEntryIndication, TestIndicationAndUnknownTag) {
    EXPECT_CALL(tolm, getSystemTime(KeyIs(kCabinet, 0u, 0u)))
        .WillOnce(Return(PUInt(1700000000)))
        .WillOnce(Return(PUInt()));
    auto ind = build(Tag::TestIndication, 0);
    EXPECT_EQ(ind->EventTime.value, cimple::Datetime(1700000000ull * 1000000u, 0));
    EXPECT_EQ(ind->EventID, PString("Test Indication"));
    EXPECT_TRUE(ind->AlertingManagedElement.is_null());
    EXPECT_EQ(ind->AlertingElementFormat, PU16(0));
    EXPECT_EQ(ind->HostAddress, PString(kHost));
    EXPECT_TRUE(build(Tag::TestIndication, 0)->EventTime.is_null());

    EXPECT_THROW(build(static_cast<Tag::LogTag>(3), 1), BaseException);
}

}  // namespace
}  // namespace model_test
}  // namespace provider
