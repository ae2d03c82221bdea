// A RAID event text from the agent becomes one delivered indication per
// event, read only from the text itself: no adapter table is kept, so no
// indication names a source element.
#include "integration/RoadSupport.h"

namespace road {
namespace {

class RaidRoad : public RoadTest {};

TEST_F(RaidRoad, TwoEventsInOneTextBecomeTwoIndications) {
    enableIndications();

    // The second event's severity is outside the agent's range and it has no
    // date: it still goes out, with those two properties NULL.
    const std::string text =
        R"({"Event":[)"
        R"({"AdapterNr":0,"PhyDriveNr":4,"Severity":2,"Message":"Physical drive 4 failed","ErrorCode":5,)"
        R"("SequenceNum":255,"Date":1750000200},)"
        R"({"AdapterNr":0,"LogDriveNr":1,"Severity":7,"Message":"Logical drive 1 degraded","ErrorCode":6,)"
        R"("SequenceNum":4096}]})";
    EXPECT_EQ(ctl({"push-raid", text}), "1");
    ASSERT_TRUE(sink_->waitFor(2));

    {
        SCOPED_TRACE("first event");
        expectProperties(sink_->at(0),
                         agentIndication("RaidMessage_ff", {
                                                              {"Message", "\"Physical drive 4 failed\""},
                                                              {"PerceivedSeverity", "5"},
                                                              {"ErrorCode", "4521989"},  // 0x450005
                                                              {"EventTime", "20250615151000.000000+000"},
                                                          }));
    }
    {
        SCOPED_TRACE("second event");
        expectProperties(sink_->at(1),
                         agentIndication("RaidMessage_1000", {
                                                                {"Message", "\"Logical drive 1 degraded\""},
                                                                {"ErrorCode", "4521990"},  // 0x450006
                                                            }));
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
