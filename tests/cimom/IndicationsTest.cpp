// Agent events become QMS_VRXLogEntryArrived indications that sfcb posts to
// a client's listener: every property as the agent held it (the values the
// embedded CIMOM's road tests assert for the same scenario entries), delivery
// stopping and resuming with the subscription, and surviving an agent
// restart.
#include "cimom/CimomSupport.h"

namespace cimomtest {
namespace {

// sfcb's own delivery bookkeeping, set on every indication it posts.
const std::set<std::string> kSequence = {"SequenceContext", "SequenceNumber"};

Properties with(Properties base, const Properties& more) {
    for (const auto& p : more) base[p.first] = p.second;
    return base;
}

// What every indication of an agent event carries, and which filter sfcb
// matched it with.
Properties agentIndication(const std::string& eventId, const Properties& own) {
    return with({{"EventID", quoted(eventId)},
                 {"MessageID", quoted(eventId)},
                 {"AlertingElementFormat", "2"},
                 {"AlertType", "1"},
                 {"OtherAlertType", "\"Log Entry Arrived\""},
                 {"ProbableCause", "1"},
                 {"OwningEntity", "\"Norvane\""},
                 {"SystemCreationClassName", "\"QMS_VRXComputerSystem\""},
                 {"SystemName", "\"ROAD0001\""},
                 {"HostAddress", "\"road-test.example.net\""},
                 {"IndicationFilterName", "\"cimom-filter\""}},
                own);
}

Properties logEntry(const std::string& eventId, const Properties& own = {}) {
    return with(agentIndication(eventId, own),
                {{"AlertingManagedElement", quoted("QMS_VRXLogEntry.InstanceID=" + quoted(eventId))}});
}

class CimomIndications : public CimomTest {
protected:
    void expectDelivery(size_t i, const Properties& expected, const std::string& target = "/cimom") {
        const Delivery d = listener_->at(i);
        EXPECT_EQ(d.target, target);
        EXPECT_EQ(d.indication.className, "QMS_VRXLogEntryArrived");
        expectProperties(d.indication, expected, kSequence);
    }
};

TEST_F(CimomIndications, SystemLogDriverMonitorAndRaidEventsArriveWithEveryProperty) {
    enableIndications();
    // The log-entry road of the embedded CIMOM, event for event.
    pushAndReceive({"push-syslog", "31"});
    pushAndReceive({"push-raw", R"({"OC":2833,"CA":3,"ST":0,"DA":32})"});
    pushAndReceive({"push-syslog", "99", "--args", "stale,strings"});
    pushAndReceive({"push-drvmon", "31"});
    pushAndReceive({"push-raw", R"({"OC":2833,"CA":3,"ST":0,"DA":32})"});
    // Two RAID events in one text; the second without date and with a
    // severity outside the agent's range.
    pushAndReceive(
        {"push-raid",
         R"({"Event":[)"
         R"({"AdapterNr":0,"PhyDriveNr":4,"Severity":2,"Message":"Physical drive 4 failed","ErrorCode":5,)"
         R"("SequenceNum":255,"Date":1750000200},)"
         R"({"AdapterNr":0,"LogDriveNr":1,"Severity":7,"Message":"Logical drive 1 degraded","ErrorCode":6,)"
         R"("SequenceNum":4096}]})"},
        2);
    ASSERT_EQ(listener_->size(), 7u);

    const Properties entry20 =
        logEntry("LogMessage_20", {
                                      {"EventTime", "20250615150740.000000+120"},
                                      {"Message", "\"Power supply 'PSU2' lost input\""},
                                      {"PerceivedSeverity", "6"},
                                      {"ErrorCode", "65538"},
                                      {"RecommendedActions", "{}"},
                                      {"ProbableCauseDescription", "\"\""},
                                      {"MessageArguments", "{}"},
                                  });
    const std::vector<std::pair<const char*, Properties>> expected = {
        {"system-log entry 0x1f",
         logEntry("LogMessage_1f",
                  {
                      {"EventTime", "20250615150640.000000+120"},
                      {"Message", "\"Fan 'FAN1 SYS' failed\""},
                      {"PerceivedSeverity", "5"},
                      {"ErrorCode", "11206861"},
                      {"RecommendedActions", "{\"Check the fan cable\", \"Replace the fan\"}"},
                      {"Summary", "\"Fan failure\""},
                      {"ProbableCauseDescription", "\"Fan worn out|Fan cable loose|Fan blocked\""},
                      {"MessageArguments", "{\"FAN1 SYS\", \"0\"}"},
                  })},
        {"system-log entry 0x20 without arguments event", entry20},
        {"system-log entry 0x63 that the log does not hold", logEntry("LogMessage_63")},
        {"driver-monitor entry 0x1f", logEntry("DriverMonitorMessage_1f",
                                               {
                                                   {"EventTime", "20250615150820.000000+000"},
                                                   {"Message", "\"Network adapter eth1: link down\""},
                                                   {"PerceivedSeverity", "4"},
                                                   {"ErrorCode", "4259863"},
                                                   {"AssociationKey", "\"1801-002A\""},
                                               })},
        {"system-log entry 0x20 with the strings left from 0x63",
         with(entry20, {{"MessageArguments", "{\"stale\", \"strings\"}"}})},
        {"first RAID event", agentIndication("RaidMessage_ff",
                                             {
                                                 {"Message", "\"Physical drive 4 failed\""},
                                                 {"PerceivedSeverity", "5"},
                                                 {"ErrorCode", "4521989"},
                                                 {"EventTime", "20250615151000.000000+000"},
                                             })},
        {"second RAID event", agentIndication("RaidMessage_1000",
                                              {
                                                  {"Message", "\"Logical drive 1 degraded\""},
                                                  {"ErrorCode", "4521990"},
                                              })},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].first);
        expectDelivery(i, expected[i].second);
        // sfcb numbers what it posts through one subscription from 0.
        EXPECT_EQ(propertyText(listener_->at(i).indication, "SequenceNumber"), std::to_string(i));
    }
    EXPECT_EQ(listener_->rejected(), 0u) << "sfcb posted something that is no export request";
}

TEST_F(CimomIndications, DeletingTheSubscriptionStopsDeliveryAndANewOneResumesIt) {
    Subscription s = enableIndications();
    pushAndReceive({"push-syslog", "31"});

    CimAnswer a = wbemcli("di", s.subscription);
    ASSERT_TRUE(a.ok()) << a.describe();
    EXPECT_TRUE(interop("CIM_IndicationSubscription").empty());
    // Filter and destination stay; only the subscription went.
    EXPECT_EQ(interop("CIM_IndicationFilter").size(), 1u);
    EXPECT_EQ(interop("CIM_ListenerDestinationCIMXML").size(), 1u);
    // sfcb only deactivates the filter; the module must give up its event
    // channel on that alone, so the agent's pushes reach nobody.
    ASSERT_TRUE(waitSimStatus("\"eventSubscribers\":0")) << sim_->ctl({"status"}).out;
    EXPECT_EQ(ctl({"push-syslog", "31"}), "0");
    EXPECT_FALSE(listener_->waitFor(2, std::chrono::milliseconds(1000)));

    // The same filter and destination subscribed again.
    createSubscription(s);
    ctl({"wait-subscribers", "1", "--timeout-ms", "15000"});
    pushAndReceive({"push-drvmon", "31"});
    ASSERT_EQ(listener_->size(), 2u);
    EXPECT_EQ(propertyText(listener_->at(1).indication, "EventID"), "\"DriverMonitorMessage_1f\"");
    EXPECT_EQ(propertyText(listener_->at(1).indication, "Message"), "\"Network adapter eth1: link down\"");
}

TEST_F(CimomIndications, EventsPushedAfterAnAgentRestartArrive) {
    enableIndications();
    // A burst still being delivered when the agent goes away: the module
    // holds the events already, so every one of them still arrives.
    const size_t kBurst = 20;
    for (size_t i = 0; i < kBurst; ++i) EXPECT_EQ(ctl({"push-syslog", "31"}), "1");
    ctl({"restart", "--down-ms", "500"});
    ASSERT_TRUE(listener_->waitFor(kBurst, std::chrono::seconds(30)))
        << listener_->size() << " of " << kBurst;

    // The module's event thread finds the agent back and subscribes again.
    ctl({"wait-subscribers", "1", "--timeout-ms", "20000"});
    pushAndReceive({"push-syslog", "31"});
    EXPECT_EQ(propertyText(listener_->at(kBurst).indication, "EventID"), "\"LogMessage_1f\"");
    // The first request after the restart may find the old request channel
    // dead; from the next entry on the details are read again.
    pushAndReceive({"push-drvmon", "31"});
    pushAndReceive({"push-syslog", "31"});
    const Instance later = listener_->at(kBurst + 2).indication;
    EXPECT_EQ(propertyText(later, "Message"), "\"Fan 'FAN1 SYS' failed\"");
    EXPECT_EQ(propertyText(later, "Summary"), "\"Fan failure\"");
    EXPECT_EQ(propertyText(later, "HostAddress"), "\"road-test.example.net\"");
    EXPECT_EQ(propertyText(listener_->at(kBurst + 1).indication, "EventID"), "\"DriverMonitorMessage_1f\"");
}

}  // namespace
}  // namespace cimomtest
