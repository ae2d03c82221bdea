// The agent restarts under a running module: indications resume by themselves,
// and a CIMOM request made while the agent is gone fails with the operation's
// status instead of hanging, and works again once the agent is back.
#include "integration/RoadSupport.h"

namespace road {
namespace {

class AgentRestartRoad : public RoadTest {};

TEST_F(AgentRestartRoad, IndicationsResumeWithoutACallFromTheHost) {
    enableIndications();
    ctl({"push-syslog", "31"});
    ASSERT_TRUE(recorder_.waitFor(1));

    ctl({"restart", "--down-ms", "500"});
    // The module's event thread notices the lost channel, waits for the agent
    // and subscribes again on its own.
    ctl({"wait-subscribers", "1", "--timeout-ms", "15000"});
    EXPECT_EQ(ctl({"push-syslog", "31"}), "1");
    ASSERT_TRUE(recorder_.waitFor(2));
    EXPECT_EQ(propertyText(recorder_.at(1).get(), "EventID"), "\"LogMessage_1f\"");

    // The first request after the restart may find the old request channel
    // dead; from the next entry on the details are read again.
    EXPECT_EQ(ctl({"push-syslog", "31"}), "1");
    ASSERT_TRUE(recorder_.waitFor(3));
    const cimple::Instance* later = recorder_.at(2).get();
    EXPECT_EQ(propertyText(later, "Message"), "\"Fan 'FAN1 SYS' failed\"");
    EXPECT_EQ(propertyText(later, "Summary"), "\"Fan failure\"");
    EXPECT_EQ(propertyText(later, "HostAddress"), "\"road-test.example.net\"");
}

TEST_F(AgentRestartRoad, RequestWhileAgentIsAbsentFailsAndTheNextOneSucceeds) {
    auto service = hostProvider("QMS_VRXIndicationRegistrationService_Provider");
    std::vector<cimple::Ref<cimple::Instance>> found;
    ASSERT_EQ(service->enumInstances(found), 0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(propertyText(found[0].get(), "SystemName"), "\"ROAD0001\"");

    ctl({"restart", "--down-ms", "1500"});
    found.clear();
    // The account check cannot reach the agent: access denied.
    EXPECT_EQ(service->enumInstances(found), 71);
    EXPECT_TRUE(found.empty());
    EXPECT_NE(sim_->ctl({"status"}).out.find("\"up\":false"), std::string::npos)
        << "the call outlasted the agent's absence";

    ASSERT_TRUE(waitStatus("\"up\":true"));
    EXPECT_EQ(service->enumInstances(found), 0);
    EXPECT_EQ(found.size(), 1u);
}

}  // namespace
}  // namespace road
