#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/TraceCapture.h"
#include "support/provider_trace.h"

using provider::trace;

namespace {

TEST(ProviderTrace, FormatsAndPassesTheLevel) {
    qms_test::TraceCapture traces;
    trace(5, "Tolm::getVoltageNominal(cabNr=%x, objId=%x)", 0x1Au, 3u);
    trace(1, "%s", "");
    EXPECT_TRUE(traces.contains(5, "Tolm::getVoltageNominal(cabNr=1a, objId=3)"));
    EXPECT_TRUE(traces.contains(1, ""));
    EXPECT_EQ(traces.size(), 2u);
}

TEST(ProviderTrace, CutsTheTextAt1023Bytes) {
    qms_test::TraceCapture traces;
    const std::string exact(1023, 'a');
    const std::string longer = std::string(1023, 'b') + "tail";
    trace(1, "%s", exact.c_str());
    trace(1, "%s", longer.c_str());
    const auto lines = traces.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, exact);
    EXPECT_EQ(lines[1].text, std::string(1023, 'b'));
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
