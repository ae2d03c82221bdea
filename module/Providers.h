// The module's three providers. Each is an empty object whose operations the
// dispatch procedures call with already-unpacked arguments and which answers
// framework status codes; failures inside are turned into those codes at the
// provider boundary, never let out.
#pragma once

#include <cimple/cimple.h>

#include "schema/Classes.h"

namespace cimple {

class QMS_VRXLogEntryArrived_Provider {
public:
    typedef QMS_VRXLogEntryArrived Class;

    QMS_VRXLogEntryArrived_Provider();
    ~QMS_VRXLogEntryArrived_Provider();

    int load();
    int unload();
    // Takes ownership of handler.
    int enable_indications(Indication_Handler<QMS_VRXLogEntryArrived>* handler);
    int disable_indications();
};

class QMS_VRXIndicationRegistrationService_Provider {
public:
    typedef QMS_VRXIndicationRegistrationService Class;

    QMS_VRXIndicationRegistrationService_Provider();
    ~QMS_VRXIndicationRegistrationService_Provider();

    int load();
    int unload();
    // On success instance is a new copy owned by the caller.
    int get_instance(const Class* keys, Class*& instance);
    int enum_instances(const Class* model, Enum_Instances_Handler* handler);
    int create_instance(Class* instance);
    int delete_instance(const Class* instance);
    int modify_instance(const Class* model, const Class* instance);

    int RequestStateChange(const Class* self, const Property<uint16>& RequestedState, CIM_ConcreteJob*& Job,
                           const Property<Datetime>& TimeoutPeriod, Property<uint32>& return_value);
    int StartService(const Class* self, Property<uint32>& return_value);
    int StopService(const Class* self, Property<uint32>& return_value);
    int ChangeAffectedElementsAssignedSequence(const Class* self,
                                               const Property<Array<Instance*>>& ManagedElements,
                                               const Property<Array<uint16>>& AssignedSequence,
                                               CIM_ConcreteJob*& Job, Property<uint32>& return_value);
    int ListRegistrations(const Class* self, Property<Array<String>>& RegistrationHandles,
                          Property<Array<String>>& Tags, Property<uint16>& return_value);
    int RegisterCIMXMLIndication(const Class* self, Property<String>& RegistrationHandle,
                                 const Property<String>& Query, const Property<uint16>& QueryType,
                                 const Property<String>& EventReceiver, const Property<String>& Tag,
                                 Property<uint16>& return_value);
    int UnRegisterIndication(const Class* self, const Property<String>& RegistrationHandle,
                             Property<uint16>& return_value);
    int UnRegisterIndicationsByTag(const Class* self, const Property<String>& Tag,
                                   Property<uint16>& return_value);
    int SendTestIndication(const Class* self, Property<uint16>& return_value);
};

class QMS_VRXHostedIndicationRegistrationService_Provider {
public:
    typedef QMS_VRXHostedIndicationRegistrationService Class;

    QMS_VRXHostedIndicationRegistrationService_Provider();
    ~QMS_VRXHostedIndicationRegistrationService_Provider();

    int load();
    int unload();
    int get_instance(const Class* keys, Class*& instance);
    int enum_instances(const Class* model, Enum_Instances_Handler* handler);
    int create_instance(Class* instance);
    int delete_instance(const Class* instance);
    int modify_instance(const Class* model, const Class* instance);
    int enum_associator_names(const Instance* instance, const String& result_class, const String& role,
                              const String& result_role, Enum_Instances_Handler* handler);
    int enum_references(const Instance* instance, const Class* model, const String& role,
                        Enum_Instances_Handler* handler);
    int enum_associators(const Instance* instance, const String& result_class, const String& role,
                         const String& result_role, Enum_Instances_Handler* handler);
};

}  // namespace cimple
