// Agent events become QMS_VRXLogEntryArrived indications that sfcb posts to
// a client's listener: every property as the agent held it (the values the
// embedded CIMOM's road tests assert for the same scenario entries). Delivery
// stopping and resuming with the subscription is on the idle-unload road.
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

}  // namespace
}  // namespace cimomtest
