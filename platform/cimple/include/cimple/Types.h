// Fixed-width names for the CIM intrinsic types.
#pragma once

#include <cstdint>

namespace cimple {

typedef bool boolean;
typedef uint8_t uint8;
typedef int8_t sint8;
typedef uint16_t uint16;
typedef int16_t sint16;
typedef uint32_t uint32;
typedef int32_t sint32;
typedef uint64_t uint64;
typedef int64_t sint64;
typedef float real32;
typedef double real64;

// A UCS-2 code unit. A struct, not a typedef of uint16_t, so that overloads
// (text rendering, CIMOM conversion) can tell a character from a number.
struct char16 {
    uint16_t code;

    constexpr char16() : code(0) {}
    constexpr char16(uint16_t c) : code(c) {}  // NOLINT: implicit on purpose

    friend constexpr bool operator==(char16 a, char16 b) { return a.code == b.code; }
    friend constexpr bool operator!=(char16 a, char16 b) { return a.code != b.code; }
    friend constexpr bool operator<(char16 a, char16 b) { return a.code < b.code; }
};

}  // namespace cimple
