#include "cimple/cimom.h"

#include <atomic>

namespace cimple {
namespace cimom {

namespace {
std::atomic<Cimom_Binding*> the_binding{nullptr};
}

Instance_Enumerator::Instance_Enumerator() : _pos(0) {}

Instance_Enumerator::~Instance_Enumerator() { clear(); }

Ref<Instance> Instance_Enumerator::operator()() const {
    if (_pos >= _items.size()) return Ref<Instance>();
    Instance* inst = _items[_pos];
    ref(inst);
    return Ref<Instance>(inst);
}

void Instance_Enumerator::operator++(int) {
    if (_pos < _items.size()) _pos++;
}

void Instance_Enumerator::append(Instance* instance) {
    if (instance) _items.append(instance);
}

void Instance_Enumerator::clear() {
    for (size_t i = 0; i < _items.size(); i++) unref(_items[i]);
    _items.clear();
    _pos = 0;
}

Cimom_Binding::~Cimom_Binding() {}

void set_cimom_binding(Cimom_Binding* binding) { the_binding.store(binding, std::memory_order_release); }

Cimom_Binding* cimom_binding() { return the_binding.load(std::memory_order_acquire); }

int enum_instances(const char* name_space, const Instance* model, Instance_Enumerator& e) {
    e.clear();
    Cimom_Binding* binding = cimom_binding();
    if (!binding || !name_space || !model) return -1;
    return binding->enum_instances(name_space, model, e);
}

int create_instance(const char* name_space, const Instance* instance) {
    Cimom_Binding* binding = cimom_binding();
    if (!binding || !name_space || !instance) return -1;
    return binding->create_instance(name_space, instance);
}

int delete_instance(const char* name_space, const Instance* instance) {
    Cimom_Binding* binding = cimom_binding();
    if (!binding || !name_space || !instance) return -1;
    return binding->delete_instance(name_space, instance);
}

void allow_unload(bool flag) {
    if (Cimom_Binding* binding = cimom_binding()) binding->allow_unload(flag);
}

}  // namespace cimom
}  // namespace cimple
