#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/TraceCapture.h"
#include "support/provider_trace.h"

using provider::trace;

namespace {

TEST(ProviderTrace, FormatsWithTheLevelAndCutsAt1023Bytes) {
    qms_test::TraceCapture traces;
    trace(5, "Tolm::getVoltageNominal(cabNr=%x, objId=%x)", 0x1Au, 3u);
    const std::string exact(1023, 'a');
    trace(1, "%s", exact.c_str());
    trace(1, "%s", (std::string(1023, 'b') + "tail").c_str());
    const auto lines = traces.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, 5u);
    EXPECT_EQ(lines[0].text, "Tolm::getVoltageNominal(cabNr=1a, objId=3)");
    EXPECT_EQ(lines[1].text, exact);
    EXPECT_EQ(lines[2].text, std::string(1023, 'b'));
}

TEST(ProviderTrace, SinkIsRemovedWithItsScopeAndTheOuterOneComesBack) {
    qms_test::TraceCapture outer;
    {
        qms_test::TraceCapture inner;
        trace(3, "inner");
        EXPECT_TRUE(inner.contains(3, "inner"));
    }
    trace(3, "outer");
    EXPECT_EQ(outer.size(), 1u);
    EXPECT_TRUE(outer.contains(3, "outer"));
}

TEST(ProviderTrace, ConcurrentTracersAreAllSeenWhole) {
    qms_test::TraceCapture traces;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) trace(5, "thread %d line %d", t, i);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(traces.countLevel(5), 800u);
    EXPECT_TRUE(traces.contains(5, "thread 3 line 199"));
    EXPECT_EQ(traces.countContaining(5, "line 7"), 4u * 11u);  // 7, 70..79
}

}  // namespace
