#include "cimple/Instance.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "Fields.h"

namespace cimple {

using namespace detail;

namespace {

// Bytes a feature's field occupies, or 0 for a feature without a field.
size_t field_size(const Meta_Feature* mf) {
    if (is_property(mf)) {
        const Meta_Property* mp = as_property(mf);
        size_t size = 0;
        with_type(mp->type, [&](auto tag) {
            typedef typename decltype(tag)::type T;
            size = mp->subscript ? sizeof(Property<Array<T>>) : sizeof(Property<T>);
        });
        return size;
    }
    if (is_reference(mf)) return as_reference(mf)->subscript ? sizeof(Ref_Array) : sizeof(Instance*);
    return 0;
}

// A record whose fields would not fit its struct is a generator bug; refusing
// such a class keeps every live instance consistent with its record.
bool layout_ok(const Meta_Class* mc) {
    if (mc->size < sizeof(Instance)) return false;
    for (uint32_t i = 0; i < mc->num_meta_features; i++) {
        const Meta_Feature* mf = mc->meta_features[i];
        if (!mf) return false;
        if (is_property(mf) && !with_type(as_property(mf)->type, [](auto) {})) return false;
        size_t size = field_size(mf);
        if (!size) continue;
        uint32_t offset = is_property(mf) ? as_property(mf)->offset : as_reference(mf)->offset;
        if (offset < sizeof(Instance) || offset + size > mc->size) return false;
    }
    return true;
}

void construct_field(void* inst, const Meta_Feature* mf) {
    if (is_property(mf)) {
        const Meta_Property* mp = as_property(mf);
        with_type(mp->type, [&](auto tag) {
            typedef typename decltype(tag)::type T;
            if (mp->subscript)
                new (&at<Property<Array<T>>>(inst, mp->offset)) Property<Array<T>>();
            else
                new (&at<Property<T>>(inst, mp->offset)) Property<T>();
        });
    } else if (is_reference(mf)) {
        const Meta_Reference* mr = as_reference(mf);
        if (mr->subscript)
            new (&at<Ref_Array>(inst, mr->offset)) Ref_Array();
        else
            at<Instance*>(inst, mr->offset) = nullptr;
    }
}

void destruct_field(void* inst, const Meta_Feature* mf) {
    if (is_property(mf)) {
        const Meta_Property* mp = as_property(mf);
        with_type(mp->type, [&](auto tag) {
            typedef typename decltype(tag)::type T;
            if (mp->subscript)
                at<Property<Array<T>>>(inst, mp->offset).~Property<Array<T>>();
            else
                at<Property<T>>(inst, mp->offset).~Property<T>();
        });
    } else if (is_reference(mf)) {
        const Meta_Reference* mr = as_reference(mf);
        if (mr->subscript) {
            Ref_Array& refs = at<Ref_Array>(inst, mr->offset);
            for (size_t i = 0; i < refs.value.size(); i++) unref(refs.value[i]);
            refs.~Ref_Array();
        } else {
            unref(at<Instance*>(inst, mr->offset));
        }
    }
}

// Class defaults come as the C types of Meta.h: text for STRING and DATETIME,
// uint16_t for CHAR16, the value itself otherwise.
template <class T>
bool default_value(const void* p, T& out) {
    out = *static_cast<const T*>(p);
    return true;
}
template <>
bool default_value<String>(const void* p, String& out) {
    out.assign(*static_cast<const char* const*>(p));
    return true;
}
template <>
bool default_value<Datetime>(const void* p, Datetime& out) {
    return out.set(*static_cast<const char* const*>(p));
}
template <>
bool default_value<char16>(const void* p, char16& out) {
    out = char16(*static_cast<const uint16_t*>(p));
    return true;
}

template <class T>
size_t element_size() {
    return sizeof(T);
}
template <>
size_t element_size<String>() {
    return sizeof(const char*);
}
template <>
size_t element_size<Datetime>() {
    return sizeof(const char*);
}
template <>
size_t element_size<char16>() {
    return sizeof(uint16_t);
}

void set_default(void* inst, const Meta_Property* mp) {
    if (!mp->value) return;
    with_type(mp->type, [&](auto tag) {
        typedef typename decltype(tag)::type T;
        if (mp->subscript) {
            const Meta_Array_Value* av = static_cast<const Meta_Array_Value*>(mp->value);
            Property<Array<T>>& prop = at<Property<Array<T>>>(inst, mp->offset);
            Array<T> values;
            for (uint32_t i = 0; i < av->size; i++) {
                T x{};
                if (!default_value<T>(static_cast<const char*>(av->data) + i * element_size<T>(), x)) return;
                values.append(x);
            }
            prop.set(values);
        } else {
            Property<T>& prop = at<Property<T>>(inst, mp->offset);
            T x{};
            if (default_value<T>(mp->value, x)) prop.set(x);
        }
    });
}

void copy_field(void* dst, const void* src, const Meta_Feature* mf) {
    if (is_property(mf)) {
        const Meta_Property* mp = as_property(mf);
        with_type(mp->type, [&](auto tag) {
            typedef typename decltype(tag)::type T;
            if (mp->subscript)
                at<Property<Array<T>>>(dst, mp->offset) = at<Property<Array<T>>>(src, mp->offset);
            else
                at<Property<T>>(dst, mp->offset) = at<Property<T>>(src, mp->offset);
        });
    } else if (is_reference(mf)) {
        const Meta_Reference* mr = as_reference(mf);
        if (mr->subscript) {
            const Ref_Array& from = at<Ref_Array>(src, mr->offset);
            Ref_Array& to = at<Ref_Array>(dst, mr->offset);
            to.null = from.null;
            for (size_t i = 0; i < from.value.size(); i++) to.value.append(clone(from.value[i]));
        } else {
            at<Instance*>(dst, mr->offset) = clone(at<Instance*>(src, mr->offset));
        }
    }
}

bool live(const Instance* inst) { return inst && inst->magic == INSTANCE_MAGIC && inst->meta_class; }

bool same_class_name(const Meta_Class* a, const Meta_Class* b) {
    return a == b || (a && b && a->name && b->name && strcasecmp(a->name, b->name) == 0);
}

// Compares two fields of the same shape (described by mf), given their addresses.
bool field_eq(const void* x, const void* y, const Meta_Feature* mf) {
    if (is_property(mf)) {
        const Meta_Property* mp = as_property(mf);
        bool eq = false;
        with_type(mp->type, [&](auto tag) {
            typedef typename decltype(tag)::type T;
            if (mp->subscript)
                eq = at<Property<Array<T>>>(x, 0) == at<Property<Array<T>>>(y, 0);
            else
                eq = at<Property<T>>(x, 0) == at<Property<T>>(y, 0);
        });
        return eq;
    }
    if (is_reference(mf)) {
        if (as_reference(mf)->subscript) {
            const Ref_Array& p = at<Ref_Array>(x, 0);
            const Ref_Array& q = at<Ref_Array>(y, 0);
            if (p.null != q.null || p.value.size() != q.value.size()) return false;
            for (size_t i = 0; i < p.value.size(); i++) {
                if ((p.value[i] || q.value[i]) && !key_eq(p.value[i], q.value[i])) return false;
            }
            return true;
        }
        const Instance* p = at<Instance*>(x, 0);
        const Instance* q = at<Instance*>(y, 0);
        return (!p && !q) || key_eq(p, q);
    }
    return true;
}

// Same kind of field: both properties of one type and arity, or both
// references of one arity.
bool same_shape(const Meta_Feature* a, const Meta_Feature* b) {
    if (is_property(a) && is_property(b))
        return as_property(a)->type == as_property(b)->type &&
               (as_property(a)->subscript != 0) == (as_property(b)->subscript != 0);
    if (is_reference(a) && is_reference(b))
        return (as_reference(a)->subscript != 0) == (as_reference(b)->subscript != 0);
    return false;
}

}  // namespace

Instance* create(const Meta_Class* meta_class, bool defaults) {
    if (!meta_class || !layout_ok(meta_class)) return nullptr;
    void* mem = std::calloc(1, meta_class->size);
    if (!mem) throw std::bad_alloc();
    Instance* inst = new (mem) Instance;
    inst->meta_class = meta_class;
    inst->magic = INSTANCE_MAGIC;
    inst->refs.store(1, std::memory_order_relaxed);
    for (uint32_t i = 0; i < meta_class->num_meta_features; i++)
        construct_field(inst, meta_class->meta_features[i]);
    if (defaults) {
        for (uint32_t i = 0; i < meta_class->num_meta_features; i++) {
            const Meta_Feature* mf = meta_class->meta_features[i];
            if (is_property(mf)) set_default(inst, as_property(mf));
        }
    }
    return inst;
}

Instance* clone(const Instance* instance) {
    if (!live(instance)) return nullptr;
    const Meta_Class* mc = instance->meta_class;
    Instance* copy = create(mc, false);
    if (!copy) return nullptr;
    copy->__name_space = instance->__name_space;
    for (uint32_t i = 0; i < mc->num_meta_features; i++) copy_field(copy, instance, mc->meta_features[i]);
    return copy;
}

void ref(const Instance* instance) {
    if (live(instance)) const_cast<Instance*>(instance)->refs.fetch_add(1, std::memory_order_relaxed);
}

void unref(const Instance* instance) {
    if (!live(instance)) return;
    Instance* inst = const_cast<Instance*>(instance);
    if (inst->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(inst);
}

void destroy(Instance* instance) {
    if (!live(instance)) return;
    const Meta_Class* mc = instance->meta_class;
    for (uint32_t i = 0; i < mc->num_meta_features; i++) destruct_field(instance, mc->meta_features[i]);
    instance->magic = 0;
    instance->~Instance();
    std::free(instance);
}

bool key_eq(const Instance* a, const Instance* b) {
    if (!live(a) || !live(b) || !same_class_name(a->meta_class, b->meta_class)) return false;
    const Meta_Class* mc = a->meta_class;
    for (uint32_t i = 0; i < mc->num_meta_features; i++) {
        const Meta_Feature* mf = mc->meta_features[i];
        if (!is_key(mf) || !field_size(mf)) continue;
        // Same class name but possibly another repository's record: find b's
        // feature by name rather than trusting the offsets to agree.
        const Meta_Feature* other = b->meta_class == mc ? mf : find_feature(b->meta_class, mf->name);
        if (!other || !same_shape(mf, other)) return false;
        if (!field_eq(field_of(a, mf), field_of(b, other), mf)) return false;
    }
    return true;
}

const void* field_of(const Instance* instance, const Meta_Feature* feature) {
    if (!instance || !feature) return nullptr;
    if (is_property(feature)) return &at<char>(instance, as_property(feature)->offset);
    if (is_reference(feature)) return &at<char>(instance, as_reference(feature)->offset);
    return nullptr;
}

void* field_of(Instance* instance, const Meta_Feature* feature) {
    return const_cast<void*>(field_of(const_cast<const Instance*>(instance), feature));
}

bool is_null(const Instance* instance, const Meta_Feature* feature) {
    const void* field = field_of(instance, feature);
    if (!field) return true;
    if (is_reference(feature)) {
        if (as_reference(feature)->subscript) return at<Ref_Array>(field, 0).null != 0;
        return at<Instance*>(field, 0) == nullptr;
    }
    const Meta_Property* mp = as_property(feature);
    bool null = true;
    with_type(mp->type, [&](auto tag) {
        typedef typename decltype(tag)::type T;
        null =
            mp->subscript ? at<Property<Array<T>>>(field, 0).null != 0 : at<Property<T>>(field, 0).null != 0;
    });
    return null;
}

}  // namespace cimple
