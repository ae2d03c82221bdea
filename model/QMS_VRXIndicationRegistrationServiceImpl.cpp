// Access to the model. The model itself is built from the agent's identity
// (cabinet number, chassis serial number), so it arrives with the agent link;
// until then getModel() stops where the agent facade is missing and every
// provider operation answers with its failure status.
#include <cimple/Mutex.h>

#include "model/IndicationModel.h"
#include "support/InitOrder.h"
#include "support/provider_utils.h"
#include "tolm/TOLMIndication.h"

namespace provider {
namespace {

// The model's data lock (recursive: provider operations re-enter the model)
// and the lock that serialises its creation; both exist from library load.
cimple::Mutex modelMutex QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_MODEL_LOCKS){true};
cimple::Mutex creationMutex QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_MODEL_LOCKS){false};

[[noreturn]] void getModel() {
    cimple::Auto_Mutex lock(creationMutex);
    // The user check runs on every access, also once the model exists.
    getTOLMIndication().accountCheck();
    traceAndThrow(BaseException(__FILE__, __LINE__, "getModel(): no model without the agent link"));
}

}  // namespace

QMS_VRXIndicationRegistrationServiceModel& getQMS_VRXIndicationRegistrationServiceModel() { getModel(); }
QMS_VRXHostedIndicationRegistrationServiceModel& getQMS_VRXHostedIndicationRegistrationServiceModel() { getModel(); }
QMS_VRXLogEntryArrivedIndicationModel& getQMS_VRXLogEntryArrivedIndicationModel() { getModel(); }

bool initQMS_VRXIndicationProvider(bool load) { return initTOLMIndication(load); }

}  // namespace provider
