// A few hand-written class records, shaped like the generator's output, to
// exercise the generic instance code.
#pragma once

#include "cimple/cimple.h"

namespace cimple {

// Keys Name and Id; T_Derived is a subclass adding nothing.
#define T_BASE_FIELDS                                                     \
    Instance __base;                                                      \
    Property<String> Name;        /* key */                               \
    Property<uint32_t> Id;        /* key */                               \
    Property<bool> Flag;          /* default true */                      \
    Property<Array<String>> Tags; /* default {"a", "b"} */                \
    Property<Datetime> When;      /* default 20240102030405.000006+060 */ \
    Property<double> Ratio;                                               \
    Property<char16> Letter; /* default 'x' */
struct T_Base {
    T_BASE_FIELDS
    static const Meta_Class static_meta_class;
};

struct T_Derived {
    T_BASE_FIELDS
    static const Meta_Class static_meta_class;
};

// Association: keys Right and Left (declared in that order), plus a list.
struct T_Link {
    Instance __base;
    T_Base* Right;  // key
    T_Base* Left;   // key
    Property<Array<Instance*>> Members;
    Property<String> Note;
    static const Meta_Class static_meta_class;
};

struct T_Keyless {
    Instance __base;
    Property<String> Text;
    static const Meta_Class static_meta_class;
};

// What the generator's T::create() does.
template <class T>
T* make(bool defaults = false) {
    return reinterpret_cast<T*>(create(&T::static_meta_class, defaults));
}

// A T_Base with both keys set, and one reference.
inline T_Base* base(const char* name, uint32_t id) {
    T_Base* b = make<T_Base>();
    b->Name.set(name);
    b->Id.set(id);
    return b;
}

}  // namespace cimple
