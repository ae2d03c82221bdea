// Turns a numbered framework operation into a call on a provider object.
//
// One procedure template serves all three providers; what a provider offers is
// stated once in its Dispatch_Traits (instances, methods, indications,
// associations) and every operation it does not offer answers -1 without
// touching its arguments.
#pragma once

#include <cimple/cimple.h>
#include <strings.h>

namespace cimple {

template <class Provider>
struct Dispatch_Traits;  // kInstances, kIndications, kAssociations; methods()

// One method the provider implements: the name matched case-insensitively, the
// parameter record class it travels in, and the call with the record unpacked.
template <class Provider>
struct Method_Entry {
    const char* name;
    const Meta_Class* record_class;
    int (*invoke)(Provider* provider, const typename Provider::Class* self, Instance* record);
};

namespace dispatch_detail {

inline Enum_Instances_Handler::Proc enum_proc(void* p) {
    return reinterpret_cast<Enum_Instances_Handler::Proc>(p);
}

inline const String& text_arg(void* p) {
    static const String empty;
    return p ? *static_cast<const String*>(p) : empty;
}

// Enumerations always end with exactly one closing call that carries the
// status, also when the provider failed.
template <class Run>
int enumerate_and_close(void* proc, void* data, Run run) {
    Enum_Instances_Handler handler(enum_proc(proc), data);
    int status = run(&handler);
    if (handler.proc()) handler.proc()(nullptr, status, data);
    return status;
}

// Association enumerations the provider does not support answer their
// not-supported status alone; any other status is closed like an enumeration.
template <class Run>
int associate_and_close(int unsupported, void* proc, void* data, Run run) {
    Enum_Instances_Handler handler(enum_proc(proc), data);
    int status = run(&handler);
    if (status != unsupported && handler.proc()) handler.proc()(nullptr, status, data);
    return status;
}

}  // namespace dispatch_detail

template <class Provider>
int dispatch(const Registration*, int operation, void* a0, void* a1, void* a2, void* a3, void* a4, void* a5,
             void* a6, void*) {
    typedef Dispatch_Traits<Provider> Traits;
    typedef typename Provider::Class Class;
    using namespace dispatch_detail;
    Provider* provider = static_cast<Provider*>(a0);

    switch (operation) {
        case OPERATION_GET_META_CLASS:
            *static_cast<const Meta_Class**>(a0) = &Class::static_meta_class;
            return STATUS_OK;
        case OPERATION_CREATE_PROVIDER:
            *static_cast<Provider**>(a0) = new Provider();
            return STATUS_OK;
        case OPERATION_DESTROY_PROVIDER:
            delete provider;
            return STATUS_OK;
        case OPERATION_LOAD:
            return provider->load();
        case OPERATION_UNLOAD:
            return provider->unload();
        case OPERATION_GET_REPOSITORY:
            *static_cast<const Meta_Repository**>(a0) = Class::static_meta_class.meta_repository;
            return STATUS_OK;
        default:
            break;
    }

    if constexpr (Traits::kInstances) {
        switch (operation) {
            case OPERATION_GET_INSTANCE:
                return provider->get_instance(static_cast<const Class*>(a1), *static_cast<Class**>(a2));
            case OPERATION_ENUM_INSTANCES:
                return enumerate_and_close(a2, a3, [&](Enum_Instances_Handler* h) {
                    return provider->enum_instances(static_cast<const Class*>(a1), h);
                });
            case OPERATION_CREATE_INSTANCE:
                return provider->create_instance(static_cast<Class*>(a1));
            case OPERATION_DELETE_INSTANCE:
                return provider->delete_instance(static_cast<const Class*>(a1));
            case OPERATION_MODIFY_INSTANCE:
                return provider->modify_instance(static_cast<const Class*>(a1),
                                                 static_cast<const Class*>(a2));
            default:
                break;
        }
    }

    if constexpr (Traits::kIndications) {
        switch (operation) {
            case OPERATION_ENABLE_INDICATIONS:
                return provider->enable_indications(new Indication_Handler<Class>(
                    reinterpret_cast<typename Indication_Handler<Class>::Proc>(a1), a2));
            case OPERATION_DISABLE_INDICATIONS:
                return provider->disable_indications();
            default:
                break;
        }
    }

    if constexpr (Traits::kAssociations) {
        const Instance* source = static_cast<const Instance*>(a1);
        switch (operation) {
            case OPERATION_ENUM_ASSOCIATOR_NAMES:
                return associate_and_close(ENUM_ASSOCIATOR_NAMES_UNSUPPORTED, a5, a6,
                                           [&](Enum_Instances_Handler* h) {
                                               return provider->enum_associator_names(
                                                   source, text_arg(a2), text_arg(a3), text_arg(a4), h);
                                           });
            case OPERATION_ENUM_REFERENCES:
                return associate_and_close(ENUM_REFERENCES_UNSUPPORTED, a4, a5,
                                           [&](Enum_Instances_Handler* h) {
                                               return provider->enum_references(
                                                   source, static_cast<const Class*>(a2), text_arg(a3), h);
                                           });
            case OPERATION_ENUM_ASSOCIATORS:
                return associate_and_close(ENUM_ASSOCIATORS_UNSUPPORTED, a5, a6,
                                           [&](Enum_Instances_Handler* h) {
                                               return provider->enum_associators(
                                                   source, text_arg(a2), text_arg(a3), text_arg(a4), h);
                                           });
            default:
                break;
        }
    }

    if (operation == OPERATION_INVOKE_METHOD) {
        Instance* record = static_cast<Instance*>(a2);
        if (!record || !record->meta_class) return -1;
        for (const Method_Entry<Provider>& m : Traits::methods()) {
            if (strcasecmp(record->meta_class->name, m.name) != 0) continue;
            // The name may differ in case from the method's own record class,
            // but a record of another size would be read through the wrong
            // layout: refuse it rather than guess.
            if (record->meta_class->size != m.record_class->size) return -1;
            return m.invoke(provider, static_cast<const Class*>(a1), record);
        }
    }
    return -1;
}

}  // namespace cimple
