#include "model/IndicationModel.h"
#include "module/ModelInstances.h"
#include "module/ProviderLifecycle.h"
#include "module/Providers.h"
#include "support/Boundary.h"
#include "support/provider_trace.h"

namespace cimple {

typedef QMS_VRXHostedIndicationRegistrationService_Provider Hosted;

static const char kProvider[] = "QMS_VRXHostedIndicationRegistrationService_Provider";

Hosted::QMS_VRXHostedIndicationRegistrationService_Provider() { traceConstruction(kProvider); }

Hosted::~QMS_VRXHostedIndicationRegistrationService_Provider() { traceDestruction(kProvider); }

int Hosted::load() { return loadProvider(kProvider); }

int Hosted::unload() { return unloadProvider(kProvider); }

int Hosted::get_instance(const Class* keys, Class*& instance) {
    return getInstanceAtBoundary(kProvider, &provider::getQMS_VRXHostedIndicationRegistrationServiceModel,
                                 keys, instance);
}

int Hosted::enum_instances(const Class*, Enum_Instances_Handler* handler) {
    return enumInstancesAtBoundary<provider::QMS_VRXHostedIndicationRegistrationServiceModel, Class>(
        kProvider, &provider::getQMS_VRXHostedIndicationRegistrationServiceModel, handler);
}

int Hosted::create_instance(Class*) { return CREATE_INSTANCE_UNSUPPORTED; }
int Hosted::delete_instance(const Class*) { return DELETE_INSTANCE_UNSUPPORTED; }
int Hosted::modify_instance(const Class*, const Class*) { return MODIFY_INSTANCE_UNSUPPORTED; }

int Hosted::enum_associator_names(const Instance*, const String&, const String&, const String&,
                                  Enum_Instances_Handler*) {
    return ENUM_ASSOCIATOR_NAMES_UNSUPPORTED;
}

int Hosted::enum_references(const Instance*, const Class*, const String&, Enum_Instances_Handler*) {
    return ENUM_REFERENCES_UNSUPPORTED;
}

int Hosted::enum_associators(const Instance*, const String&, const String&, const String&,
                             Enum_Instances_Handler*) {
    return ENUM_ASSOCIATORS_UNSUPPORTED;
}

}  // namespace cimple
