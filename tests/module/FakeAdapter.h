// A stand-in for the CMPI adapter that records every call, so tests can see
// exactly what the module's factory functions pass on.
#pragma once

#include <cimple/Registration.h>

#include <vector>

namespace qms_test {

struct AdapterCall {
    int magic;
    void* block;
    const cimple::Registration* registration;
    const void* broker;
    const void* context;
    const char* providerName;
    int kind;
    bool resultWasNull;
    // What the factory then asked the adapter to report to the CIMOM.
    void* status = nullptr;
    const void* reportedMi = nullptr;
};

inline std::vector<AdapterCall> adapterCalls;
// What the next calls store through their result pointer.
inline void* adapterResult = nullptr;

}  // namespace qms_test
