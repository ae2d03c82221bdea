#include "module/ProviderLifecycle.h"

#include <cimple/Provider_Ops.h>

#include "model/IndicationModel.h"
#include "support/provider_trace.h"

namespace cimple {

void traceConstruction(const char* provider) { provider::trace(5, "%s::%s()", provider, provider); }

void traceDestruction(const char* provider) { provider::trace(5, "%s::~%s()", provider, provider); }

int loadProvider(const char* provider) {
    provider::trace(5, "%s::load()", provider);
    return provider::initQMS_VRXIndicationProvider(true) ? LOAD_OK : LOAD_FAILED;
}

int unloadProvider(const char* provider) {
    provider::trace(5, "%s::unload()", provider);
    return provider::initQMS_VRXIndicationProvider(false) ? UNLOAD_OK : UNLOAD_FAILED;
}

}  // namespace cimple
