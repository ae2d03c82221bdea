// The agent restarts under a running module: a CIMOM request made while the
// agent is gone fails with the operation's status instead of hanging, and
// works again once the agent is back; switching off needs no agent. That
// indications resume by themselves is the outage road's (OutageRoadTest).
#include <chrono>

#include "integration/RoadSupport.h"

namespace road {
namespace {

class AgentRestartRoad : public RoadTest {};

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
