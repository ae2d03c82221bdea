// An in-memory CIMOM for tests and demos.
#pragma once

#include <cstddef>

#include "cimple/Config.h"
#include "cimple/cimom.h"

namespace cimple {

// Keeps instances per namespace, always as its own clones. Thread-safe.
// - create fails when the namespace already holds an instance of the same
//   class with equal keys;
// - delete removes the instance of the same class with equal keys, and fails
//   when there is none;
// - enumeration gives clones of every instance whose class is the model's
//   class or one of its subclasses, in creation order;
// - key references must name instances of the same namespace: creating an
//   instance (a subscription, say) whose key reference is null or names
//   nothing there fails, and so does deleting an instance that another one
//   still names by a key reference;
// - refuse(ns, true) makes every call on that namespace fail until lifted;
// - fail_call(kind, n) makes the n-th call of that kind from now fail once,
//   whatever its namespace, to stop a multi-step client halfway.
class Memory_Cimom : public cimom::Cimom_Binding {
public:
    enum Call { ENUMERATE, CREATE, DELETE };

    Memory_Cimom();
    ~Memory_Cimom() override;
    Memory_Cimom(const Memory_Cimom&) = delete;
    Memory_Cimom& operator=(const Memory_Cimom&) = delete;

    int enum_instances(const char* name_space, const Instance* model, cimom::Instance_Enumerator& e) override;
    int create_instance(const char* name_space, const Instance* instance) override;
    int delete_instance(const char* name_space, const Instance* instance) override;
    void allow_unload(bool flag) override;

    void refuse(const char* name_space, bool refuse);
    // n = 1 fails the next call of that kind; 0 cancels a pending failure.
    void fail_call(Call kind, size_t n);
    // Calls of that kind made so far, failed ones included.
    size_t calls(Call kind) const;

    // Instances held in a namespace (all classes).
    size_t count(const char* name_space) const;
    // Those of meta_class or one of its subclasses.
    size_t count(const char* name_space, const Meta_Class* meta_class) const;
    // Drops every instance of every namespace (refusals and counts stay).
    void clear();

    // How often allow_unload was called, and with what last (true before any).
    size_t allow_unload_calls() const;
    bool last_allow_unload() const;

private:
    struct Rep;
    Rep* _rep;
};

}  // namespace cimple
