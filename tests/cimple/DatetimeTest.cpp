#include <gtest/gtest.h>

#include "cimple/Datetime.h"
#include "cimple/Time.h"

using namespace cimple;

namespace {

Datetime interval(uint64_t usec) {
    Datetime d;
    d.set_interval(usec);
    return d;
}

}  // namespace

// Timestamps show local time (UTC plus the offset); extreme values stay in
// their fields; every text reads back to itself.
TEST(Datetime, TextOfBothFormsAndParseRoundTrip) {
    const struct {
        Datetime value;
        const char* text;
    } cases[] = {
        {Datetime(3600 * Time::SEC, 60), "19700101020000.000000+060"},
        {Datetime(0, 0), "19700101000000.000000+000"},
        {Datetime(0, -90), "19691231223000.000000-090"},
        // 2000-02-29 (leap day) 12:34:56.789012 UTC.
        {Datetime(951827696789012ull, 0), "20000229123456.789012+000"},
        {Datetime(951827696789012ull, 330), "20000229180456.789012+330"},
        {Datetime(UINT64_MAX, 5000), "99991231235959.999999+999"},
        {interval(((2 * 24 + 3) * 3600 + 4 * 60 + 5) * Time::SEC + 6), "00000002030405.000006:000"},
        {interval(UINT64_MAX), "99999999235959.999999:000"},
        {Datetime(), "99991231235959.999999-999"},  // parse only
    };
    for (const auto& c : cases) {
        char buf[Datetime::TEXT_SIZE + 1];
        if (!c.value.is_null()) {
            EXPECT_STREQ(c.value.ascii(buf), c.text);
        }
        Datetime back;
        ASSERT_TRUE(back.set(c.text)) << c.text;
        EXPECT_EQ(back.to_string(), c.text);
    }
    EXPECT_TRUE(interval(1).is_interval());
    Datetime d;
    ASSERT_TRUE(d.set("19700101020000.000000+060"));
    EXPECT_EQ(d.usec(), 3600 * Time::SEC);
    EXPECT_EQ(d.offset(), 60);
}

TEST(Datetime, ParseRejectsMalformedTextAndKeepsValue) {
    const char* bad[] = {nullptr,
                         "",
                         "19700101020000.000000+06",    // short
                         "19700101020000.000000+0600",  // long
                         "19701301020000.000000+000",   // month 13
                         "19700230020000.000000+000",   // 30 February
                         "19000229000000.000000+000",   // not a leap year
                         "19700101240000.000000+000",   // hour 24
                         "1970010102000a.000000+000",
                         "19700101020000.000000*000",
                         "19700101000000.000000+001",   // before 1970 in UTC
                         "********020000.000000+000",   // wildcards are not values
                         "00000002030405.000006:001"};  // interval with an offset
    for (const char* text : bad) {
        Datetime d(42, 1);
        EXPECT_FALSE(d.set(text)) << (text ? text : "(null)");
        EXPECT_EQ(d, Datetime(42, 1));
    }
}
