// libcimplecmpiadap: the CMPI face of a provider registration. The factory
// hands out one MI table per kind, all sharing the provider's state block;
// the provider object lives from the first call that needs it until the last
// handed-out MI is cleaned up.
#include <cimple/Provider_Ops.h>
#include <cimple/cmpi_adapter.h>

#include <cstring>
#include <new>

#include "State.h"

namespace cimple {
namespace cmpi_adapter {

State::State(const Registration* registration_, const CMPIBroker* broker_, const char* provider_name_)
    : magic(MAGIC),
      registration(registration_),
      broker(broker_),
      provider_name(provider_name_),
      instance_ft(instance_table(provider_name_)),
      method_ft(method_table(provider_name_)),
      association_ft(association_table(provider_name_)),
      indication_ft(indication_table(provider_name_)),
      instance_mi{this, &instance_ft},
      method_mi{this, &method_ft},
      association_mi{this, &association_ft},
      indication_mi{this, &indication_ft},
      provider(nullptr),
      loaded(false),
      handed_out{},
      activations(0),
      enabled(false),
      session(0),
      delivery_context(nullptr),
      claimed(false) {}

void* State::loaded_provider() {
    std::lock_guard<std::recursive_mutex> lock(lifecycle);
    if (!provider) {
        void* created = nullptr;
        int status = call(OPERATION_CREATE_PROVIDER, &created);
        if (status != 0 || !created)
            fail(CMPI_RC_ERR_FAILED,
                 "cannot create the provider (framework status " + std::to_string(status) + ")");
        provider = created;
    }
    if (!loaded) {
        int status = call(OPERATION_LOAD, provider);
        if (status != 0) {
            // Start over from a fresh object on the next call.
            call(OPERATION_DESTROY_PROVIDER, provider);
            provider = nullptr;
            fail(CMPI_RC_ERR_FAILED, "load failed (framework status " + std::to_string(status) + ")");
        }
        loaded = true;
    }
    return provider;
}

void State::release_provider() {
    std::lock_guard<std::recursive_mutex> lock(lifecycle);
    disable_indications(*this);
    activations = 0;
    if (!provider) return;
    if (loaded) {
        int status = call(OPERATION_UNLOAD, provider);
        if (status != 0)
            trace(broker, "%s::cleanup(): unload gave framework status %d", provider_name, status);
    }
    call(OPERATION_DESTROY_PROVIDER, provider);
    provider = nullptr;
    loaded = false;
}

CMPIrc cmpi_rc(int status) {
    switch (status) {
        case STATUS_OK:
            return CMPI_RC_OK;
        case GET_INSTANCE_NOT_FOUND:
        case DELETE_INSTANCE_NOT_FOUND:
        case MODIFY_INSTANCE_NOT_FOUND:
            return CMPI_RC_ERR_NOT_FOUND;
        case -1:
        case GET_INSTANCE_UNSUPPORTED:
        case CREATE_INSTANCE_UNSUPPORTED:
        case DELETE_INSTANCE_UNSUPPORTED:
        case MODIFY_INSTANCE_UNSUPPORTED:
        case ENUM_ASSOCIATOR_NAMES_UNSUPPORTED:
        case ENUM_REFERENCES_UNSUPPORTED:
        case INVOKE_METHOD_UNSUPPORTED:
        case ENUM_ASSOCIATORS_UNSUPPORTED:
            return CMPI_RC_ERR_NOT_SUPPORTED;
        case GET_INSTANCE_INVALID_PARAMETER:
        case MODIFY_INSTANCE_INVALID_PARAMETER:
            return CMPI_RC_ERR_INVALID_PARAMETER;
        case GET_INSTANCE_ACCESS_DENIED:
        case ENUM_INSTANCES_ACCESS_DENIED:
        case DELETE_INSTANCE_ACCESS_DENIED:
        case MODIFY_INSTANCE_ACCESS_DENIED:
        case INVOKE_METHOD_ACCESS_DENIED:
            return CMPI_RC_ERR_ACCESS_DENIED;
        default:
            return CMPI_RC_ERR_FAILED;
    }
}

void State::check(int status, const char* what) const {
    if (status != 0)
        fail(cmpi_rc(status),
             std::string(what) + " failed (framework status " + std::to_string(status) + ")");
}

CMPIStatus State::status(CMPIrc rc, const std::string& message) const {
    CMPIString* msg =
        broker && broker->eft ? broker->eft->newString(broker, message.c_str(), nullptr) : nullptr;
    return {rc, msg};
}

std::string name_space_of(const CMPIObjectPath* op, const char* fallback) {
    if (!op || !op->ft) return fallback;
    CMPIString* ns = op->ft->getNameSpace(op, nullptr);
    std::string text = chars(ns);
    return text.empty() ? fallback : text;
}

namespace {

int kind_of(int letter) {
    switch (letter) {
        case 'I':
            return KIND_INSTANCE;
        case 'M':
            return KIND_METHOD;
        case 'A':
            return KIND_ASSOCIATION;
        case 'N':
            return KIND_INDICATION;
    }
    return -1;
}

std::string init_name_space_of(const CMPIContext* ctx) {
    if (!ctx->ft || !ctx->ft->getEntry) return std::string();
    CMPIStatus rc{CMPI_RC_OK, nullptr};
    CMPIData entry = ctx->ft->getEntry(ctx, CMPIInitNameSpace, &rc);
    if (rc.rc != CMPI_RC_OK || entry.type != CMPI_string || (entry.state & CMPI_nullValue))
        return std::string();
    return chars(entry.value.string);
}

// Constant-initialised with a trivial destructor: usable from the first
// factory call to the last CIMOM thread of an exiting process, and it goes
// with the module's memory when the CIMOM unloads it.
std::mutex creation_mutex;

}  // namespace
}  // namespace cmpi_adapter
}  // namespace cimple

extern "C" int cimple_cmpi_adapter(int magic, void* static_block, const cimple::Registration* registration,
                                   const void* broker, const void* context, const char* provider_name,
                                   int kind, void** result) {
    using namespace cimple::cmpi_adapter;
    if (result) *result = nullptr;
    int k = kind_of(kind);
    if (magic != 0x43 || !static_block || !registration || !broker || !context || !provider_name || !result ||
        k < 0 || !registration->provider_proc || !registration->meta_class)
        return -1;
    if (reinterpret_cast<uintptr_t>(static_block) % alignof(State) != 0) return -1;
    try {
        std::lock_guard<std::mutex> creation(creation_mutex);
        const CMPIBroker* b = static_cast<const CMPIBroker*>(broker);
        State* s = static_cast<State*>(static_block);
        uint64_t mark = 0;
        memcpy(&mark, static_block, sizeof mark);
        if (mark != State::MAGIC) {
            s = new (static_block) State(registration, b, provider_name);
            s->init_name_space = init_name_space_of(static_cast<const CMPIContext*>(context));
            s->indication_name_space = s->init_name_space;
        } else if (s->registration != registration)
            return -1;
        remember_broker(b);
        install_binding();

        std::lock_guard<std::recursive_mutex> lock(s->lifecycle);
        s->handed_out[k]++;
        void* mis[KIND_COUNT] = {&s->instance_mi, &s->method_mi, &s->association_mi, &s->indication_mi};
        *result = mis[k];
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" void cimple_cmpi_factory_status(void* status, const void* broker, const char* provider_name,
                                           int kind, const void* mi) {
    using namespace cimple::cmpi_adapter;
    CMPIStatus* st = static_cast<CMPIStatus*>(status);
    if (!st) return;
    if (mi) {
        *st = {CMPI_RC_OK, nullptr};
        return;
    }
    const CMPIBroker* b = static_cast<const CMPIBroker*>(broker);
    static const char* const kinds[KIND_COUNT] = {"instance", "method", "association", "indication"};
    int k = kind_of(kind);
    std::string text = std::string(provider_name ? provider_name : "?") + ": the " +
                       (k < 0 ? "requested" : kinds[k]) + " interface could not be made";
    *st = {CMPI_RC_ERR_FAILED, b && b->eft ? b->eft->newString(b, text.c_str(), nullptr) : nullptr};
}
