#include "cimple/Datetime.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "cimple/Time.h"

namespace cimple {

namespace {

const int64_t USEC_PER_SEC = 1000000;
const int64_t USEC_PER_DAY = 86400 * USEC_PER_SEC;
const uint64_t MAX_INTERVAL_DAYS = 99999999;
const int MAX_OFFSET = 999;

// Days since 1970-01-01 of a proleptic Gregorian date, and back. Counting in
// 400-year eras (146097 days each) keeps both directions exact for any year.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(int64_t y, unsigned m) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// Reads n decimal digits at s; false on anything else.
bool digits(const char* s, int n, uint64_t& value) {
    value = 0;
    for (int i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + static_cast<uint64_t>(s[i] - '0');
    }
    return true;
}

}  // namespace

Datetime Datetime::now() {
    time_t t = time(nullptr);
    struct tm local;
    int32_t offset = 0;
    if (localtime_r(&t, &local)) offset = static_cast<int32_t>(local.tm_gmtoff / 60);
    return Datetime(Time::now(), offset);
}

void Datetime::set_timestamp(uint64_t usec, int32_t utc_offset_minutes) {
    *this = Datetime(usec, utc_offset_minutes);
}

void Datetime::set_interval(uint64_t usec) {
    _usec = usec;
    _offset = 0;
    _kind = INTERVAL;
}

const char* Datetime::ascii(char buf[TEXT_SIZE + 1]) const {
    if (_kind == NONE) {
        buf[0] = '\0';
        return buf;
    }
    if (_kind == INTERVAL) {
        uint64_t days = _usec / USEC_PER_DAY;
        uint64_t rest = _usec % USEC_PER_DAY;
        // Longer than eight digits of days cannot be written: show the limit.
        if (days > MAX_INTERVAL_DAYS) {
            days = MAX_INTERVAL_DAYS;
            rest = USEC_PER_DAY - 1;
        }
        uint64_t sec = rest / USEC_PER_SEC;
        char tmp[64];  // roomy enough that the compiler can see no truncation
        snprintf(tmp, sizeof tmp, "%08llu%02llu%02llu%02llu.%06llu:000", (unsigned long long)days,
                 (unsigned long long)(sec / 3600), (unsigned long long)(sec / 60 % 60),
                 (unsigned long long)(sec % 60), (unsigned long long)(rest % USEC_PER_SEC));
        memcpy(buf, tmp, TEXT_SIZE + 1);
        return buf;
    }

    // The offset field has three digits; clamp rather than overflow it.
    int32_t offset = _offset;
    if (offset > MAX_OFFSET) offset = MAX_OFFSET;
    if (offset < -MAX_OFFSET) offset = -MAX_OFFSET;

    // Local time may lie before 1970 (negative offset near the epoch) or past
    // year 9999 (a huge count); years outside 0..9999 are clamped to the range.
    const int64_t max_usec = (days_from_civil(10000, 1, 1)) * USEC_PER_DAY - 1;
    const int64_t slack = int64_t(MAX_OFFSET) * 60 * USEC_PER_SEC;
    int64_t local;
    if (_usec > static_cast<uint64_t>(max_usec + slack))
        local = max_usec;
    else
        local = static_cast<int64_t>(_usec) + int64_t(offset) * 60 * USEC_PER_SEC;
    if (local > max_usec) local = max_usec;
    int64_t days = local >= 0 ? local / USEC_PER_DAY : -((-local + USEC_PER_DAY - 1) / USEC_PER_DAY);
    int64_t rest = local - days * USEC_PER_DAY;
    int64_t y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    int64_t sec = rest / USEC_PER_SEC;
    char tmp[64];
    snprintf(tmp, sizeof tmp, "%04d%02u%02u%02d%02d%02d.%06d%c%03d", static_cast<int>(y), m, d,
             static_cast<int>(sec / 3600), static_cast<int>(sec / 60 % 60), static_cast<int>(sec % 60),
             static_cast<int>(rest % USEC_PER_SEC), offset < 0 ? '-' : '+', offset < 0 ? -offset : offset);
    memcpy(buf, tmp, TEXT_SIZE + 1);
    return buf;
}

String Datetime::to_string() const {
    char buf[TEXT_SIZE + 1];
    return String(ascii(buf));
}

bool Datetime::set(const char* text) {
    if (!text || strnlen(text, TEXT_SIZE + 1) != TEXT_SIZE || text[14] != '.') return false;

    uint64_t hh, mm, ss, micro, tz;
    if (!digits(text + 8, 2, hh) || !digits(text + 10, 2, mm) || !digits(text + 12, 2, ss) ||
        !digits(text + 15, 6, micro) || !digits(text + 22, 3, tz))
        return false;
    if (hh > 23 || mm > 59 || ss > 59) return false;
    const uint64_t day_usec = ((hh * 60 + mm) * 60 + ss) * USEC_PER_SEC + micro;

    if (text[21] == ':') {
        uint64_t days;
        if (tz != 0 || !digits(text, 8, days)) return false;
        set_interval(days * USEC_PER_DAY + day_usec);
        return true;
    }
    if (text[21] != '+' && text[21] != '-') return false;

    uint64_t year, month, day;
    if (!digits(text, 4, year) || !digits(text + 4, 2, month) || !digits(text + 6, 2, day)) return false;
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(int64_t(year), unsigned(month)))
        return false;

    const int32_t offset = text[21] == '-' ? -int32_t(tz) : int32_t(tz);
    const int64_t local =
        days_from_civil(int64_t(year), unsigned(month), unsigned(day)) * USEC_PER_DAY + int64_t(day_usec);
    const int64_t utc = local - int64_t(offset) * 60 * USEC_PER_SEC;
    if (utc < 0) return false;  // before 1970 in UTC: no microsecond count for it
    *this = Datetime(uint64_t(utc), offset);
    return true;
}

}  // namespace cimple
