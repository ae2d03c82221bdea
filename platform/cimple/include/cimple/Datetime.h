// CIM date/time value: absent, a timestamp, or an interval.
//
// A timestamp is microseconds since 1970-01-01 00:00 UTC plus the UTC offset
// (minutes) of the place it was observed; the text form shows local time. An
// interval is a plain count of microseconds. Standard layout.
#pragma once

#include <cstdint>

#include "cimple/Config.h"
#include "cimple/String.h"

namespace cimple {

class Datetime {
public:
    // Length of the CIM text form without its NUL.
    static constexpr size_t TEXT_SIZE = 25;

    Datetime() : _usec(0), _offset(0), _kind(NONE) {}
    Datetime(uint64_t usec, int32_t utc_offset_minutes)
        : _usec(usec), _offset(utc_offset_minutes), _kind(TIMESTAMP) {}

    // The current time with this host's present UTC offset.
    static Datetime now();

    void set_timestamp(uint64_t usec, int32_t utc_offset_minutes);
    void set_interval(uint64_t usec);
    void clear() { *this = Datetime(); }

    bool is_null() const { return _kind == NONE; }
    bool is_interval() const { return _kind == INTERVAL; }
    bool is_timestamp() const { return _kind == TIMESTAMP; }
    uint64_t usec() const { return _usec; }
    int32_t offset() const { return _offset; }

    // CIM text: "yyyymmddhhmmss.mmmmmmsutc" for timestamps (local time, then
    // '+' or '-' and the offset's minutes in three digits) or
    // "ddddddddhhmmss.mmmmmm:000" for intervals. A null value writes "".
    // buf must hold TEXT_SIZE + 1 bytes. Returns buf.
    const char* ascii(char buf[TEXT_SIZE + 1]) const;
    String to_string() const;

    // Parses either text form. Anything else (wrong length, a non-digit, a
    // month 13, an offset over 999, a year before 1970 in UTC...) returns
    // false and leaves the value unchanged.
    bool set(const char* text);

    friend bool operator==(const Datetime& a, const Datetime& b) {
        return a._kind == b._kind && a._usec == b._usec && a._offset == b._offset;
    }
    friend bool operator!=(const Datetime& a, const Datetime& b) { return !(a == b); }

private:
    enum Kind : uint32_t { NONE, TIMESTAMP, INTERVAL };

    uint64_t _usec;
    int32_t _offset;
    uint32_t _kind;
};

}  // namespace cimple
