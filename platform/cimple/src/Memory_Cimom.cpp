#include "cimple/Memory_Cimom.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace cimple {

struct Memory_Cimom::Rep {
    mutable std::mutex mutex;
    std::map<std::string, std::vector<Instance*>> spaces;  // each entry one reference we own
    std::set<std::string> refused;
    size_t allow_unload_calls = 0;
    bool last_allow_unload = true;
    size_t calls[3] = {0, 0, 0};
    size_t fail_at[3] = {0, 0, 0};  // call number that fails, 0 none

    // Counts the call; false when it is refused or due to fail.
    bool admit(Call kind, const char* name_space) {
        const size_t n = ++calls[kind];
        if (fail_at[kind] == n) {
            fail_at[kind] = 0;
            return false;
        }
        return name_space && !refused.count(name_space);
    }

    const std::vector<Instance*>* space(const char* name_space) const {
        auto it = spaces.find(name_space);
        return it == spaces.end() ? nullptr : &it->second;
    }
};

namespace {

bool is_key_reference(const Meta_Feature* f) {
    return (f->flags & CIMPLE_FLAG_REFERENCE) && (f->flags & CIMPLE_FLAG_KEY) &&
           reinterpret_cast<const Meta_Reference*>(f)->subscript == 0;
}

const Instance* referenced(const Instance* instance, const Meta_Feature* f) {
    return *static_cast<const Instance* const*>(field_of(instance, f));
}

bool holds(const std::vector<Instance*>* list, const Instance* wanted) {
    if (!list) return false;
    for (const Instance* inst : *list)
        if (key_eq(inst, wanted)) return true;
    return false;
}

// Every key reference names an instance that the namespace holds.
bool references_resolve(const std::vector<Instance*>* list, const Instance* instance) {
    const Meta_Class* mc = instance->meta_class;
    for (uint32_t i = 0; i < mc->num_meta_features; i++) {
        const Meta_Feature* f = mc->meta_features[i];
        if (is_key_reference(f) && !holds(list, referenced(instance, f))) return false;
    }
    return true;
}

// Some instance of the namespace names `target` by a key reference.
bool is_referenced(const std::vector<Instance*>& list, const Instance* target) {
    for (const Instance* inst : list) {
        const Meta_Class* mc = inst->meta_class;
        for (uint32_t i = 0; i < mc->num_meta_features; i++) {
            const Meta_Feature* f = mc->meta_features[i];
            if (is_key_reference(f) && key_eq(referenced(inst, f), target)) return true;
        }
    }
    return false;
}

}  // namespace

Memory_Cimom::Memory_Cimom() : _rep(new Rep) {}

Memory_Cimom::~Memory_Cimom() {
    clear();
    delete _rep;
}

int Memory_Cimom::enum_instances(const char* name_space, const Instance* model,
                                 cimom::Instance_Enumerator& e) {
    if (!model || !model->meta_class) return -1;
    std::lock_guard<std::mutex> lock(_rep->mutex);
    if (!_rep->admit(ENUMERATE, name_space)) return -1;
    auto it = _rep->spaces.find(name_space);
    if (it == _rep->spaces.end()) return 0;
    for (Instance* inst : it->second)
        if (is_subclass(model->meta_class, inst->meta_class)) e.append(clone(inst));
    return 0;
}

int Memory_Cimom::create_instance(const char* name_space, const Instance* instance) {
    if (!instance || !instance->meta_class) return -1;
    // Clone outside the lock; the caller's instance is not ours to keep.
    Instance* copy = clone(instance);
    if (!copy) return -1;
    std::unique_lock<std::mutex> lock(_rep->mutex);
    int rc = 0;
    if (!_rep->admit(CREATE, name_space) || !references_resolve(_rep->space(name_space), instance)) {
        rc = -1;
    } else {
        std::vector<Instance*>& list = _rep->spaces[name_space];
        for (Instance* inst : list) {
            if (key_eq(inst, instance)) {
                rc = -1;
                break;
            }
        }
        if (rc == 0) {
            copy->__name_space = name_space;
            list.push_back(copy);
            copy = nullptr;
        }
    }
    lock.unlock();
    unref(copy);
    return rc;
}

int Memory_Cimom::delete_instance(const char* name_space, const Instance* instance) {
    if (!instance) return -1;
    Instance* victim = nullptr;
    {
        std::lock_guard<std::mutex> lock(_rep->mutex);
        if (!_rep->admit(DELETE, name_space)) return -1;
        auto it = _rep->spaces.find(name_space);
        if (it == _rep->spaces.end()) return -1;
        for (auto i = it->second.begin(); i != it->second.end(); ++i) {
            if (key_eq(*i, instance)) {
                if (is_referenced(it->second, *i)) return -1;
                victim = *i;
                it->second.erase(i);
                break;
            }
        }
    }
    if (!victim) return -1;
    unref(victim);
    return 0;
}

void Memory_Cimom::allow_unload(bool flag) {
    std::lock_guard<std::mutex> lock(_rep->mutex);
    _rep->allow_unload_calls++;
    _rep->last_allow_unload = flag;
}

void Memory_Cimom::refuse(const char* name_space, bool refuse) {
    if (!name_space) return;
    std::lock_guard<std::mutex> lock(_rep->mutex);
    if (refuse)
        _rep->refused.insert(name_space);
    else
        _rep->refused.erase(name_space);
}

void Memory_Cimom::fail_call(Call kind, size_t n) {
    std::lock_guard<std::mutex> lock(_rep->mutex);
    _rep->fail_at[kind] = n ? _rep->calls[kind] + n : 0;
}

size_t Memory_Cimom::calls(Call kind) const {
    std::lock_guard<std::mutex> lock(_rep->mutex);
    return _rep->calls[kind];
}

size_t Memory_Cimom::count(const char* name_space, const Meta_Class* meta_class) const {
    if (!name_space || !meta_class) return 0;
    std::lock_guard<std::mutex> lock(_rep->mutex);
    const std::vector<Instance*>* list = _rep->space(name_space);
    size_t n = 0;
    if (list)
        for (const Instance* inst : *list) n += is_subclass(meta_class, inst->meta_class) ? 1 : 0;
    return n;
}

size_t Memory_Cimom::count(const char* name_space) const {
    if (!name_space) return 0;
    std::lock_guard<std::mutex> lock(_rep->mutex);
    auto it = _rep->spaces.find(name_space);
    return it == _rep->spaces.end() ? 0 : it->second.size();
}

void Memory_Cimom::clear() {
    std::map<std::string, std::vector<Instance*>> old;
    {
        std::lock_guard<std::mutex> lock(_rep->mutex);
        old.swap(_rep->spaces);
    }
    for (auto& space : old)
        for (Instance* inst : space.second) unref(inst);
}

size_t Memory_Cimom::allow_unload_calls() const {
    std::lock_guard<std::mutex> lock(_rep->mutex);
    return _rep->allow_unload_calls;
}

bool Memory_Cimom::last_allow_unload() const {
    std::lock_guard<std::mutex> lock(_rep->mutex);
    return _rep->last_allow_unload;
}

}  // namespace cimple
