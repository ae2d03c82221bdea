#include "model/HelperComputerSystem.h"

#include "support/provider_utils.h"

namespace provider {

TOLMKey createCSKey(TOLMCalls& tolm) {
    TOLMKey key;
    key.cabNr = tolm.getIdentificationCabinetNumber();
    return key;
}

cimple::Ref<cimple::QMS_VRXComputerSystem> createComputerSystemKeys(TOLMCalls& tolm) {
    const TOLMKey key = createCSKey(tolm);
    cimple::Ref<cimple::QMS_VRXComputerSystem> system(cimple::QMS_VRXComputerSystem::create(true));
    system->Name = tolm.getChassisSerialNumber(key);
    if (system->Name.is_null()) {
        // Without the serial number no instance could name this server, so
        // the model cannot be made at all.
        system.reset();
        traceAndThrow(BaseException("HelperComputerSystem", __LINE__,
                                    "createComputerSystemKeys(): QMS_VRXComputerSystem.Name is NULL"));
    }
    system->CreationClassName.set("QMS_VRXComputerSystem");
    return system;
}

}  // namespace provider
