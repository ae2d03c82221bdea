// Internal: typed access to the fields of generated instance structs.
#pragma once

#include <cstdint>

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

}  // namespace detail
}  // namespace cimple
