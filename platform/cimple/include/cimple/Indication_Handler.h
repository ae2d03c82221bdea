// The CIMOM's side of indication delivery, as a provider sees it.
#pragma once

#include "cimple/Instance.h"

namespace cimple {

// A (callback, context) pair that delivers indications of class T. The CIMOM
// adapter allocates it when indications are enabled and hands ownership to
// the provider; destroying it tells the adapter, through one last call with no
// instance, that the provider will deliver no more.
template <class T>
class Indication_Handler {
public:
    typedef bool (*Proc)(Instance* instance, void* client_data);

    Indication_Handler(Proc proc, void* client_data) : _proc(proc), _client_data(client_data) {}
    ~Indication_Handler() {
        if (_proc) _proc(nullptr, _client_data);
    }
    Indication_Handler(const Indication_Handler&) = delete;
    Indication_Handler& operator=(const Indication_Handler&) = delete;

    // Delivers one indication. The caller keeps its reference; the callback
    // copies what it needs.
    bool handle(T* instance) { return _proc && _proc(reinterpret_cast<Instance*>(instance), _client_data); }

    Proc proc() const { return _proc; }
    void* client_data() const { return _client_data; }

private:
    Proc _proc;
    void* _client_data;
};

}  // namespace cimple
