// Helpers for driving the module the way the framework does: through the
// registration chain and the numbered operations.
#pragma once

#include <cimple/cimple.h>

#include <string>
#include <vector>

#include "schema/Classes.h"

extern "C" cimple::Registration* cimple_module();

namespace qms_test {

inline constexpr char kLogEntry[] = "QMS_VRXLogEntryArrived_Provider";
inline constexpr char kService[] = "QMS_VRXIndicationRegistrationService_Provider";
inline constexpr char kHosted[] = "QMS_VRXHostedIndicationRegistrationService_Provider";

inline const cimple::Registration* registrationOf(const char* providerName) {
    for (const cimple::Registration* r = cimple_module(); r; r = r->next)
        if (strcmp(r->provider_name, providerName) == 0) return r;
    return nullptr;
}

// Calls one operation of a provider's dispatch procedure.
inline int call(const cimple::Registration* r, int op, void* a0 = nullptr, void* a1 = nullptr,
                void* a2 = nullptr, void* a3 = nullptr, void* a4 = nullptr, void* a5 = nullptr,
                void* a6 = nullptr) {
    return r->provider_proc(r, op, a0, a1, a2, a3, a4, a5, a6, nullptr);
}

// A provider object made and destroyed through the dispatch procedure.
class ProviderObject {
public:
    explicit ProviderObject(const char* providerName) : registration_(registrationOf(providerName)) {
        qms_test::call(registration_, cimple::OPERATION_CREATE_PROVIDER, &object_);
    }
    ~ProviderObject() { qms_test::call(registration_, cimple::OPERATION_DESTROY_PROVIDER, object_); }
    ProviderObject(const ProviderObject&) = delete;
    ProviderObject& operator=(const ProviderObject&) = delete;

    const cimple::Registration* registration() const { return registration_; }
    int call(int op, void* a1 = nullptr, void* a2 = nullptr, void* a3 = nullptr, void* a4 = nullptr,
             void* a5 = nullptr, void* a6 = nullptr) const {
        return qms_test::call(registration_, op, object_, a1, a2, a3, a4, a5, a6);
    }

private:
    const cimple::Registration* registration_;
    void* object_ = nullptr;
};

// Records the calls an enumeration handler receives: "instance" for each
// instance, "end STATUS" for the closing call.
struct EnumRecorder {
    std::vector<std::string> calls;

    static bool proc(cimple::Instance* instance, int status, void* data) {
        static_cast<EnumRecorder*>(data)->calls.push_back(instance ? "instance"
                                                                   : "end " + std::to_string(status));
        cimple::unref(instance);
        return true;
    }
    void* procArg() const { return reinterpret_cast<void*>(&EnumRecorder::proc); }
};

}  // namespace qms_test
