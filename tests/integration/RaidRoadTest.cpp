// A RAID event text from the agent becomes one delivered indication per
// event, read only from the text itself: no adapter table is kept, so no
// indication names a source element.
#include "integration/RoadSupport.h"

namespace road {
namespace {

class RaidRoad : public RoadTest {};

TEST_F(RaidRoad, TwoEventsInOneTextBecomeTwoIndications) {
    enableIndications();

    const qmstest::RoadStep raid = qmstest::raidStep();
    EXPECT_EQ(ctl(raid.push), "1");
    ASSERT_TRUE(sink_->waitFor(2));
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        expectProperties(sink_->at(i), raid.expected[i]);
    }

    // A text that is no RAID event document yields nothing, and the module
    // keeps listening.
    EXPECT_EQ(ctl({"push-raid", "not JSON"}), "1");
    EXPECT_FALSE(sink_->waitFor(3, std::chrono::milliseconds(300)));
    EXPECT_EQ(ctl({"push-syslog", "31"}), "1");
    ASSERT_TRUE(sink_->waitFor(3));
    EXPECT_EQ(propertyText(sink_->at(2), "EventID"), "\"LogMessage_1f\"");
}

}  // namespace
}  // namespace road
