#include "model/IndicationModel.h"
#include "module/ModelInstances.h"
#include "module/ProviderLifecycle.h"
#include "module/Providers.h"
#include "registration/WMIRegistration.h"
#include "support/Boundary.h"
#include "support/provider_trace.h"

namespace cimple {

typedef QMS_VRXIndicationRegistrationService_Provider Service;

static const char kProvider[] = "QMS_VRXIndicationRegistrationService_Provider";

// Method return values of the registration methods.
enum : uint16 { kSucceeded = 0, kBadInput = 1, kFailed = 2 };

static bool hasText(const Property<String>& p) { return !p.null && p.value.size() != 0; }

Service::QMS_VRXIndicationRegistrationService_Provider() { traceConstruction(kProvider); }

Service::~QMS_VRXIndicationRegistrationService_Provider() { traceDestruction(kProvider); }

int Service::load() { return loadProvider(kProvider); }

int Service::unload() { return unloadProvider(kProvider); }

int Service::get_instance(const Class* keys, Class*& instance) {
    return getInstanceAtBoundary(kProvider, &provider::getQMS_VRXIndicationRegistrationServiceModel, keys,
                                 instance);
}

int Service::enum_instances(const Class*, Enum_Instances_Handler* handler) {
    return enumInstancesAtBoundary<provider::QMS_VRXIndicationRegistrationServiceModel, Class>(
        kProvider, &provider::getQMS_VRXIndicationRegistrationServiceModel, handler);
}

int Service::create_instance(Class*) { return CREATE_INSTANCE_UNSUPPORTED; }
int Service::delete_instance(const Class*) { return DELETE_INSTANCE_UNSUPPORTED; }
int Service::modify_instance(const Class*, const Class*) { return MODIFY_INSTANCE_UNSUPPORTED; }

// The service's state is the module's own; clients cannot start, stop or
// re-sequence it.
int Service::RequestStateChange(const Class*, const Property<uint16>&, CIM_ConcreteJob*&,
                                const Property<Datetime>&, Property<uint32>&) {
    return INVOKE_METHOD_UNSUPPORTED;
}
int Service::StartService(const Class*, Property<uint32>&) { return INVOKE_METHOD_UNSUPPORTED; }
int Service::StopService(const Class*, Property<uint32>&) { return INVOKE_METHOD_UNSUPPORTED; }
int Service::ChangeAffectedElementsAssignedSequence(const Class*, const Property<Array<Instance*>>&,
                                                    const Property<Array<uint16>>&, CIM_ConcreteJob*&,
                                                    Property<uint32>&) {
    return INVOKE_METHOD_UNSUPPORTED;
}

int Service::ListRegistrations(const Class*, Property<Array<String>>& RegistrationHandles,
                               Property<Array<String>>& Tags, Property<uint16>& return_value) {
    Array<String> handles;
    Array<String> tags;
    if (EnumSubscriptions(handles, tags)) {
        RegistrationHandles.set(handles);
        Tags.set(tags);
        return_value.set(kSucceeded);
    } else {
        return_value.set(kFailed);
    }
    return INVOKE_METHOD_OK;
}

int Service::RegisterCIMXMLIndication(const Class*, Property<String>& RegistrationHandle,
                                      const Property<String>& Query, const Property<uint16>& QueryType,
                                      const Property<String>& EventReceiver, const Property<String>& Tag,
                                      Property<uint16>& return_value) {
    const char* tag = hasText(Tag) ? Tag.value.c_str() : "";
    // A tag that the listing would show cut short or escaped could never be
    // used to remove the registration by tag: refuse it as bad input.
    if (!hasText(Query) || !hasText(EventReceiver) || QueryType.null || QueryType.value != 0 ||
        !TagListsAsGiven(tag)) {
        return_value.set(kBadInput);
        return INVOKE_METHOD_OK;
    }
    String handle;
    if (RegisterEvent(EventReceiver.value.c_str(), Query.value.c_str(), "WQL", tag, handle)) {
        RegistrationHandle.set(handle);
        return_value.set(kSucceeded);
    } else {
        return_value.set(kFailed);
    }
    return INVOKE_METHOD_OK;
}

int Service::UnRegisterIndication(const Class*, const Property<String>& RegistrationHandle,
                                  Property<uint16>& return_value) {
    return_value.set(hasText(RegistrationHandle)
                         ? static_cast<uint16>(UnRegisterEvent(RegistrationHandle.value))
                         : uint16(kBadInput));
    return INVOKE_METHOD_OK;
}

int Service::UnRegisterIndicationsByTag(const Class*, const Property<String>& Tag,
                                        Property<uint16>& return_value) {
    return_value.set(hasText(Tag) ? static_cast<uint16>(UnRegisterEventByTag(Tag.value)) : uint16(kBadInput));
    return INVOKE_METHOD_OK;
}

int Service::SendTestIndication(const Class*, Property<uint16>& return_value) {
    provider::trace(5, "QMS_VRXIndicationRegistrationService_Provider::SendTestIndication()");
    return_value.set(kBadInput);
    // Every failure, whatever its kind, is the same answer to the client:
    // return value 1 with method status 0.
    provider::runAtBoundary(kProvider, "SendTestIndication", nullptr, 0, [&] {
        auto& model = provider::getQMS_VRXIndicationRegistrationServiceModel();
        Auto_Mutex lock(model.recursiveMutex());
        if (model.sendTestIndication()) return_value.set(kSucceeded);
    });
    return INVOKE_METHOD_OK;
}

}  // namespace cimple
