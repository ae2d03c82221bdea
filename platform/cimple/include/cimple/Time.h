// Wall-clock time in microseconds.
#pragma once

#include <cstdint>

#include "cimple/Config.h"

namespace cimple {

struct Time {
    static constexpr uint64_t SEC = 1000000;  // Time units in a second

    // Microseconds since 1970-01-01 00:00 UTC.
    static uint64_t now();
    // Sleeps at least `usec` microseconds (resumes after signals).
    static void sleep(uint64_t usec);
};

}  // namespace cimple
