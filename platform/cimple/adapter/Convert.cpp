#include "Convert.h"

#include <cimple/Array.h>
#include <cimple/Datetime.h>
#include <cimple/Property.h>
#include <cimple/Types.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <type_traits>

#include "Fields.h"

namespace cimple {
namespace cmpi_adapter {

using detail::as_property;
using detail::as_reference;
using detail::is_key;
using detail::is_property;
using detail::is_reference;
using detail::Ref_Array;
using detail::with_type;

void fail(CMPIrc rc, std::string message) { throw Failure{rc, std::move(message)}; }

const char* chars(const CMPIString* s) {
    if (!s || !s->ft || !s->ft->getCharPtr) return "";
    const char* p = s->ft->getCharPtr(s, nullptr);
    return p ? p : "";
}

CMPIType cmpi_type(uint16_t type) {
    switch (type) {
        case BOOLEAN:
            return CMPI_boolean;
        case UINT8:
            return CMPI_uint8;
        case SINT8:
            return CMPI_sint8;
        case UINT16:
            return CMPI_uint16;
        case SINT16:
            return CMPI_sint16;
        case UINT32:
            return CMPI_uint32;
        case SINT32:
            return CMPI_sint32;
        case UINT64:
            return CMPI_uint64;
        case SINT64:
            return CMPI_sint64;
        case REAL32:
            return CMPI_real32;
        case REAL64:
            return CMPI_real64;
        case CHAR16:
            return CMPI_char16;
        case STRING:
            return CMPI_string;
        case DATETIME:
            return CMPI_dateTime;
    }
    return CMPI_null;
}

namespace {

bool is_null_data(const CMPIData& d) {
    return d.type == CMPI_null || (d.state & (CMPI_nullValue | CMPI_notFound | CMPI_badValue)) != 0;
}

bool ok(const CMPIStatus& rc) { return rc.rc == CMPI_RC_OK; }

// Text of a string-typed value, or null for any other type.
const char* text_of(CMPIType type, const CMPIValue& v) {
    if (type == CMPI_string) return chars(v.string);
    if (type == CMPI_chars) return v.chars ? v.chars : "";
    return nullptr;
}

// A CMPI integer of any width and signedness, or its decimal text (some
// CIMOMs bind integer keys as strings).
struct Integer {
    bool is_signed;
    int64_t s;
    uint64_t u;
};

bool read_integer(CMPIType type, const CMPIValue& v, Integer& out) {
    switch (type) {
        case CMPI_uint8:
            out = {false, 0, v.uint8};
            return true;
        case CMPI_uint16:
            out = {false, 0, v.uint16};
            return true;
        case CMPI_uint32:
            out = {false, 0, v.uint32};
            return true;
        case CMPI_uint64:
            out = {false, 0, v.uint64};
            return true;
        case CMPI_sint8:
            out = {true, v.sint8, 0};
            return true;
        case CMPI_sint16:
            out = {true, v.sint16, 0};
            return true;
        case CMPI_sint32:
            out = {true, v.sint32, 0};
            return true;
        case CMPI_sint64:
            out = {true, v.sint64, 0};
            return true;
        default:
            break;
    }
    const char* text = text_of(type, v);
    if (!text) return false;
    bool negative = text[0] == '-';
    const char* digits = negative ? text + 1 : text;
    if (*digits < '0' || *digits > '9') return false;  // strto* would skip blanks and signs
    char* end = nullptr;
    errno = 0;
    if (negative) {
        long long x = strtoll(text, &end, 10);
        out = {true, x, 0};
    } else {
        unsigned long long x = strtoull(text, &end, 10);
        out = {false, 0, x};
    }
    return errno == 0 && end && *end == '\0';
}

template <class T>
bool fit(const Integer& x, T& out) {
    typedef std::numeric_limits<T> L;
    if (x.is_signed) {
        if constexpr (std::is_signed<T>::value) {
            if (x.s < int64_t(L::min()) || x.s > int64_t(L::max())) return false;
        } else {
            if (x.s < 0 || uint64_t(x.s) > uint64_t(L::max())) return false;
        }
        out = T(x.s);
    } else {
        if (x.u > uint64_t(L::max())) return false;
        out = T(x.u);
    }
    return true;
}

// What a CMPI setter (setProperty, addKey, setElementAt, addArg) takes as its
// value argument: for CMPI_chars the text itself, cast, as every CIMOM reads
// it; for every other type the address of the CMPIValue.
const CMPIValue* argument(const CMPIValue& v, CMPIType type) {
    return type == CMPI_chars ? reinterpret_cast<const CMPIValue*>(v.chars) : &v;
}

// Why a value could not be taken: the type is wrong, or it is out of range.
enum class Verdict { Ok, Mismatch, Range };

}  // namespace

Converter::Converter(const CMPIBroker* broker, std::string name_space)
    : _broker(broker), _ns(std::move(name_space)) {}

Converter::~Converter() {
    for (auto it = _made.rbegin(); it != _made.rend(); ++it) it->release(it->object);
}

namespace {

// One element of type T from a CMPI value.
template <class T>
Verdict take(CMPIType type, const CMPIValue& v, T& out) {
    if constexpr (std::is_same<T, bool>::value) {
        if (type == CMPI_boolean) {
            out = v.boolean != 0;
            return Verdict::Ok;
        }
        const char* text = text_of(type, v);
        if (text && (strcasecmp(text, "true") == 0 || strcasecmp(text, "false") == 0)) {
            out = strcasecmp(text, "true") == 0;
            return Verdict::Ok;
        }
        return Verdict::Mismatch;
    } else if constexpr (std::is_same<T, float>::value || std::is_same<T, double>::value) {
        if (type == CMPI_real32) {
            out = T(v.real32);
            return Verdict::Ok;
        }
        if (type == CMPI_real64) {
            out = T(v.real64);
            return Verdict::Ok;
        }
        Integer x;
        if (!read_integer(type, v, x)) return Verdict::Mismatch;
        out = x.is_signed ? T(x.s) : T(x.u);
        return Verdict::Ok;
    } else if constexpr (std::is_integral<T>::value) {
        Integer x;
        if (!read_integer(type, v, x)) return Verdict::Mismatch;
        return fit(x, out) ? Verdict::Ok : Verdict::Range;
    } else if constexpr (std::is_same<T, char16>::value) {
        if (type != CMPI_char16) return Verdict::Mismatch;
        out = char16(v.char16);
        return Verdict::Ok;
    } else if constexpr (std::is_same<T, String>::value) {
        const char* text = text_of(type, v);
        if (!text) return Verdict::Mismatch;
        out.assign(text);
        return Verdict::Ok;
    } else {
        static_assert(std::is_same<T, Datetime>::value, "a CIM type without a conversion");
        const char* text = text_of(type, v);
        if (type == CMPI_dateTime && v.dateTime && v.dateTime->ft) {
            CMPIString* s = v.dateTime->ft->getStringFormat(v.dateTime, nullptr);
            text = chars(s);
        }
        if (!text) return Verdict::Mismatch;
        return out.set(text) ? Verdict::Ok : Verdict::Mismatch;
    }
}

// One value of type T into a CMPI value; false for a value that counts as
// null (a Datetime holding nothing).
template <class T>
bool give(const CMPIBroker* broker, Converter& conv, const T& x, CMPIValue& v) {
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    if constexpr (std::is_same<T, bool>::value) {
        v.boolean = x ? 1 : 0;
    } else if constexpr (std::is_same<T, uint8_t>::value) {
        v.uint8 = x;
    } else if constexpr (std::is_same<T, int8_t>::value) {
        v.sint8 = x;
    } else if constexpr (std::is_same<T, uint16_t>::value) {
        v.uint16 = x;
    } else if constexpr (std::is_same<T, int16_t>::value) {
        v.sint16 = x;
    } else if constexpr (std::is_same<T, uint32_t>::value) {
        v.uint32 = x;
    } else if constexpr (std::is_same<T, int32_t>::value) {
        v.sint32 = x;
    } else if constexpr (std::is_same<T, uint64_t>::value) {
        v.uint64 = x;
    } else if constexpr (std::is_same<T, int64_t>::value) {
        v.sint64 = x;
    } else if constexpr (std::is_same<T, float>::value) {
        v.real32 = x;
    } else if constexpr (std::is_same<T, double>::value) {
        v.real64 = x;
    } else if constexpr (std::is_same<T, char16>::value) {
        v.char16 = x.code;
    } else if constexpr (std::is_same<T, String>::value) {
        v.string = conv.own(broker->eft->newString(broker, x.c_str(), &rc));
        if (!v.string) fail(CMPI_RC_ERR_FAILED, "the broker could not make a string");
    } else {
        static_assert(std::is_same<T, Datetime>::value, "a CIM type without a conversion");
        if (x.is_null()) return false;
        char text[Datetime::TEXT_SIZE + 1];
        v.dateTime = conv.own(broker->eft->newDateTimeFromChars(broker, x.ascii(text), &rc));
        if (!v.dateTime) fail(CMPI_RC_ERR_FAILED, std::string("the broker refused the datetime ") + text);
    }
    return true;
}

[[noreturn]] void refuse(Verdict verdict, const char* name) {
    if (verdict == Verdict::Range)
        fail(CMPI_RC_ERR_TYPE_MISMATCH, std::string("value out of range for ") + name);
    fail(CMPI_RC_ERR_TYPE_MISMATCH, std::string("type mismatch for ") + name);
}

void release_refs(Ref_Array& refs) {
    for (size_t i = 0; i < refs.value.size(); i++) unref(refs.value[i]);
    refs.clear();
}

}  // namespace

void Converter::set_feature(Instance* instance, const Meta_Feature* feature, const CMPIData& data,
                            Source source) {
    const char* name = feature->name;
    void* field = field_of(instance, feature);
    if (!field) fail(CMPI_RC_ERR_FAILED, std::string("no field for ") + name);
    bool null = is_null_data(data);
    bool array = (data.type & CMPI_ARRAY) != 0;
    CMPIType element_type = CMPIType(data.type & ~CMPI_ARRAY);

    // Walks a CMPI array, handing each element to `each`; a null element
    // has no place in a framework array.
    auto for_elements = [&](auto each) {
        const CMPIArray* a = data.value.array;
        if (!a || !a->ft) refuse(Verdict::Mismatch, name);
        CMPICount n = a->ft->getSize(a, nullptr);
        for (CMPICount i = 0; i < n; i++) {
            CMPIStatus rc = {CMPI_RC_OK, nullptr};
            CMPIData e = a->ft->getElementAt(a, i, &rc);
            if (!ok(rc) || (e.state & (CMPI_nullValue | CMPI_badValue | CMPI_notFound)))
                fail(CMPI_RC_ERR_TYPE_MISMATCH, std::string("null element in ") + name);
            each(e.type == CMPI_null ? element_type : CMPIType(e.type & ~CMPI_ARRAY), e.value);
        }
    };

    if (is_property(feature)) {
        const Meta_Property* mp = as_property(feature);
        with_type(mp->type, [&](auto tag) {
            typedef typename decltype(tag)::type T;
            if (mp->subscript) {
                Property<Array<T>>& p = *static_cast<Property<Array<T>>*>(field);
                if (null) return p.clear();
                if (!array) refuse(Verdict::Mismatch, name);
                Array<T> values;
                for_elements([&](CMPIType type, const CMPIValue& v) {
                    T x{};
                    Verdict verdict = take(type, v, x);
                    if (verdict != Verdict::Ok) refuse(verdict, name);
                    values.append(x);
                });
                p.set(values);
            } else {
                Property<T>& p = *static_cast<Property<T>*>(field);
                if (null) return p.clear();
                if (array) refuse(Verdict::Mismatch, name);
                T x{};
                Verdict verdict = take(data.type, data.value, x);
                if (verdict != Verdict::Ok) refuse(verdict, name);
                p.set(x);
            }
        });
        return;
    }
    if (!is_reference(feature)) fail(CMPI_RC_ERR_FAILED, std::string("not a property: ") + name);

    const Meta_Reference* mr = as_reference(feature);
    const Meta_Repository* repository = mr->meta_class ? mr->meta_class->meta_repository : nullptr;
    if (mr->subscript) {
        Ref_Array& refs = *static_cast<Ref_Array*>(field);
        if (null) return release_refs(refs);
        if (!array || element_type != CMPI_ref) refuse(Verdict::Mismatch, name);
        Ref_Array fresh;
        try {
            for_elements([&](CMPIType type, const CMPIValue& v) {
                if (type != CMPI_ref) refuse(Verdict::Mismatch, name);
                fresh.value.append(keys_from_path(v.ref, mr->meta_class, repository, source).steal());
            });
        } catch (...) {
            release_refs(fresh);
            throw;
        }
        release_refs(refs);
        refs.set(fresh.value);  // takes the pointers over; fresh only forgets them
        fresh.value.clear();
        return;
    }
    Instance*& slot = *static_cast<Instance**>(field);
    if (null) {
        unref(slot);
        slot = nullptr;
        return;
    }
    if (data.type != CMPI_ref) refuse(Verdict::Mismatch, name);
    Ref<Instance> target = keys_from_path(data.value.ref, mr->meta_class, repository, source);
    unref(slot);
    slot = target.steal();
}

namespace {

// The class a path names: `base` itself when the path names it (the usual
// case, spared a search of the repository), else found in `repository`.
const Meta_Class* class_named(const char* class_name, const Meta_Class* base,
                              const Meta_Repository* repository) {
    if (base && base->name && strcasecmp(base->name, class_name) == 0) return base;
    return find_meta_class(repository, class_name);
}

}  // namespace

Ref<Instance> Converter::keys_from_path(const CMPIObjectPath* op, const Meta_Class* base,
                                        const Meta_Repository* repository, Source source) {
    if (!op || !op->ft) fail(CMPI_RC_ERR_INVALID_PARAMETER, "missing object path");
    const char* class_name = chars(op->ft->getClassName(op, nullptr));
    const Meta_Class* mc = class_named(class_name, base, base ? base->meta_repository : repository);
    if (!mc) fail(CMPI_RC_ERR_INVALID_CLASS, std::string("unknown class ") + class_name);
    if (base && !is_subclass(base, mc))
        fail(CMPI_RC_ERR_INVALID_CLASS, std::string(class_name) + " is not a " + base->name);

    Ref<Instance> inst(create(mc));
    // Each key the path gives, read once, with the feature it names.
    struct Given {
        const Meta_Feature* feature;
        CMPIData data;
    };
    CMPICount count = op->ft->getKeyCount(op, nullptr);
    std::vector<Given> given;
    given.reserve(count);
    // Paths usually list their keys in the class's order (ours always do):
    // the feature after the last one found is tried before a search.
    uint32_t next = 0;
    for (CMPICount i = 0; i < count; i++) {
        CMPIString* key_name = nullptr;
        CMPIData d = op->ft->getKeyAt(op, i, &key_name, nullptr);
        const char* name = chars(key_name);
        while (next < mc->num_meta_features && !is_key(mc->meta_features[next])) next++;
        const Meta_Feature* f = nullptr;
        if (next < mc->num_meta_features && strcasecmp(mc->meta_features[next]->name, name) == 0)
            f = mc->meta_features[next++];
        else
            f = find_feature(mc, name);
        if (!f || !is_key(f)) fail(CMPI_RC_ERR_INVALID_PARAMETER, std::string("unknown key ") + name);
        given.push_back({f, d});
    }
    for (uint32_t i = 0; i < mc->num_meta_features; i++) {
        const Meta_Feature* f = mc->meta_features[i];
        if (!is_key(f)) continue;
        const Given* g = nullptr;
        for (const Given& x : given)
            if (x.feature == f) {
                g = &x;
                break;
            }
        if (!g || is_null_data(g->data)) {
            if (source == Source::Cimom) continue;
            fail(CMPI_RC_ERR_INVALID_PARAMETER, std::string("missing key ") + f->name);
        }
        set_feature(inst.get(), f, g->data, source);
    }
    return inst;
}

Ref<Instance> Converter::target_from_path(const CMPIObjectPath* op, const Meta_Class* base) {
    if (!op || !op->ft) fail(CMPI_RC_ERR_INVALID_PARAMETER, "missing object path");
    if (op->ft->getKeyCount(op, nullptr) != 0) return keys_from_path(op, base, nullptr);
    const char* class_name = chars(op->ft->getClassName(op, nullptr));
    const Meta_Class* mc = class_named(class_name, base, base->meta_repository);
    if (!mc || !is_subclass(base, mc))
        fail(CMPI_RC_ERR_INVALID_CLASS, std::string(class_name) + " is not a " + base->name);
    return Ref<Instance>(create(mc));
}

Ref<Instance> Converter::from_instance(const CMPIInstance* ci, const Meta_Class* base, Source source) {
    if (!ci || !ci->ft) fail(CMPI_RC_ERR_INVALID_PARAMETER, "missing instance");
    bool strict = source == Source::Request;
    CMPIObjectPath* path = ci->ft->getObjectPath(ci, nullptr);
    const char* class_name = path && path->ft ? chars(path->ft->getClassName(path, nullptr)) : "";
    const Meta_Class* mc = class_named(class_name, base, base->meta_repository);
    if (!mc || !is_subclass(base, mc)) {
        if (strict) fail(CMPI_RC_ERR_INVALID_CLASS, std::string(class_name) + " is not a " + base->name);
        mc = base;
    }

    Ref<Instance> inst(create(mc));
    CMPICount count = ci->ft->getPropertyCount(ci, nullptr);
    for (CMPICount i = 0; i < count; i++) {
        CMPIString* property_name = nullptr;
        CMPIStatus rc = {CMPI_RC_OK, nullptr};
        CMPIData d = ci->ft->getPropertyAt(ci, i, &property_name, &rc);
        const char* name = chars(property_name);
        if (!ok(rc)) fail(CMPI_RC_ERR_FAILED, std::string("cannot read property ") + name);
        const Meta_Feature* f = find_feature(mc, name, CIMPLE_FLAG_PROPERTY | CIMPLE_FLAG_REFERENCE);
        if (!f) {
            if (strict) fail(CMPI_RC_ERR_INVALID_PARAMETER, std::string("unknown property ") + name);
            continue;
        }
        set_feature(inst.get(), f, d, source);
    }
    if (strict) {
        for (uint32_t i = 0; i < mc->num_meta_features; i++) {
            const Meta_Feature* f = mc->meta_features[i];
            if (is_key(f) && is_null(inst.get(), f))
                fail(CMPI_RC_ERR_INVALID_PARAMETER, std::string("missing key ") + f->name);
        }
    }
    return inst;
}

bool Converter::to_value(const Instance* instance, const Meta_Feature* feature, CMPIValue& value,
                         CMPIType& type) {
    return value_of(instance, feature, value, type, false);
}

bool Converter::value_of(const Instance* instance, const Meta_Feature* feature, CMPIValue& value,
                         CMPIType& type, bool borrow) {
    const void* field = field_of(instance, feature);
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    value = CMPIValue();
    if (is_property(feature)) {
        const Meta_Property* mp = as_property(feature);
        CMPIType element_type = cmpi_type(mp->type);
        bool present = false;
        with_type(mp->type, [&](auto tag) {
            typedef typename decltype(tag)::type T;
            if (mp->subscript) {
                type = CMPIType(element_type | CMPI_ARRAY);
                const Property<Array<T>>& p = *static_cast<const Property<Array<T>>*>(field);
                if (p.null) return;
                CMPIArray* a =
                    own(_broker->eft->newArray(_broker, CMPICount(p.value.size()), element_type, &rc));
                if (!a)
                    fail(CMPI_RC_ERR_FAILED,
                         std::string("the broker could not make an array for ") + mp->name);
                for (size_t i = 0; i < p.value.size(); i++) {
                    CMPIValue e;
                    if constexpr (std::is_same<T, String>::value) {
                        if (borrow) {
                            e.chars = const_cast<char*>(p.value[i].c_str());
                            a->ft->setElementAt(a, CMPICount(i), argument(e, CMPI_chars), CMPI_chars);
                            continue;
                        }
                    }
                    if (give(_broker, *this, p.value[i], e))
                        a->ft->setElementAt(a, CMPICount(i), &e, element_type);
                }
                value.array = a;
                present = true;
            } else {
                type = element_type;
                const Property<T>& p = *static_cast<const Property<T>*>(field);
                if constexpr (std::is_same<T, String>::value) {
                    if (borrow && !p.null) {
                        type = CMPI_chars;
                        value.chars = const_cast<char*>(p.value.c_str());
                        present = true;
                        return;
                    }
                }
                present = !p.null && give(_broker, *this, p.value, value);
            }
        });
        return present;
    }
    const Meta_Reference* mr = as_reference(feature);
    if (mr->subscript) {
        type = CMPI_refA;
        const Ref_Array& refs = *static_cast<const Ref_Array*>(field);
        if (refs.null) return false;
        CMPIArray* a = own(_broker->eft->newArray(_broker, CMPICount(refs.value.size()), CMPI_ref, &rc));
        if (!a) fail(CMPI_RC_ERR_FAILED, std::string("the broker could not make an array for ") + mr->name);
        for (size_t i = 0; i < refs.value.size(); i++) {
            if (!refs.value[i]) continue;
            CMPIValue e;
            e.ref = to_path(refs.value[i]);
            a->ft->setElementAt(a, CMPICount(i), &e, CMPI_ref);
        }
        value.array = a;
        return true;
    }
    type = CMPI_ref;
    const Instance* target = *static_cast<const Instance* const*>(field);
    if (!target) return false;
    value.ref = to_path(target);
    return true;
}

CMPIObjectPath* Converter::to_path(const Instance* instance) {
    const Meta_Class* mc = instance->meta_class;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIObjectPath* op = own(_broker->eft->newObjectPath(_broker, _ns.c_str(), mc->name, &rc));
    if (!op) fail(CMPI_RC_ERR_FAILED, std::string("the broker could not make a path of ") + mc->name);
    for (uint32_t i = 0; i < mc->num_meta_features; i++) {
        const Meta_Feature* f = mc->meta_features[i];
        if (!is_key(f)) continue;
        CMPIValue v;
        CMPIType t;
        if (value_of(instance, f, v, t, true)) op->ft->addKey(op, f->name, argument(v, t), t);
    }
    return op;
}

CMPIInstance* Converter::to_instance(const Instance* instance) {
    const Meta_Class* mc = instance->meta_class;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIInstance* ci = own(_broker->eft->newInstance(_broker, to_path(instance), &rc));
    if (!ci) fail(CMPI_RC_ERR_FAILED, std::string("the broker could not make an instance of ") + mc->name);
    for (uint32_t i = 0; i < mc->num_meta_features; i++) {
        const Meta_Feature* f = mc->meta_features[i];
        if (!is_property(f) && !is_reference(f)) continue;
        CMPIValue v;
        CMPIType t = CMPI_null;
        bool present = value_of(instance, f, v, t, true);
        rc = ci->ft->setProperty(ci, f->name, present ? argument(v, t) : nullptr, t);
        if (!ok(rc)) fail(CMPI_RC_ERR_FAILED, std::string("the broker refused property ") + f->name);
    }
    return ci;
}

}  // namespace cmpi_adapter
}  // namespace cimple
