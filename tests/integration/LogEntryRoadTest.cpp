// Agent events become delivered QMS_VRXLogEntryArrived indications: the
// simulator pushes, the module reads the entry's details back from it, and
// the CIMOM hands the finished instance to the subscribed listener.
#include <chrono>
#include <fstream>

#include "integration/RoadSupport.h"

namespace road {
namespace {

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
    const std::vector<qmstest::RoadStep> steps = qmstest::logEntrySteps();
    for (const qmstest::RoadStep& step : steps) pushAndReceive(step.push);
    ASSERT_EQ(sink_->size(), steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(steps[i].what);
        expectProperties(sink_->at(i), steps[i].expected.at(0));
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
    ASSERT_TRUE(sim_->waitStatus("\"eventSubscribers\":0"));
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
    ASSERT_TRUE(sim_->waitStatus("\"eventSubscribers\":0"));
    ASSERT_TRUE(cimom_->restoreSubscriptions().ok());
    ctl({"wait-subscribers", "1", "--timeout-ms", "10000"});
    pushAndReceive({"push-drvmon", "31"});
    EXPECT_EQ(propertyText(sink_->at(0), "EventID"), "\"DriverMonitorMessage_1f\"");
}

}  // namespace
}  // namespace road
