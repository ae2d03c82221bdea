// Instances of CIM classes and the generic operations on them.
//
// A generated instance struct starts with an Instance header and continues
// with one field per feature of its class (see Meta.h). Instances live on the
// heap, are created only through create()/clone()/model_path_to_instance(),
// and are reference counted: each of those hands one reference to the caller,
// unref() releases one and frees the instance at zero. An instance owns the
// instances its reference fields point to.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "cimple/Config.h"
#include "cimple/Meta.h"
#include "cimple/String.h"

namespace cimple {

// Written into every live header; cleared when the instance is destroyed.
static const uint32_t INSTANCE_MAGIC = 0x494E5354u;

struct Instance {
    const Meta_Class* meta_class;
    uint32_t magic;
    std::atomic<uint32_t> refs;
    String __name_space;  // where the instance came from; may stay empty
};

// A new instance of `meta_class` with one reference: every property null and
// every reference null; with `defaults`, each property whose class declares a
// default holds that default (non-null). Null meta_class gives null.
Instance* create(const Meta_Class* meta_class, bool defaults = false);

// Deep copy (referenced instances are cloned too) with one new reference.
// Null gives null.
Instance* clone(const Instance* instance);

// Counting. Both accept null and do nothing with it; unref frees at zero.
void ref(const Instance* instance);
void unref(const Instance* instance);

// Frees at once, whatever the count; for an instance known to be unshared.
void destroy(Instance* instance);

// True when both are instances of classes with the same name (compared
// case-insensitively, so copies made from different repositories still
// match) and every key feature agrees: same null-ness, equal values; a key
// reference matches when both are null or key_eq holds for the referenced
// instances. Strings compare exactly. A class without keys matches any
// instance of the same class. Null arguments are never equal.
bool key_eq(const Instance* a, const Instance* b);

// Object path of the instance's keys, for example
//   CIM_Thing.Name="a \"b\"",Number=42,Ok=TRUE
// Keys appear sorted by name case-insensitively, whatever their declaration
// order. Strings, datetimes and char16 are quoted with '\' and '"' escaped by a
// backslash; integers are decimal; booleans TRUE/FALSE; reals use enough digits
// to read back the same value; a key reference is written as the referenced
// instance's own path, quoted and escaped. Returns 0 and sets `path`, or -1
// leaving `path` untouched when the class has no keys, or a key (or a key
// reference, or a key of a referenced instance) is null.
int instance_to_model_path(const Instance* instance, String& path);

// Reads a path written by instance_to_model_path (key order free, class and
// key names case-insensitive, whitespace not allowed) and returns a new
// instance holding only the keys, with one reference. Null for malformed
// text, an unknown class or key, a value of the wrong type or out of range,
// a repeated or missing key. Never trusts the text: any byte string is safe.
Instance* model_path_to_instance(const Meta_Repository* repository, const char* path);
// As above, but the class named must be `meta_class` or a subclass of it;
// nested references are looked up in meta_class's repository.
Instance* model_path_to_instance(const Meta_Class* meta_class, const char* path);

// Address of a feature's field inside the instance: a Property<T> for a
// property, an Instance* (scalar) or Property<Array<Instance*>> (array) for
// a reference. Null when the feature is a method or belongs to no such field.
// The caller is expected to pass a feature of the instance's own class.
void* field_of(Instance* instance, const Meta_Feature* feature);
const void* field_of(const Instance* instance, const Meta_Feature* feature);

// True when the feature's field is null (a null property or a null reference).
bool is_null(const Instance* instance, const Meta_Feature* feature);

// Readable rendering for traces and demos:
//   QMS_Thing
//   {
//       Name = "x";
//       Count = NULL;
//       Tags = {"a", "b"};
//       Owner = CIM_Owner { ... };
//   }
String to_text(const Instance* instance);
void print(const Instance* instance, FILE* stream = stdout);

// Typed forms for generated structs (anything with a static_meta_class).
template <class T>
using Enable_If_Generated =
    typename std::enable_if<std::is_same<decltype(T::static_meta_class), const Meta_Class>::value>::type;

template <class T, class = Enable_If_Generated<T>>
inline T* clone(const T* instance) {
    return reinterpret_cast<T*>(clone(reinterpret_cast<const Instance*>(instance)));
}
template <class T, class = Enable_If_Generated<T>>
inline void ref(const T* instance) {
    ref(reinterpret_cast<const Instance*>(instance));
}
template <class T, class = Enable_If_Generated<T>>
inline void unref(const T* instance) {
    unref(reinterpret_cast<const Instance*>(instance));
}
template <class T, class = Enable_If_Generated<T>>
inline void destroy(T* instance) {
    destroy(reinterpret_cast<Instance*>(instance));
}
template <class A, class B, class = Enable_If_Generated<A>, class = Enable_If_Generated<B>>
inline bool key_eq(const A* a, const B* b) {
    return key_eq(reinterpret_cast<const Instance*>(a), reinterpret_cast<const Instance*>(b));
}
template <class T, class = Enable_If_Generated<T>>
inline int instance_to_model_path(const T* instance, String& path) {
    return instance_to_model_path(reinterpret_cast<const Instance*>(instance), path);
}
template <class T, class = Enable_If_Generated<T>>
inline String to_text(const T* instance) {
    return to_text(reinterpret_cast<const Instance*>(instance));
}
template <class T, class = Enable_If_Generated<T>>
inline void print(const T* instance, FILE* stream = stdout) {
    print(reinterpret_cast<const Instance*>(instance), stream);
}

// The instance as a T when its class is T's class or a subclass, else null.
// Takes no reference.
template <class T, class = Enable_If_Generated<T>>
inline T* cast(Instance* instance) {
    if (!instance || !is_subclass(&T::static_meta_class, instance->meta_class)) return nullptr;
    return reinterpret_cast<T*>(instance);
}
template <class T, class = Enable_If_Generated<T>>
inline const T* cast(const Instance* instance) {
    if (!instance || !is_subclass(&T::static_meta_class, instance->meta_class)) return nullptr;
    return reinterpret_cast<const T*>(instance);
}

}  // namespace cimple
