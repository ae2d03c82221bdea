// The module's face towards the CIMOM: the registration chain that
// cimple_module() hands out, the three dispatch procedures, and the CMPI
// factory functions, which pass each provider's registration to the adapter.
#include <cimple/cimple.h>
#include <cimple/cmpi_adapter.h>

#include <cstddef>
#include <vector>

#include "module/Dispatch.h"
#include "module/Providers.h"
#include "support/InitOrder.h"

#define QMS_EXPORT extern "C" __attribute__((visibility("default")))

namespace cimple {

// What each provider offers besides the operations every provider has.

// For providers that implement no methods: every method call answers -1.
template <class P>
struct Without_Methods {
    static const std::vector<Method_Entry<P>>& methods() {
        static const std::vector<Method_Entry<P>> none;
        return none;
    }
};

template <>
struct Dispatch_Traits<QMS_VRXLogEntryArrived_Provider> : Without_Methods<QMS_VRXLogEntryArrived_Provider> {
    static constexpr bool kInstances = false;
    static constexpr bool kIndications = true;
    static constexpr bool kAssociations = false;
};

template <>
struct Dispatch_Traits<QMS_VRXHostedIndicationRegistrationService_Provider>
    : Without_Methods<QMS_VRXHostedIndicationRegistrationService_Provider> {
    static constexpr bool kInstances = true;
    static constexpr bool kIndications = false;
    static constexpr bool kAssociations = true;
};

template <>
struct Dispatch_Traits<QMS_VRXIndicationRegistrationService_Provider> {
    typedef QMS_VRXIndicationRegistrationService_Provider P;
    typedef QMS_VRXIndicationRegistrationService C;
    typedef QMS_VRXIndicationRegistrationService_RequestStateChange_method RequestStateChange;
    typedef QMS_VRXIndicationRegistrationService_StartService_method StartService;
    typedef QMS_VRXIndicationRegistrationService_StopService_method StopService;
    typedef QMS_VRXIndicationRegistrationService_ChangeAffectedElementsAssignedSequence_method ChangeSequence;
    typedef QMS_VRXIndicationRegistrationService_ListRegistrations_method ListRegistrations;
    typedef QMS_VRXIndicationRegistrationService_RegisterCIMXMLIndication_method RegisterCIMXMLIndication;
    typedef QMS_VRXIndicationRegistrationService_UnRegisterIndication_method UnRegisterIndication;
    typedef QMS_VRXIndicationRegistrationService_UnRegisterIndicationsByTag_method UnRegisterIndicationsByTag;
    typedef QMS_VRXIndicationRegistrationService_SendTestIndication_method SendTestIndication;

    static constexpr bool kInstances = true;
    static constexpr bool kIndications = false;
    static constexpr bool kAssociations = false;

    template <class Record>
    static Record* as(Instance* record) {
        return reinterpret_cast<Record*>(record);
    }

    // Searched in this order; the first name that matches is called with the
    // record's parameters in declaration order.
    static const std::vector<Method_Entry<P>>& methods() {
        static const std::vector<Method_Entry<P>> table = {
            {"RequestStateChange", &RequestStateChange::static_meta_class,
             [](P* p, const C* self, Instance* r) {
                 auto* m = as<RequestStateChange>(r);
                 return p->RequestStateChange(self, m->RequestedState, m->Job, m->TimeoutPeriod,
                                              m->return_value);
             }},
            {"StartService", &StartService::static_meta_class,
             [](P* p, const C* self, Instance* r) {
                 return p->StartService(self, as<StartService>(r)->return_value);
             }},
            {"StopService", &StopService::static_meta_class,
             [](P* p, const C* self, Instance* r) {
                 return p->StopService(self, as<StopService>(r)->return_value);
             }},
            {"ChangeAffectedElementsAssignedSequence", &ChangeSequence::static_meta_class,
             [](P* p, const C* self, Instance* r) {
                 auto* m = as<ChangeSequence>(r);
                 return p->ChangeAffectedElementsAssignedSequence(
                     self, m->ManagedElements, m->AssignedSequence, m->Job, m->return_value);
             }},
            {"ListRegistrations", &ListRegistrations::static_meta_class,
             [](P* p, const C* self, Instance* r) {
                 auto* m = as<ListRegistrations>(r);
                 return p->ListRegistrations(self, m->RegistrationHandles, m->Tags, m->return_value);
             }},
            {"RegisterCIMXMLIndication", &RegisterCIMXMLIndication::static_meta_class,
             [](P* p, const C* self, Instance* r) {
                 auto* m = as<RegisterCIMXMLIndication>(r);
                 return p->RegisterCIMXMLIndication(self, m->RegistrationHandle, m->Query, m->QueryType,
                                                    m->EventReceiver, m->Tag, m->return_value);
             }},
            {"UnRegisterIndication", &UnRegisterIndication::static_meta_class,
             [](P* p, const C* self, Instance* r) {
                 auto* m = as<UnRegisterIndication>(r);
                 return p->UnRegisterIndication(self, m->RegistrationHandle, m->return_value);
             }},
            {"UnRegisterIndicationsByTag", &UnRegisterIndicationsByTag::static_meta_class,
             [](P* p, const C* self, Instance* r) {
                 auto* m = as<UnRegisterIndicationsByTag>(r);
                 return p->UnRegisterIndicationsByTag(self, m->Tag, m->return_value);
             }},
            {"SendTestIndication", &SendTestIndication::static_meta_class,
             [](P* p, const C* self, Instance* r) {
                 return p->SendTestIndication(self, as<SendTestIndication>(r)->return_value);
             }},
        };
        return table;
    }
};

}  // namespace cimple

// The dispatch procedures, by the names the framework knows them under.

extern "C" int __cimple_QMS_VRXLogEntryArrived_Provider_proc(const cimple::Registration* r, int op, void* a0,
                                                             void* a1, void* a2, void* a3, void* a4, void* a5,
                                                             void* a6, void* a7) {
    return cimple::dispatch<cimple::QMS_VRXLogEntryArrived_Provider>(r, op, a0, a1, a2, a3, a4, a5, a6, a7);
}

extern "C" int __cimple_QMS_VRXIndicationRegistrationService_Provider_proc(const cimple::Registration* r,
                                                                           int op, void* a0, void* a1,
                                                                           void* a2, void* a3, void* a4,
                                                                           void* a5, void* a6, void* a7) {
    return cimple::dispatch<cimple::QMS_VRXIndicationRegistrationService_Provider>(r, op, a0, a1, a2, a3, a4,
                                                                                   a5, a6, a7);
}

extern "C" int __cimple_QMS_VRXHostedIndicationRegistrationService_Provider_proc(
    const cimple::Registration* r, int op, void* a0, void* a1, void* a2, void* a3, void* a4, void* a5,
    void* a6, void* a7) {
    return cimple::dispatch<cimple::QMS_VRXHostedIndicationRegistrationService_Provider>(r, op, a0, a1, a2,
                                                                                         a3, a4, a5, a6, a7);
}

namespace {

const char kModuleName[] = "QMS_VRXIndication_Module";

// Null until the records below link themselves in, the last one constructed
// becoming the head.
cimple::Registration* moduleHead = nullptr;

// Constructed in reverse chain order so that the chain reads, from the head:
// log entry, registration service, hosted association.
cimple::Registration hostedRegistration QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_REGISTRATIONS){
    kModuleName, "QMS_VRXHostedIndicationRegistrationService_Provider",
    __cimple_QMS_VRXHostedIndicationRegistrationService_Provider_proc,
    &cimple::QMS_VRXHostedIndicationRegistrationService::static_meta_class, moduleHead};
cimple::Registration serviceRegistration QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_REGISTRATIONS){
    kModuleName, "QMS_VRXIndicationRegistrationService_Provider",
    __cimple_QMS_VRXIndicationRegistrationService_Provider_proc,
    &cimple::QMS_VRXIndicationRegistrationService::static_meta_class, moduleHead};
cimple::Registration logEntryRegistration QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_REGISTRATIONS){
    kModuleName, "QMS_VRXLogEntryArrived_Provider", __cimple_QMS_VRXLogEntryArrived_Provider_proc,
    &cimple::QMS_VRXLogEntryArrived::static_meta_class, moduleHead};

// The CMPI adapter keeps each provider's state here; every interface of one
// provider shares its block. The adapter builds objects in them, so they are
// aligned as the heap would align them.
alignas(std::max_align_t) char hostedAdapterBlock[2048];
alignas(std::max_align_t) char serviceAdapterBlock[2048];
alignas(std::max_align_t) char logEntryAdapterBlock[2048];

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

QMS_EXPORT cimple::Registration* cimple_module() { return moduleHead; }

QMS_EXPORT void* QMS_VRXHostedIndicationRegistrationService_Provider_Create_InstanceMI(const void* broker,
                                                                                       const void* context,
                                                                                       void* status) {
    return createMI(hostedAdapterBlock, hostedRegistration, broker, context, status, 'I');
}
QMS_EXPORT void* QMS_VRXHostedIndicationRegistrationService_Provider_Create_MethodMI(const void* broker,
                                                                                     const void* context,
                                                                                     void* status) {
    return createMI(hostedAdapterBlock, hostedRegistration, broker, context, status, 'M');
}
QMS_EXPORT void* QMS_VRXHostedIndicationRegistrationService_Provider_Create_AssociationMI(const void* broker,
                                                                                          const void* context,
                                                                                          void* status) {
    return createMI(hostedAdapterBlock, hostedRegistration, broker, context, status, 'A');
}
QMS_EXPORT void* QMS_VRXIndicationRegistrationService_Provider_Create_InstanceMI(const void* broker,
                                                                                 const void* context,
                                                                                 void* status) {
    return createMI(serviceAdapterBlock, serviceRegistration, broker, context, status, 'I');
}
QMS_EXPORT void* QMS_VRXIndicationRegistrationService_Provider_Create_MethodMI(const void* broker,
                                                                               const void* context,
                                                                               void* status) {
    return createMI(serviceAdapterBlock, serviceRegistration, broker, context, status, 'M');
}
QMS_EXPORT void* QMS_VRXLogEntryArrived_Provider_Create_MethodMI(const void* broker, const void* context,
                                                                 void* status) {
    return createMI(logEntryAdapterBlock, logEntryRegistration, broker, context, status, 'M');
}
QMS_EXPORT void* QMS_VRXLogEntryArrived_Provider_Create_IndicationMI(const void* broker, const void* context,
                                                                     void* status) {
    return createMI(logEntryAdapterBlock, logEntryRegistration, broker, context, status, 'N');
}

// The same factories under the names without "_Provider", which some CIMOMs
// derive from the provider's registered name.

QMS_EXPORT void* QMS_VRXHostedIndicationRegistrationService_Create_InstanceMI(const void* b, const void* c,
                                                                              void* st) {
    return QMS_VRXHostedIndicationRegistrationService_Provider_Create_InstanceMI(b, c, st);
}
QMS_EXPORT void* QMS_VRXHostedIndicationRegistrationService_Create_MethodMI(const void* b, const void* c,
                                                                            void* st) {
    return QMS_VRXHostedIndicationRegistrationService_Provider_Create_MethodMI(b, c, st);
}
QMS_EXPORT void* QMS_VRXHostedIndicationRegistrationService_Create_AssociationMI(const void* b, const void* c,
                                                                                 void* st) {
    return QMS_VRXHostedIndicationRegistrationService_Provider_Create_AssociationMI(b, c, st);
}
QMS_EXPORT void* QMS_VRXIndicationRegistrationService_Create_InstanceMI(const void* b, const void* c,
                                                                        void* st) {
    return QMS_VRXIndicationRegistrationService_Provider_Create_InstanceMI(b, c, st);
}
QMS_EXPORT void* QMS_VRXIndicationRegistrationService_Create_MethodMI(const void* b, const void* c,
                                                                      void* st) {
    return QMS_VRXIndicationRegistrationService_Provider_Create_MethodMI(b, c, st);
}
QMS_EXPORT void* QMS_VRXLogEntryArrived_Create_MethodMI(const void* b, const void* c, void* st) {
    return QMS_VRXLogEntryArrived_Provider_Create_MethodMI(b, c, st);
}
QMS_EXPORT void* QMS_VRXLogEntryArrived_Create_IndicationMI(const void* b, const void* c, void* st) {
    return QMS_VRXLogEntryArrived_Provider_Create_IndicationMI(b, c, st);
}
