// Internal: typed access to the fields of generated instance structs.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <type_traits>

#include "cimple/Array.h"
#include "cimple/Datetime.h"
#include "cimple/Instance.h"
#include "cimple/Property.h"
#include "cimple/String.h"
#include "cimple/Types.h"

namespace cimple {
namespace detail {

template <class T>
struct Tag {
    typedef T type;
};

// Calls f(Tag<C type>()) for a cimple::Type; false for an unknown type code.
template <class F>
bool with_type(uint16_t type, F&& f) {
    switch (type) {
        case BOOLEAN:
            f(Tag<bool>());
            return true;
        case UINT8:
            f(Tag<uint8_t>());
            return true;
        case SINT8:
            f(Tag<int8_t>());
            return true;
        case UINT16:
            f(Tag<uint16_t>());
            return true;
        case SINT16:
            f(Tag<int16_t>());
            return true;
        case UINT32:
            f(Tag<uint32_t>());
            return true;
        case SINT32:
            f(Tag<int32_t>());
            return true;
        case UINT64:
            f(Tag<uint64_t>());
            return true;
        case SINT64:
            f(Tag<int64_t>());
            return true;
        case REAL32:
            f(Tag<float>());
            return true;
        case REAL64:
            f(Tag<double>());
            return true;
        case CHAR16:
            f(Tag<char16>());
            return true;
        case STRING:
            f(Tag<String>());
            return true;
        case DATETIME:
            f(Tag<Datetime>());
            return true;
    }
    return false;
}

inline bool is_property(const Meta_Feature* mf) { return (mf->flags & CIMPLE_FLAG_PROPERTY) != 0; }
inline bool is_reference(const Meta_Feature* mf) {
    return (mf->flags & CIMPLE_FLAG_REFERENCE) != 0 && !(mf->flags & CIMPLE_FLAG_PROPERTY);
}
inline bool is_key(const Meta_Feature* mf) { return (mf->flags & CIMPLE_FLAG_KEY) != 0; }

inline const Meta_Property* as_property(const Meta_Feature* mf) {
    return reinterpret_cast<const Meta_Property*>(mf);
}
inline const Meta_Reference* as_reference(const Meta_Feature* mf) {
    return reinterpret_cast<const Meta_Reference*>(mf);
}

template <class T>
T& at(void* base, uint32_t offset) {
    return *reinterpret_cast<T*>(static_cast<char*>(base) + offset);
}
template <class T>
const T& at(const void* base, uint32_t offset) {
    return *reinterpret_cast<const T*>(static_cast<const char*>(base) + offset);
}

typedef Property<Array<Instance*>> Ref_Array;

// Nesting of references inside references that paths and renderings follow;
// real schemas need two or three.
const int MAX_DEPTH = 16;

// Integers in decimal; reals with the digits that read back the same value.
template <class T>
void append_number(String& out, T v) {
    char buf[48];
    if constexpr (std::is_same<T, float>::value)
        snprintf(buf, sizeof buf, "%.9g", double(v));
    else if constexpr (std::is_same<T, double>::value)
        snprintf(buf, sizeof buf, "%.17g", v);
    else if constexpr (std::numeric_limits<T>::is_signed)
        snprintf(buf, sizeof buf, "%" PRId64, int64_t(v));
    else
        snprintf(buf, sizeof buf, "%" PRIu64, uint64_t(v));
    out.append(buf);
}

// s in double quotes, with '"' and '\\' escaped by a backslash.
inline void append_quoted(String& out, const char* s) {
    out.append('"');
    for (; *s; s++) {
        if (*s == '"' || *s == '\\') out.append('\\');
        out.append(*s);
    }
    out.append('"');
}

}  // namespace detail
}  // namespace cimple
