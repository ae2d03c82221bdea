// One provider's adapter state, kept in the 2048-byte block the module owns
// for that provider, and the one boundary through which every MI call runs.
#pragma once

#include <cimple/Registration.h>
#include <cmpi/cmpift.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "Binding.h"
#include "Convert.h"

namespace cimple {
namespace cmpi_adapter {

enum Kind { KIND_INSTANCE, KIND_METHOD, KIND_ASSOCIATION, KIND_INDICATION, KIND_COUNT };

struct State {
    static constexpr uint64_t MAGIC = 0x4d49415441445041ull;  // first 8 bytes of a live block

    State(const Registration* registration, const CMPIBroker* broker, const char* provider_name);

    uint64_t magic;
    const Registration* registration;
    const CMPIBroker* broker;
    const char* provider_name;

    CMPIInstanceMIFT instance_ft;
    CMPIMethodMIFT method_ft;
    CMPIAssociationMIFT association_ft;
    CMPIIndicationMIFT indication_ft;
    CMPIInstanceMI instance_mi;
    CMPIMethodMI method_mi;
    CMPIAssociationMI association_mi;
    CMPIIndicationMI indication_mi;

    // Creation, load, unload and destruction of the provider object and the
    // enabling and disabling of its indications. Recursive: enabling loads.
    std::recursive_mutex lifecycle;
    void* provider;
    bool loaded;
    // The namespace the CIMOM started the provider for (its first factory
    // context's CMPIInitNameSpace; empty when it named none): the namespace
    // of a request whose path names none, and of indications until a filter
    // activation names theirs. Written once, before the first MI leaves.
    std::string init_name_space;
    unsigned handed_out[KIND_COUNT];  // factory calls not yet cleaned up
    unsigned activations;
    bool enabled;

    // The delivery session; held only briefly, never around a call out.
    std::mutex session_mutex;
    uint64_t session;                     // 0: no session
    const CMPIContext* delivery_context;  // prepared at enable time
    bool claimed;                         // a thread attached with it
    std::thread::id delivery_thread;
    std::string indication_name_space;

    int call(int operation, void* a0 = nullptr, void* a1 = nullptr, void* a2 = nullptr, void* a3 = nullptr,
             void* a4 = nullptr, void* a5 = nullptr, void* a6 = nullptr) const {
        return registration->provider_proc(registration, operation, a0, a1, a2, a3, a4, a5, a6, nullptr);
    }
    // The provider, created and loaded on first need; throws on failure.
    void* loaded_provider();
    // Unloads and destroys the provider (disabling indications first).
    void release_provider();
    // Fails with the CMPI code of a framework status unless it is 0.
    void check(int status, const char* what) const;
    CMPIStatus status(CMPIrc rc, const std::string& message) const;
};

static_assert(sizeof(State) <= 2048, "the module gives each provider 2048 bytes of adapter state");
static_assert(alignof(State) <= alignof(std::max_align_t), "the module's blocks are aligned for any object");

// CMPI code for a framework status.
CMPIrc cmpi_rc(int status);

// Runs one MI call: checks the handle and context, records the context for
// the thread, and turns every failure into a status with a message. `body`
// gets the state and returns the CMPI code of a call that did not fail.
template <class MI, class Body>
CMPIStatus boundary(const MI* mi, const CMPIContext* ctx, const char* operation, Body&& body) {
    State* s = mi && mi->hdl ? static_cast<State*>(const_cast<void*>(mi->hdl)) : nullptr;
    if (!s || s->magic != State::MAGIC) {
        const CMPIBroker* b = remembered_broker();
        std::string text = std::string(operation) + "(): invalid MI handle";
        return {CMPI_RC_ERR_INVALID_HANDLE, b ? b->eft->newString(b, text.c_str(), nullptr) : nullptr};
    }
    std::string where = std::string(s->provider_name) + "::" + operation + "(): ";
    if (!ctx) return s->status(CMPI_RC_ERR_INVALID_PARAMETER, where + "missing context");
    Call_Scope scope(s->broker, ctx);
    try {
        return {CMPIrc(body(*s)), nullptr};
    } catch (const Failure& f) {
        return s->status(f.rc, where + f.message);
    } catch (const std::exception& e) {
        return s->status(CMPI_RC_ERR_FAILED, where + e.what());
    } catch (...) {
        return s->status(CMPI_RC_ERR_FAILED, where + "unexpected exception");
    }
}

// Refuses a missing argument of an MI call.
inline void need(const void* argument, const char* name) {
    if (!argument) fail(CMPI_RC_ERR_INVALID_PARAMETER, std::string("missing ") + name);
}

// The function tables, one per kind; miName is the provider's name.
CMPIInstanceMIFT instance_table(const char* name);
CMPIMethodMIFT method_table(const char* name);
CMPIAssociationMIFT association_table(const char* name);
CMPIIndicationMIFT indication_table(const char* name);

// cleanup() of every kind: each handed-out MI is cleaned up once, and the
// last one takes the provider with it. While a provider keeps the module
// loaded (indications enabled) only a terminating CIMOM gets that far.
template <class MI>
CMPIStatus cleanup(MI* mi, const CMPIContext* ctx, CMPIBoolean terminating, Kind kind) {
    return boundary(mi, ctx, "cleanup", [&](State& s) {
        std::lock_guard<std::recursive_mutex> lock(s.lifecycle);
        if (!terminating && !unload_allowed()) return CMPI_RC_DO_NOT_UNLOAD;
        if (s.handed_out[kind] == 0) return CMPI_RC_OK;
        s.handed_out[kind]--;
        for (unsigned n : s.handed_out)
            if (n) return CMPI_RC_OK;
        s.release_provider();
        return CMPI_RC_OK;
    });
}
// Disables indications if enabled; the lifecycle lock is held.
void disable_indications(State& s);

// Namespace of a path, or `fallback` when it has none.
std::string name_space_of(const CMPIObjectPath* op, const char* fallback);

}  // namespace cmpi_adapter
}  // namespace cimple
