#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/Boundary.h"
#include "support/TraceCapture.h"

using namespace provider;

namespace {

const char kProvider[] = "QMS_X_Provider";

int getInstance(int (*work)()) {
    return runAtBoundary(kProvider, "get_instance", toGetInstanceStatus, cimple::GET_INSTANCE_FAILED, work);
}

TEST(Boundary, CimErrorIsMappedAndTracedOnceAndSuccessPassesThrough) {
    qms_test::TraceCapture traces;
    EXPECT_EQ(getInstance([] { return 60; }), 60);
    const int status = getInstance([]() -> int {
        throw CimErrorException("T.cpp", 12, "accountCheck() failed", CIM_ERR_ACCESS_DENIED);
    });
    EXPECT_EQ(status, 63);
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_TRUE(traces.contains(1,
                                "QMS_X_Provider::get_instance(): CimErrorException: file=\"T.cpp\" line=12 "
                                "message=\"accountCheck() failed\" cimErr=2"));
}

TEST(Boundary, OtherFailuresGiveTheFailureStatus) {
    qms_test::TraceCapture traces;
    EXPECT_EQ(getInstance([]() -> int { throw HandlerException("h", 1, "clone(H)", 4); }), 64);
    EXPECT_EQ(getInstance([]() -> int { throw BaseException("b", 2, "not initialized"); }), 64);
    EXPECT_EQ(getInstance([]() -> int { throw 42; }), 64);
    const auto lines = traces.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].text,
              "QMS_X_Provider::get_instance(): BaseException: file=\"b\" line=2 message=\"not initialized\"");
    EXPECT_EQ(lines[2].text, "QMS_X_Provider::get_instance(): catch(...)");
}

TEST(Boundary, WithoutMappingEveryFailureHasTheFixedOutcome) {
    qms_test::TraceCapture traces;
    const int rv = runAtBoundary("P", "SendTestIndication", nullptr, 1, []() -> int {
        throw CimErrorException("f", 1, "m", CIM_ERR_NOT_SUPPORTED);
    });
    EXPECT_EQ(rv, 1);
    EXPECT_EQ(traces.countContaining(1, "P::SendTestIndication(): CimErrorException"), 1u);

    // Guarded work without a status reports the error text.
    BoundaryOutcome bad = runGuarded(nullptr, 2, [] { throw 1; });
    EXPECT_TRUE(bad.failed);
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(bad.errorText == "catch(...)");
}

TEST(Boundary, ScopedLocksAreReleasedBeforeTheTrace) {
    struct Probe {
        std::mutex modelLock;
        bool freeWhenTraced = false;
    } probe;
    provider::ScopedTraceSink sink(
        [](unsigned, const char* text, void* ctx) {
            auto* p = static_cast<Probe*>(ctx);
            if (std::string(text).rfind("P::op(): ", 0) == 0) {
                // Another thread must be able to take the lock while the
                // boundary traces.
                std::thread other([p] {
                    p->freeWhenTraced = p->modelLock.try_lock();
                    if (p->freeWhenTraced) p->modelLock.unlock();
                });
                other.join();
            }
        },
        &probe);
    runAtBoundary("P", "op", toGetInstanceStatus, 64, [&]() -> int {
        std::lock_guard<std::mutex> guard(probe.modelLock);
        throw BaseException("f", 1, "m");
    });
    EXPECT_TRUE(probe.freeWhenTraced);
}

}  // namespace
