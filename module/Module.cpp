// The module's face towards the CIMOM: the registration chain that
// cimple_module() hands out, the dispatch procedures, and the CMPI factory
// functions, which pass each provider's registration to the adapter. The
// per-provider pieces are generated from the provider list
// (deploy/VRXIndication.providers), the one place a provider is named, and
// the method tables from the classes' MOF.
#include <cimple/cimple.h>
#include <cimple/cmpi_adapter.h>

#include <cstddef>
#include <vector>

#include "module/Dispatch.h"
#include "module/Providers.h"
#include "support/InitOrder.h"

#define QMS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char kModuleName[] = "QMS_VRXIndication_Module";

// Null until the generated records link themselves in, the last one
// constructed becoming the head.
cimple::Registration* moduleHead = nullptr;

const int kAdapterMagic = 0x43;

// `status` is the factory's CMPIStatus*: the CIMOM reads it beside the table.
void* createMI(char* block, const cimple::Registration& registration, const void* broker, const void* context,
               void* status, char kind) {
    void* result = nullptr;
    cimple_cmpi_adapter(kAdapterMagic, block, &registration, broker, context, registration.provider_name,
                        kind, &result);
    cimple_cmpi_factory_status(status, broker, registration.provider_name, kind, result);
    return result;
}

}  // namespace

#include "module/ModuleTable.inc"

QMS_EXPORT cimple::Registration* cimple_module() { return moduleHead; }
