// The agent restarts under a running module: indications resume by themselves,
// and a CIMOM request made while the agent is gone fails with the operation's
// status instead of hanging, and works again once the agent is back.
#include <chrono>

#include "integration/RoadSupport.h"

namespace road {
namespace {

class AgentRestartRoad : public RoadTest {};

TEST_F(AgentRestartRoad, IndicationsResumeWithoutACallFromTheHost) {
    enableIndications();
    ctl({"push-syslog", "31"});
    ASSERT_TRUE(sink_->waitFor(1));

    ctl({"restart", "--down-ms", "500"});
    // The module's event thread notices the lost channel, waits for the agent
    // and subscribes again on its own.
    ctl({"wait-subscribers", "1", "--timeout-ms", "15000"});
    // The first entry after the restart is read over a new request channel
    // and goes out with all its details.
    const qmstest::RoadStep first = qmstest::logEntrySteps().at(0);
    EXPECT_EQ(ctl(first.push), "1");
    ASSERT_TRUE(sink_->waitFor(2));
    expectProperties(sink_->at(1), first.expected.at(0));
}

// Removing the last subscription while the agent is gone still switches the
// module off at once: the handler is given back and the module may unload.
TEST_F(AgentRestartRoad, SwitchingOffWhileTheAgentIsGoneCompletes) {
    const cimhost::ObjectPath subscription = enableIndications();
    sim_->stop();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(cimom_->deleteInstance(subscription).ok());
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.deActivateFilter"), 1u);
    EXPECT_TRUE(cimom_->unloadProvider("QMS_VRXLogEntryArrived_Provider").ok());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(AgentRestartRoad, RequestWhileAgentIsAbsentFailsAndTheNextOneSucceeds) {
    EXPECT_EQ(propertyText(service(), "SystemName"), "\"ROAD0001\"");

    ctl({"restart", "--down-ms", "1500"});
    std::vector<cimhost::Instance> found;
    // The account check cannot reach the agent: access denied.
    cimhost::Status st = cimom_->enumerateInstances(kRootQms, "QMS_VRXIndicationRegistrationService", &found);
    EXPECT_EQ(st.rc, CMPI_RC_ERR_ACCESS_DENIED) << st.message;
    EXPECT_TRUE(found.empty());
    EXPECT_NE(sim_->ctl({"status"}).out.find("\"up\":false"), std::string::npos)
        << "the call outlasted the agent's absence";

    ASSERT_TRUE(sim_->waitStatus("\"up\":true"));
    EXPECT_TRUE(cimom_->enumerateInstances(kRootQms, "QMS_VRXIndicationRegistrationService", &found).ok());
    EXPECT_EQ(found.size(), 1u);
}

}  // namespace
}  // namespace road
