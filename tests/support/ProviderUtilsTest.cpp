#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/TraceCapture.h"
#include "support/provider_utils.h"

using namespace provider;

namespace {

std::string str(const cimple::String& s) { return std::string(s.c_str(), s.size()); }

TEST(TraceAndThrow, TracesThenThrowsTheGivenTypeWhole) {
    qms_test::TraceCapture traces;
    try {
        traceAndThrow(HandlerException("h.cpp", 9, "clone(Handler)", 5));
        FAIL() << "traceAndThrow returned";
    } catch (const HandlerExceptionInfo& info) {
        EXPECT_EQ(info.getId(), 5);
    }
    EXPECT_TRUE(traces.contains(
        1, "traceAndThrow(): HandlerException: file=\"h.cpp\" line=9 message=\"clone(Handler)\" id=5"));
}

TEST(Conversions, Datetime) {
    EXPECT_TRUE(toDatetime(cimple::String("20240101000000.000000+000")).is_null());

    // The offset applies only while offset*60 < seconds.
    EXPECT_EQ(toDatetime(100L, 60), cimple::Datetime(100000000u, 0));
    EXPECT_EQ(toDatetime(7200L, 60), cimple::Datetime(3600000000u, 60));
    // West of UTC the offset is negative and always less.
    EXPECT_EQ(toDatetime(0L, -120), cimple::Datetime(7200000000u, -120));
    // offset*60 is computed in 32 bits: 35791395 * 60 wraps to a negative
    // number, so the offset applies. Must not be undefined behaviour.
    const cimple::Datetime wrapped = toDatetime(10L, 35791395);
    EXPECT_TRUE(wrapped.is_timestamp());
    EXPECT_EQ(wrapped.offset(), 35791395);
}

TEST(Conversions, StdStringStopsAtTheFirstNul) {
    EXPECT_EQ(str(STDSTRINGToString(std::string("ab\0cd", 5))), "ab");
    EXPECT_EQ(StringToSTDSTRING(cimple::String("xy\0z", 4)), "xy");
    EXPECT_EQ(StringToSTDSTRING(cimple::String()), "");
}

// The status tables, one row per mapping; kUnknown marks a code the row does
// not know, which must be traced and give the row's failure status.
constexpr int kUnknown = -1;
struct MappingRow {
    const char* name;
    int (*map)(CimError);
    int statuses[6];  // for 0, 1, 2, 4, 6, 7
};

const MappingRow kRows[] = {
    {"toGetInstanceStatus", toGetInstanceStatus, {0, 64, 63, 62, 60, 61}},
    {"toEnumInstancesStatus", toEnumInstancesStatus, {0, 70, 71, kUnknown, kUnknown, kUnknown}},
    {"toEnableIndicationsStatus",
     toEnableIndicationsStatus,
     {0, 140, kUnknown, kUnknown, kUnknown, kUnknown}},
    {"toDisableIndicationsStatus",
     toDisableIndicationsStatus,
     {0, 150, kUnknown, kUnknown, kUnknown, kUnknown}},
};

TEST(StatusMapping, KnownCodesMapAndUnknownOnesAreTracedAsFailure) {
    const CimError known[6] = {CIM_ERR_SUCCESS,           CIM_ERR_FAILED,    CIM_ERR_ACCESS_DENIED,
                               CIM_ERR_INVALID_PARAMETER, CIM_ERR_NOT_FOUND, CIM_ERR_NOT_SUPPORTED};
    for (const MappingRow& row : kRows) {
        const int failure = row.statuses[1];
        auto expectUnknown = [&](int code) {
            qms_test::TraceCapture traces;
            EXPECT_EQ(row.map(static_cast<CimError>(code)), failure) << row.name << " " << code;
            EXPECT_EQ(traces.size(), 1u) << row.name << " " << code;
            EXPECT_TRUE(traces.contains(
                1, std::string(row.name) + "(): unknown CimError code: " + std::to_string(code)))
                << row.name << " " << code;
        };
        for (int i = 0; i < 6; ++i) {
            if (row.statuses[i] == kUnknown) {
                expectUnknown(known[i]);
            } else {
                qms_test::TraceCapture traces;
                EXPECT_EQ(row.map(known[i]), row.statuses[i]) << row.name << " " << known[i];
                EXPECT_EQ(traces.size(), 0u) << row.name << " " << known[i];
            }
        }
        for (int code : {3, 5, 8, -1, 1000, INT_MIN}) expectUnknown(code);
    }
}

}  // namespace
