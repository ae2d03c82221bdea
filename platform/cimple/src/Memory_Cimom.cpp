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

    bool usable(const char* name_space) const { return name_space && !refused.count(name_space); }
};

Memory_Cimom::Memory_Cimom() : _rep(new Rep) {}

Memory_Cimom::~Memory_Cimom() {
    clear();
    delete _rep;
}

int Memory_Cimom::enum_instances(const char* name_space, const Instance* model,
                                 cimom::Instance_Enumerator& e) {
    if (!model || !model->meta_class) return -1;
    std::lock_guard<std::mutex> lock(_rep->mutex);
    if (!_rep->usable(name_space)) return -1;
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
    if (!_rep->usable(name_space)) {
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
        if (!_rep->usable(name_space)) return -1;
        auto it = _rep->spaces.find(name_space);
        if (it == _rep->spaces.end()) return -1;
        for (auto i = it->second.begin(); i != it->second.end(); ++i) {
            if (key_eq(*i, instance)) {
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
