#include "FakeAdapter.h"

#include <cimple/cmpi_adapter.h>

namespace qms_test {

static void* nextResult = nullptr;

std::vector<AdapterCall>& adapterCalls() {
    static std::vector<AdapterCall> calls;
    return calls;
}

void setAdapterResult(void* result) { nextResult = result; }

}  // namespace qms_test

extern "C" int cimple_cmpi_adapter(int magic, void* block, const cimple::Registration* registration,
                                   const void* broker, const void* context, const char* providerName,
                                   int kind, void** result) {
    qms_test::adapterCalls().push_back(
        {magic, block, registration, broker, context, providerName, kind, result && *result == nullptr});
    if (result) *result = qms_test::nextResult;
    return 0;
}

extern "C" void cimple_cmpi_factory_status(void* status, const void*, const char*, int, const void* mi) {
    if (qms_test::adapterCalls().empty()) return;
    qms_test::adapterCalls().back().status = status;
    qms_test::adapterCalls().back().reportedMi = mi;
}
