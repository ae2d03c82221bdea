// Get and enumerate for the providers whose instances the model holds (the
// registration service and its hosting association): the same steps on two
// model interfaces.
#pragma once

#include <cimple/cimple.h>

#include <vector>

#include "support/Boundary.h"

namespace cimple {

// Finds keys among the model's instances; on success instance is a new copy
// owned by the caller. The model lock is held only around the model calls.
template <class Model, class Class>
int getModelInstance(Model& model, const Class* keys, Class*& instance) {
    Auto_Mutex lock(model.recursiveMutex());
    int32_t handler = -1;
    if (!model.find(handler, keys)) return GET_INSTANCE_NOT_FOUND;
    instance = model.clone(handler, nullptr);
    return GET_INSTANCE_OK;
}

// Copies every instance under the model lock, then hands the copies to the
// enumeration handler after releasing it, so a slow CIMOM callback never
// blocks the model.
template <class Model, class Class>
int enumModelInstances(Model& model, Enum_Instances_Handler* handler) {
    std::vector<Ref<Class>> copies;
    {
        Auto_Mutex lock(model.recursiveMutex());
        std::vector<int32_t> handlers;
        model.findAll(handlers);
        for (int32_t h : handlers) copies.emplace_back(model.clone(h, nullptr));
    }
    for (Ref<Class>& copy : copies) handler->handle(copy.steal());
    return ENUM_INSTANCES_OK;
}

// The two operations at the provider boundary: model is the accessor of the
// model interface (it may throw, like every model access); failures become
// the operation's status and one trace line named after provider.
template <class Model, class Class>
int getInstanceAtBoundary(const char* provider, Model& (*model)(), const Class* keys, Class*& instance) {
    return provider::runAtBoundary(provider, "get_instance", provider::toGetInstanceStatus,
                                   GET_INSTANCE_FAILED,
                                   [&] { return getModelInstance(model(), keys, instance); });
}

template <class Model, class Class>
int enumInstancesAtBoundary(const char* provider, Model& (*model)(), Enum_Instances_Handler* handler) {
    return provider::runAtBoundary(provider, "enum_instances", provider::toEnumInstancesStatus,
                                   ENUM_INSTANCES_FAILED,
                                   [&] { return enumModelInstances<Model, Class>(model(), handler); });
}

}  // namespace cimple
