// What the CMPI object families share inside the host: the object header
// every handle points at, the concrete objects, and the helpers each
// family's functions use to find, make and release them. Private to the
// files that implement core/Objects.h; nothing else includes it.
//
// Each family (strings, arrays and datetimes; instances and object paths;
// what a call carries: arguments, enumerations, results, contexts, select
// expressions) keeps its function table and the functions in it to itself,
// and defines its objects' constructors, which point at that table.
#pragma once

#include <cimple/Meta.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/Objects.h"

namespace cimhost {
namespace objects {

constexpr uint32_t kMagic = 0x434d4f42;  // "CMOB"

enum class Kind : uint8_t {
    String,
    Array,
    DateTime,
    Instance,
    ObjectPath,
    Args,
    Enumeration,
    Result,
    Context,
    SelectExp
};

}  // namespace objects

struct ObjectBase {
    ObjectBase(objects::Kind k, ObjectSpace* s) : kind(k), space(s) {
        tag = Tag{objects::kMagic, this};
        if (space) space->liveObjects++;
    }
    virtual ~ObjectBase() {
        tag.magic = 0;
        if (space) space->liveObjects--;
    }
    ObjectBase(const ObjectBase&) = delete;
    ObjectBase& operator=(const ObjectBase&) = delete;

    // What a handle's hdl points at: plain data, so a foreign hdl can be
    // looked at without treating it as one of our objects.
    struct Tag {
        uint32_t magic;
        ObjectBase* self;
    } tag;
    objects::Kind kind;
    bool pinned = false;
    ObjectSpace* space;
    Arena* owner = nullptr;
    ObjectBase* prev = nullptr;
    ObjectBase* next = nullptr;
    // What this object handed out; valid while it lives.
    Arena children;
};

namespace objects {

// ---- Status helpers ---------------------------------------------------------

inline CMPIStatus fromStatus(const Status& s) { return fail(s.rc); }

// Runs `f`, turning an allocation failure (or any other exception) into
// CMPI_RC_ERR_FAILED so nothing unwinds into a provider.
template <class R, class F>
R guarded(CMPIStatus* rc, R fallback, F f) {
    try {
        return f();
    } catch (...) {
        setRc(rc, CMPI_RC_ERR_FAILED);
        return fallback;
    }
}

template <class F>
CMPIStatus guardedStatus(F f) {
    try {
        return f();
    } catch (...) {
        return fail(CMPI_RC_ERR_FAILED);
    }
}

// ---- The concrete objects ----------------------------------------------------

template <class C, class FT, Kind K>
struct Obj : ObjectBase {
    typedef C Cmpi;
    static constexpr Kind kKind = K;
    explicit Obj(ObjectSpace* s, const FT* ft) : ObjectBase(K, s) {
        cmpi.hdl = &this->tag;
        cmpi.ft = ft;
    }
    C cmpi;
};

struct StringObj : Obj<CMPIString, CMPIStringFT, Kind::String> {
    explicit StringObj(ObjectSpace* s);
    // Its own text, or (`lent`) a string property's inside the data of the
    // instance it was read from (see PathObj). A CMPIString never changes.
    std::string own;
    const std::string* lent = nullptr;

    const std::string& text() const { return lent ? *lent : own; }
};
struct ArrayObj : Obj<CMPIArray, CMPIArrayFT, Kind::Array> {
    explicit ArrayObj(ObjectSpace* s);
    CMPIType elementType = CMPI_null;
    std::vector<Value> items;
};
struct DateTimeObj : Obj<CMPIDateTime, CMPIDateTimeFT, Kind::DateTime> {
    explicit DateTimeObj(ObjectSpace* s);
    std::string text;
};
struct InstanceObj : Obj<CMPIInstance, CMPIInstanceFT, Kind::Instance> {
    explicit InstanceObj(ObjectSpace* s);

    // The data, shared with the results it was returned in (copy on write),
    // so returning an instance copies nothing until the provider changes it
    // afterwards. Every maker sets it.
    std::shared_ptr<Instance> held;
    // The class of held->path.className, when the host knows it.
    const cimple::Meta_Class* meta = nullptr;
    bool filtered = false;
    std::vector<std::string> filter;
    // Whether objects handed out (see lend()) look into *held. Until they
    // are freed with this one, the data they look into is neither changed
    // nor freed: a change goes to a copy, and what they look into is kept.
    bool lent = false;
    std::vector<std::shared_ptr<Instance>> keptForLent;

    const Instance& instance() const { return *held; }
    // For changes: the data made this object's own first.
    Instance& edit() {
        if (held.use_count() > 1 || lent) replace(std::make_shared<Instance>(*held));
        return *held;
    }
    void reset(Instance data) {
        replace(std::make_shared<Instance>(std::move(data)));
        classChanged();
    }
    // Shares `data` with its other holders until edit().
    void share(std::shared_ptr<Instance> data) {
        replace(std::move(data));
        classChanged();
    }
    // An object handed out looks into *held from now on.
    void lend() { lent = true; }
    void classChanged() { meta = space->findClass(held->path.className); }

private:
    void replace(std::shared_ptr<Instance> data) {
        if (lent && held) keptForLent.push_back(std::move(held));
        lent = false;
        held = std::move(data);
    }
};
struct PathObj : Obj<CMPIObjectPath, CMPIObjectPathFT, Kind::ObjectPath> {
    explicit PathObj(ObjectSpace* s);

    // The path: shared with the reference it was read from (copy on write,
    // as an instance's data), or, for a reference property of an instance
    // (`lent`), the reference inside that instance's data, which the
    // instance keeps unchanged while this lives (InstanceObj::lend).
    // Every maker sets one of them.
    std::shared_ptr<ObjectPath> held;
    const std::shared_ptr<ObjectPath>* lent = nullptr;

    const ObjectPath& path() const { return lent ? **lent : *held; }
    // The path as a reference value shares it.
    const std::shared_ptr<ObjectPath>& shared() const { return lent ? *lent : held; }
    // For changes: the path made this object's own first.
    ObjectPath& edit() {
        if (lent) {
            held = std::make_shared<ObjectPath>(**lent);
            lent = nullptr;
        } else if (held.use_count() > 1) {
            held = std::make_shared<ObjectPath>(*held);
        }
        return *held;
    }
};
struct ArgsObj : Obj<CMPIArgs, CMPIArgsFT, Kind::Args> {
    explicit ArgsObj(ObjectSpace* s);
    NamedValues args;
};
struct EnumObj : Obj<CMPIEnumeration, CMPIEnumerationFT, Kind::Enumeration> {
    explicit EnumObj(ObjectSpace* s);
    CMPIType elementType = CMPI_null;
    std::vector<Value> items;
    size_t next = 0;
};
struct ResultObj : Obj<CMPIResult, CMPIResultFT, Kind::Result> {
    explicit ResultObj(ObjectSpace* s);
    ResultData data;
};
struct ContextObj : Obj<CMPIContext, CMPIContextFT, Kind::Context> {
    explicit ContextObj(ObjectSpace* s);
    NamedValues entries;
    Arena* attachment = nullptr;
    Arena* previous = nullptr;
};
struct SelectObj : Obj<CMPISelectExp, CMPISelectExpFT, Kind::SelectExp> {
    explicit SelectObj(ObjectSpace* s);
    std::string query;
    std::string language;
};

// The object behind a handle, or null when the handle is null or not ours.
inline ObjectBase* baseOf(const void* handle) {
    if (!handle) return nullptr;
    // Every encapsulated type starts with { const void* hdl; const void* ft; }.
    const CMPIString* any = static_cast<const CMPIString*>(handle);
    if (!any->hdl) return nullptr;
    const ObjectBase::Tag* tag = static_cast<const ObjectBase::Tag*>(any->hdl);
    return tag->magic == kMagic ? tag->self : nullptr;
}

template <class T>
T* self(const typename T::Cmpi* handle) {
    ObjectBase* base = baseOf(handle);
    if (!base || base->kind != T::kKind) return nullptr;
    T* object = static_cast<T*>(base);
    return &object->cmpi == handle ? object : nullptr;
}

template <class T>
T* make(ObjectSpace& space, Arena& owner) {
    T* object = new T(&space);
    owner.adopt(object);
    return object;
}

// A copy for clone(): the caller owns it, the broker frees it if they don't.
template <class T>
T* cloneOf(const T& from) {
    return make<T>(*from.space, from.space->pool);
}

template <class T>
CMPIStatus releaseObject(typename T::Cmpi* handle) {
    T* object = self<T>(handle);
    if (!object) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    if (object->pinned) return ok();
    if (object->owner) object->owner->forget(object);
    delete object;
    return ok();
}

inline CMPIType normalType(CMPIType type) {
    if (type == CMPI_chars) return CMPI_string;
    if (type == (CMPI_chars | CMPI_ARRAY)) return CMPI_stringA;
    return type;
}

// CMPIData for a value, with its encapsulated parts made in `owner`.
CMPIData dataIn(ObjectSpace& space, Arena& owner, const Value& value);

inline CMPIString* childString(ObjectBase& parent, const std::string& text) {
    StringObj* s = make<StringObj>(*parent.space, parent.children);
    s->own = text;
    return &s->cmpi;
}

// Brings the object's path keys in line with its key properties (the path's
// own keys stay for classes the host does not know).
void syncKeys(InstanceObj& object);
// The instance with its path's keys taken from its properties.
Instance snapshot(const InstanceObj& object);

// Copies one field (a member, or a member function that reads it) out of a
// broker object, refusing handles that are not ours.
template <class O, class Field, class T>
Status readField(const typename O::Cmpi* handle, Field O::*field, const char* what, T* out) {
    O* o = self<O>(handle);
    if (!o) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, std::string("not a broker ") + what);
    *out = std::invoke(field, *o);
    return Status();
}

}  // namespace objects
}  // namespace cimhost
