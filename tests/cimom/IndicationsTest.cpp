// Agent events become QMS_VRXLogEntryArrived indications that sfcb posts to
// a client's listener: every property as the agent held it (the values the
// embedded CIMOM's road tests assert for the same scenario entries), delivery
// stopping and resuming with the subscription, and surviving an agent
// restart.
#include "cimom/CimomSupport.h"

namespace cimomtest {
namespace {

class CimomIndications : public CimomTest {};

TEST_F(CimomIndications, SystemLogDriverMonitorAndRaidEventsArriveWithEveryProperty) {
    enableIndications();
    // The roads of the embedded CIMOM, event for event.
    std::vector<qmstest::RoadStep> steps = qmstest::logEntrySteps();
    steps.push_back(qmstest::raidStep());
    std::vector<std::pair<const char*, Properties>> expected;
    for (const qmstest::RoadStep& step : steps) {
        pushAndReceive(step.push, step.expected.size());
        // As sfcb posts it: with the name of the filter it matched.
        for (const Properties& p : step.expected)
            expected.emplace_back(step.what,
                                  qmstest::with(p, {{"IndicationFilterName", "\"cimom-filter\""}}));
    }
    ASSERT_EQ(listener_->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].first);
        const Delivery d = listener_->at(i);
        EXPECT_EQ(d.target, "/cimom");
        EXPECT_EQ(d.indication.className, "QMS_VRXLogEntryArrived");
        // sfcb's own delivery bookkeeping is set on every indication it posts.
        expectProperties(d.indication, expected[i].second, {"SequenceContext", "SequenceNumber"});
        // sfcb numbers what it posts through one subscription from 0.
        EXPECT_EQ(propertyText(listener_->at(i).indication, "SequenceNumber"), std::to_string(i));
    }
    EXPECT_EQ(listener_->rejected(), 0u) << "sfcb posted something that is no export request";
}

TEST_F(CimomIndications, DeletingTheSubscriptionStopsDeliveryAndANewOneResumesIt) {
    Subscription s = enableIndications();
    pushAndReceive({"push-syslog", "31"});

    wbemcli("di", s.subscription);
    EXPECT_TRUE(interop("CIM_IndicationSubscription").empty());
    // Filter and destination stay; only the subscription went.
    EXPECT_EQ(interop("CIM_IndicationFilter").size(), 1u);
    EXPECT_EQ(interop("CIM_ListenerDestinationCIMXML").size(), 1u);
    // sfcb only deactivates the filter; the module must give up its event
    // channel on that alone, so the agent's pushes reach nobody.
    ASSERT_TRUE(sim_->waitStatus("\"eventSubscribers\":0")) << sim_->ctl({"status"}).out;
    EXPECT_EQ(ctl({"push-syslog", "31"}), "0\n");
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
    for (size_t i = 0; i < kBurst; ++i) EXPECT_EQ(ctl({"push-syslog", "31"}), "1\n");
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
