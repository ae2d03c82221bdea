// Collects the instances that a provider enumerates.
#pragma once

#include "cimple/Instance.h"

namespace cimple {

// A (callback, context) pair. The provider calls handle() once per instance;
// whoever dispatched the enumeration ends it with one call of proc() with no
// instance and the operation's status.
class Enum_Instances_Handler {
public:
    typedef bool (*Proc)(Instance* instance, int status, void* client_data);

    Enum_Instances_Handler(Proc proc, void* client_data) : _proc(proc), _client_data(client_data) {}

    // Passes one instance together with the caller's reference to it: the
    // callback owns it from here on. Returns what the callback returns.
    bool handle(Instance* instance) {
        if (!_proc) {
            unref(instance);
            return false;
        }
        return _proc(instance, 0, _client_data);
    }
    template <class T, class = Enable_If_Generated<T>>
    bool handle(T* instance) {
        return handle(reinterpret_cast<Instance*>(instance));
    }

    Proc proc() const { return _proc; }
    void* client_data() const { return _client_data; }

private:
    Proc _proc;
    void* _client_data;
};

}  // namespace cimple
