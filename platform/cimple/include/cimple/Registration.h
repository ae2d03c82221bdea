// How a provider module announces its providers to the CIMOM adapter.
#pragma once

#include "cimple/Meta.h"

namespace cimple {

struct Registration;

// One entry point per provider. `operation` is one of the Provider_Ops.h
// codes; a0..a7 are that operation's arguments (unused ones are null). Returns
// 0, an operation status code, or -1 when the provider does not handle the
// operation.
typedef int (*Provider_Proc)(const struct Registration* registration, int operation, void* arg0, void* arg1,
                             void* arg2, void* arg3, void* arg4, void* arg5, void* arg6, void* arg7);

// A static record per provider. Constructing one pushes it on the front of
// the chain whose head is `head`; the module's cimple_module() returns that
// head. Field order is part of the module interface.
struct Registration {
    const char* module_name;
    const char* provider_name;
    Provider_Proc provider_proc;
    const Meta_Class* meta_class;
    Registration* next;

    Registration(const char* module, const char* provider, Provider_Proc proc, const Meta_Class* meta_class_,
                 Registration*& head)
        : module_name(module),
          provider_name(provider),
          provider_proc(proc),
          meta_class(meta_class_),
          next(head) {
        head = this;
    }
};

}  // namespace cimple
