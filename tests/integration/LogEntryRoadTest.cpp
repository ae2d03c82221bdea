// Agent events become delivered QMS_VRXLogEntryArrived indications: the
// simulator pushes, the module reads a log entry's details back from it (a
// RAID text carries its own), and the CIMOM hands the finished instance to
// the subscribed listener.
#include <algorithm>
#include <chrono>

#include "common/Programs.h"
#include "integration/RoadSupport.h"

namespace road {
namespace {

class LogEntryRoad : public RoadTest {
protected:
    // Pushes and waits for the indications it must produce.
    void pushAndReceive(const std::vector<std::string>& push, size_t count = 1) {
        const size_t before = sink_->size();
        EXPECT_EQ(ctl(push), "1\n") << push[0] << " reached no subscriber";
        ASSERT_TRUE(sink_->waitFor(before + count)) << "no indication for " << push[0] << " " << push[1];
    }
};

// A RAID text is read only from itself: no adapter table is kept, so no
// indication names a source element.
TEST_F(LogEntryRoad, SystemLogDriverMonitorMissingAndRaidEntriesCarryEveryProperty) {
    enableIndications();
    std::vector<qmstest::RoadStep> steps = qmstest::logEntrySteps();
    steps.push_back(qmstest::raidStep());
    std::vector<std::pair<const char*, qmstest::Properties>> expected;
    for (const qmstest::RoadStep& step : steps) {
        pushAndReceive(step.push, step.expected.size());
        for (const qmstest::Properties& p : step.expected) expected.emplace_back(step.what, p);
    }
    ASSERT_EQ(sink_->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].first);
        expectProperties(sink_->at(i), expected[i].second);
        EXPECT_EQ(sink_->destinationAt(i), "http://road-listener:5988");
    }
    // A text that is no RAID event document yields nothing, and the module
    // keeps listening.
    EXPECT_EQ(ctl({"push-raid", "not JSON"}), "1\n");
    pushAndReceive({"push-syslog", "31"});
    EXPECT_EQ(propertyText(sink_->at(expected.size()), "EventID"), "\"LogMessage_1f\"");
}

TEST_F(LogEntryRoad, DeletingTheLastSubscriptionStopsDelivery) {
    const cimhost::ObjectPath subscription = enableIndications();
    pushAndReceive({"push-syslog", "31"});
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.deActivateFilter"), 0u);
    // While it delivers, the module refuses to be unloaded by an idle sweep.
    EXPECT_EQ(cimom_->unloadProvider("QMS_VRXLogEntryArrived_Provider").rc, CMPI_RC_DO_NOT_UNLOAD);

    // What the CIMOM wrote for the listener: one JSON line per delivery.
    const std::string line = qmstest::fileText(deliveryLog_);
    ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << deliveryLog_;
    EXPECT_NE(line.find("\"destination\":\"http://road-listener:5988\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"EventID\":\"LogMessage_1f\""), std::string::npos) << line;

    ASSERT_TRUE(cimom_->deleteInstance(subscription).ok());
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.deActivateFilter"), 1u);
    // The module gave up its event channel, so the pushes reach nobody.
    ASSERT_TRUE(sim_->waitStatus("\"eventSubscribers\":0"));
    EXPECT_EQ(ctl({"push-syslog", "31"}), "0\n");
    EXPECT_EQ(ctl({"push-drvmon", "31"}), "0\n");
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
    ASSERT_TRUE(sim_->waitStatus("\"eventSubscribers\":0"));
    ASSERT_TRUE(cimom_->restoreSubscriptions().ok());
    ctl({"wait-subscribers", "1", "--timeout-ms", "10000"});
    pushAndReceive({"push-drvmon", "31"});
    EXPECT_EQ(propertyText(sink_->at(0), "EventID"), "\"DriverMonitorMessage_1f\"");
}

}  // namespace
}  // namespace road
