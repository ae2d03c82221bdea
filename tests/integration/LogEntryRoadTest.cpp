// Agent events become delivered QMS_VRXLogEntryArrived indications: the
// simulator pushes, the module reads the entry's details back from it, and
// the CIMOM hands the finished instance to the subscribed listener.
#include <chrono>
#include <fstream>

#include "integration/RoadSupport.h"

namespace road {
namespace {

Properties with(Properties base, const Properties& more) {
    for (const auto& p : more) base[p.first] = p.second;
    return base;
}

// What every log-entry indication carries, whatever the entry.
Properties commonTail(const std::string& eventId, const Properties& own = {}) {
    return with(agentIndication(eventId, own),
                {{"AlertingManagedElement", "\"QMS_VRXLogEntry.InstanceID=\\\"" + eventId + "\\\"\""}});
}

class LogEntryRoad : public RoadTest {
protected:
    // Pushes and waits for the indication it must produce.
    void pushAndReceive(const std::vector<std::string>& push) {
        const size_t before = sink_->size();
        EXPECT_EQ(ctl(push), "1") << push[0] << " reached no subscriber";
        ASSERT_TRUE(sink_->waitFor(before + 1)) << "no indication for " << push[0] << " " << push[1];
    }
};

TEST_F(LogEntryRoad, SystemLogDriverMonitorAndMissingEntriesCarryEveryProperty) {
    enableIndications();
    // Entry 0x1f with its insertion strings (event 0x0B16, then 0x0B11).
    pushAndReceive({"push-syslog", "31"});
    // Entry 0x20 announced without an arguments event: the strings of 0x1f
    // were consumed, so its array is empty, not a repeat.
    pushAndReceive({"push-raw", R"({"OC":2833,"CA":3,"ST":0,"DA":32})"});
    // An entry the log does not hold: the strings sent with it stay unused...
    pushAndReceive({"push-syslog", "99", "--args", "stale,strings"});
    pushAndReceive({"push-drvmon", "31"});
    // ...and go with the next entry that is found.
    pushAndReceive({"push-raw", R"({"OC":2833,"CA":3,"ST":0,"DA":32})"});
    ASSERT_EQ(sink_->size(), 5u);

    const Properties entry20 = commonTail("LogMessage_20",
                                    {
                                        {"EventTime", "20250615150740.000000+120"},
                                        {"Message", "\"Power supply 'PSU2' lost input\""},
                                        {"PerceivedSeverity", "6"},
                                        {"ErrorCode", "65538"},  // 0x010002
                                        {"RecommendedActions", "{}"},
                                        {"ProbableCauseDescription", "\"\""},
                                        {"MessageArguments", "{}"},
                                        // The agent has no summary text for it: Summary stays NULL.
                                    });
    const std::vector<std::pair<const char*, Properties>> expected = {
        {"system-log entry 0x1f",
         commonTail("LogMessage_1f",
              {
                  // The record's local time (2 hours east) with its offset.
                  {"EventTime", "20250615150640.000000+120"},
                  {"Message", "\"Fan 'FAN1 SYS' failed\""},
                  {"PerceivedSeverity", "5"},
                  {"ErrorCode", "11206861"},  // 0xAB00CD from message number 0xABCD
                  {"RecommendedActions", "{\"Check the fan cable\", \"Replace the fan\"}"},
                  {"Summary", "\"Fan failure\""},
                  {"ProbableCauseDescription", "\"Fan worn out|Fan cable loose|Fan blocked\""},
                  {"MessageArguments", "{\"FAN1 SYS\", \"0\"}"},
              })},
        {"system-log entry 0x20 without arguments event", entry20},
        {"system-log entry 0x63 that the log does not hold", commonTail("LogMessage_63")},
        {"driver-monitor entry 0x1f", commonTail("DriverMonitorMessage_1f",
                                           {
                                               {"EventTime", "20250615150820.000000+000"},
                                               {"Message", "\"Network adapter eth1: link down\""},
                                               {"PerceivedSeverity", "4"},
                                               {"ErrorCode", "4259863"},  // 0x410017
                                               {"AssociationKey", "\"1801-002A\""},
                                           })},
        {"system-log entry 0x20 after a missing entry and a driver-monitor entry",
         with(entry20, {{"MessageArguments", "{\"stale\", \"strings\"}"}})},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].first);
        expectProperties(sink_->at(i), expected[i].second);
        EXPECT_EQ(sink_->destinationAt(i), "http://road-listener:5988");
    }
}

TEST_F(LogEntryRoad, DeletingTheLastSubscriptionStopsDelivery) {
    const cimhost::ObjectPath subscription = enableIndications();
    pushAndReceive({"push-syslog", "31"});
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.deActivateFilter"), 0u);
    // While it delivers, the module refuses to be unloaded by an idle sweep.
    EXPECT_EQ(cimom_->unloadProvider("QMS_VRXLogEntryArrived_Provider").rc, CMPI_RC_DO_NOT_UNLOAD);

    // What the CIMOM wrote for the listener: one JSON line per delivery.
    std::ifstream log(deliveryLog_);
    std::string line;
    ASSERT_TRUE(std::getline(log, line)) << deliveryLog_;
    EXPECT_NE(line.find("\"destination\":\"http://road-listener:5988\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"EventID\":\"LogMessage_1f\""), std::string::npos) << line;

    ASSERT_TRUE(cimom_->deleteInstance(subscription).ok());
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.deActivateFilter"), 1u);
    // The module gave up its event channel, so the pushes reach nobody.
    ASSERT_TRUE(waitStatus("\"eventSubscribers\":0"));
    EXPECT_EQ(ctl({"push-syslog", "31"}), "0");
    EXPECT_EQ(ctl({"push-drvmon", "31"}), "0");
    EXPECT_FALSE(sink_->waitFor(2, std::chrono::milliseconds(300)));
    EXPECT_EQ(sink_->size(), 1u);
    // Switched off, it may go.
    EXPECT_TRUE(cimom_->unloadProvider("QMS_VRXLogEntryArrived_Provider").ok());
}

TEST_F(LogEntryRoad, SubscriptionsOutliveACimomRestart) {
    enableIndications();
    pushAndReceive({"push-syslog", "31"});

    // The CIMOM goes down with the module; the new one finds the
    // subscription in its store and activates the provider again.
    startCimom();
    ASSERT_TRUE(waitStatus("\"eventSubscribers\":0"));
    ASSERT_TRUE(cimom_->restoreSubscriptions().ok());
    ctl({"wait-subscribers", "1", "--timeout-ms", "10000"});
    pushAndReceive({"push-drvmon", "31"});
    EXPECT_EQ(propertyText(sink_->at(0), "EventID"), "\"DriverMonitorMessage_1f\"");
}

}  // namespace
}  // namespace road
