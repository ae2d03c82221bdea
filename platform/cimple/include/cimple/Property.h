// A CIM property value with its null flag.
#pragma once

#include <cstdint>

namespace cimple {

// Standard layout: the generic instance code reaches `value` and `null`
// through the property's offset. A default-constructed property is null.
template <class T>
struct Property {
    T value;
    uint8_t null;

    Property() : value(), null(1) {}
    Property(const T& x) : value(x), null(0) {}  // NOLINT: implicit on purpose

    void set(const T& x) {
        value = x;
        null = 0;
    }
    // Null again, and the value back to its default so no stale data lingers.
    void clear() {
        value = T();
        null = 1;
    }
    bool is_null() const { return null != 0; }

    friend bool operator==(const Property& a, const Property& b) {
        return a.null == b.null && (a.null || a.value == b.value);
    }
    friend bool operator!=(const Property& a, const Property& b) { return !(a == b); }
};

}  // namespace cimple
