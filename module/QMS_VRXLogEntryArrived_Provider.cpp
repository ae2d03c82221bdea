#include <memory>

#include "model/IndicationModel.h"
#include "module/ProviderLifecycle.h"
#include "module/Providers.h"
#include "support/Boundary.h"
#include "support/provider_trace.h"

namespace cimple {

static const char kProvider[] = "QMS_VRXLogEntryArrived_Provider";

QMS_VRXLogEntryArrived_Provider::QMS_VRXLogEntryArrived_Provider() { traceConstruction(kProvider); }

QMS_VRXLogEntryArrived_Provider::~QMS_VRXLogEntryArrived_Provider() { traceDestruction(kProvider); }

int QMS_VRXLogEntryArrived_Provider::load() { return loadProvider(kProvider); }

int QMS_VRXLogEntryArrived_Provider::unload() { return unloadProvider(kProvider); }

int QMS_VRXLogEntryArrived_Provider::enable_indications(Indication_Handler<QMS_VRXLogEntryArrived>* handler) {
    provider::trace(5, "QMS_VRXLogEntryArrived_Provider::enable_indications()");
    // Until the model takes the handler it is ours: if the model cannot be
    // reached the handler is released here (its callback sees the final call),
    // so the CIMOM's context is never leaked.
    std::unique_ptr<Indication_Handler<QMS_VRXLogEntryArrived>> owned(handler);
    return provider::runAtBoundary(kProvider, "enable_indications", provider::toEnableIndicationsStatus,
                                   ENABLE_INDICATIONS_FAILED, [&] {
                                       auto& model = provider::getQMS_VRXLogEntryArrivedIndicationModel();
                                       Auto_Mutex lock(model.recursiveMutex());
                                       model.enableIndications(owned.release());
                                       return ENABLE_INDICATIONS_OK;
                                   });
}

int QMS_VRXLogEntryArrived_Provider::disable_indications() {
    provider::trace(5, "QMS_VRXLogEntryArrived_Provider::disable_indications()");
    return provider::runAtBoundary(kProvider, "disable_indications", provider::toDisableIndicationsStatus,
                                   DISABLE_INDICATIONS_FAILED, [&] {
                                       // Stopping must work whatever the agent does: the
                                       // model is taken without the user check, which
                                       // needs the agent.
                                       auto* model = provider::findQMS_VRXLogEntryArrivedIndicationModel();
                                       if (model == nullptr) return DISABLE_INDICATIONS_OK;
                                       Auto_Mutex lock(model->recursiveMutex());
                                       model->disableIndications();
                                       return DISABLE_INDICATIONS_OK;
                                   });
}

}  // namespace cimple
