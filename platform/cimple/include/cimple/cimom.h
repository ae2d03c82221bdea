// Calls from a provider back into the CIMOM.
//
// The calls go to whatever Cimom_Binding is installed: the CMPI adapter binds
// the broker, tests bind a Memory_Cimom. With nothing bound every call fails
// (-1) and allow_unload does nothing.
#pragma once

#include <cstddef>

#include "cimple/Array.h"
#include "cimple/Config.h"
#include "cimple/Instance.h"
#include "cimple/Ref.h"

namespace cimple {
namespace cimom {

// The result of an enumeration, walked like this:
//   for (; e; e++) { Ref<Instance> x = e(); ... }
class Instance_Enumerator {
public:
    Instance_Enumerator();
    ~Instance_Enumerator();
    Instance_Enumerator(const Instance_Enumerator&) = delete;
    Instance_Enumerator& operator=(const Instance_Enumerator&) = delete;

    // True while there is a current instance.
    explicit operator bool() const { return _pos < _items.size(); }
    // The current instance (a new reference), or an empty Ref past the end.
    Ref<Instance> operator()() const;
    // Moves to the next instance.
    void operator++(int);

    // For bindings: adopts one reference to `instance` (null is ignored).
    void append(Instance* instance);
    // Drops everything and starts over.
    void clear();

private:
    Array<Instance*> _items;
    size_t _pos;
};

// What a CIMOM connection must offer. Implementations must be safe to call
// from several threads at once. None of them keeps the caller's pointers.
class Cimom_Binding {
public:
    virtual ~Cimom_Binding();
    // Appends to `e` the instances in `name_space` of model's class and its
    // subclasses. 0 or a failure code.
    virtual int enum_instances(const char* name_space, const Instance* model, Instance_Enumerator& e) = 0;
    virtual int create_instance(const char* name_space, const Instance* instance) = 0;
    // Deletes the instance whose keys equal those of `instance`.
    virtual int delete_instance(const char* name_space, const Instance* instance) = 0;
    virtual void allow_unload(bool flag) = 0;
};

// Installs `binding` (null unbinds). The binding is not owned and must
// outlive its use; install before starting threads that make calls.
void set_cimom_binding(Cimom_Binding* binding);
Cimom_Binding* cimom_binding();

// 0 on success. `e` is cleared first.
int enum_instances(const char* name_space, const Instance* model, Instance_Enumerator& e);
int create_instance(const char* name_space, const Instance* instance);
int delete_instance(const char* name_space, const Instance* instance);
// false keeps the provider module loaded (while indications are enabled);
// true lifts that.
void allow_unload(bool flag);

template <class T, class = Enable_If_Generated<T>>
inline int enum_instances(const char* name_space, const T* model, Instance_Enumerator& e) {
    return enum_instances(name_space, reinterpret_cast<const Instance*>(model), e);
}
template <class T, class = Enable_If_Generated<T>>
inline int create_instance(const char* name_space, const T* instance) {
    return create_instance(name_space, reinterpret_cast<const Instance*>(instance));
}
template <class T, class = Enable_If_Generated<T>>
inline int delete_instance(const char* name_space, const T* instance) {
    return delete_instance(name_space, reinterpret_cast<const Instance*>(instance));
}

}  // namespace cimom
}  // namespace cimple
