#include "cimple/Meta.h"

#include <strings.h>

namespace cimple {

const Meta_Class* find_meta_class(const Meta_Repository* repository, const char* name) {
    if (!repository || !name) return nullptr;
    for (uint32_t i = 0; i < repository->num_meta_classes; i++) {
        const Meta_Class* mc = repository->meta_classes[i];
        if (mc && mc->name && strcasecmp(mc->name, name) == 0) return mc;
    }
    return nullptr;
}

const Meta_Feature* find_feature(const Meta_Class* meta_class, const char* name, uint32_t flags) {
    if (!meta_class || !name) return nullptr;
    for (uint32_t i = 0; i < meta_class->num_meta_features; i++) {
        const Meta_Feature* mf = meta_class->meta_features[i];
        if (mf && (mf->flags & flags) && mf->name && strcasecmp(mf->name, name) == 0) return mf;
    }
    return nullptr;
}

bool is_subclass(const Meta_Class* base, const Meta_Class* derived) {
    if (!base || !derived) return false;
    // Records of one class are unique within a repository, but a class can
    // reach us through another repository's copy: names decide.
    for (const Meta_Class* mc = derived; mc; mc = mc->super_meta_class) {
        if (mc == base || (mc->name && base->name && strcasecmp(mc->name, base->name) == 0)) return true;
    }
    return false;
}

}  // namespace cimple
