#include "FakeAdapter.h"

#include <cimple/cmpi_adapter.h>

extern "C" int cimple_cmpi_adapter(int magic, void* block, const cimple::Registration* registration,
                                   const void* broker, const void* context, const char* providerName,
                                   int kind, void** result) {
    qms_test::adapterCalls.push_back(
        {magic, block, registration, broker, context, providerName, kind, result && *result == nullptr});
    if (result) *result = qms_test::adapterResult;
    return 0;
}

extern "C" void cimple_cmpi_factory_status(void* status, const void*, const char*, int, const void* mi) {
    if (qms_test::adapterCalls.empty()) return;
    qms_test::adapterCalls.back().status = status;
    qms_test::adapterCalls.back().reportedMi = mi;
}
