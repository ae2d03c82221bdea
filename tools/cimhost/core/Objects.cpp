#include "core/Objects.h"

#include <cimple/Datetime.h>
#include <cimple/Meta.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "core/ValueVisitor.h"

namespace cimhost {

// ---- Object bookkeeping ------------------------------------------------------

namespace {

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

thread_local Arena* tCurrentArena = nullptr;

}  // namespace

struct ObjectBase {
    ObjectBase(Kind k, ObjectSpace* s) : kind(k), space(s) {
        tag = Tag{kMagic, this};
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
    Kind kind;
    bool pinned = false;
    ObjectSpace* space;
    Arena* owner = nullptr;
    ObjectBase* prev = nullptr;
    ObjectBase* next = nullptr;
    // What this object handed out; valid while it lives.
    Arena children;
};

Arena::~Arena() { clear(); }

void Arena::adopt(ObjectBase* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    object->owner = this;
    object->prev = nullptr;
    object->next = head_;
    if (head_) head_->prev = object;
    head_ = object;
    ++size_;
}

void Arena::forget(ObjectBase* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (object->owner != this) return;
    if (object->prev) object->prev->next = object->next;
    if (object->next) object->next->prev = object->prev;
    if (head_ == object) head_ = object->next;
    object->owner = nullptr;
    object->prev = object->next = nullptr;
    --size_;
}

void Arena::clear() {
    ObjectBase* list;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        list = head_;
        head_ = nullptr;
        size_ = 0;
    }
    // Deleted outside the lock: an object's children arena is another lock.
    while (list) {
        ObjectBase* next = list->next;
        list->owner = nullptr;
        delete list;
        list = next;
    }
}

size_t Arena::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_;
}

const cimple::Meta_Class* ObjectSpace::findClass(const std::string& className) const {
    {
        std::lock_guard<std::mutex> lock(foundMutex_);
        for (const auto& f : found_)
            if (sameName(f.first, className)) return f.second;
    }
    const cimple::Meta_Class* mc = classes.find(className);
    if (mc) {
        // Kept in the repository's spelling: one entry per class, however
        // callers spell it.
        std::lock_guard<std::mutex> lock(foundMutex_);
        bool known = false;
        for (const auto& f : found_) known = known || f.second == mc;
        if (!known) found_.emplace_back(mc->name, mc);
    }
    return mc;
}

bool ObjectSpace::isA(const std::string& derived, const std::string& base) const {
    const cimple::Meta_Class* d = findClass(derived);
    const cimple::Meta_Class* b = d ? findClass(base) : nullptr;
    return d && b && cimple::is_subclass(b, d);
}

CallScope::CallScope() : previous_(tCurrentArena) { tCurrentArena = &arena_; }

CallScope::~CallScope() { tCurrentArena = previous_; }

Arena& currentArena(ObjectSpace& space) { return tCurrentArena ? *tCurrentArena : space.pool; }

Arena* swapThreadArena(Arena* arena) {
    Arena* previous = tCurrentArena;
    tCurrentArena = arena;
    return previous;
}

namespace {

// ---- Status helpers ---------------------------------------------------------




CMPIStatus fromStatus(const Status& s) { return fail(s.rc); }

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

extern const CMPIStringFT stringFT;
extern const CMPIArrayFT arrayFT;
extern const CMPIDateTimeFT dateTimeFT;
extern const CMPIInstanceFT instanceFT;
extern const CMPIObjectPathFT objectPathFT;
extern const CMPIArgsFT argsFT;
extern const CMPIEnumerationFT enumerationFT;
extern const CMPIResultFT resultFT;
extern const CMPIContextFT contextFT;
extern const CMPISelectExpFT selectExpFT;

struct StringObj : Obj<CMPIString, CMPIStringFT, Kind::String> {
    explicit StringObj(ObjectSpace* s) : Obj(s, &stringFT) {}
    std::string text;
};
struct ArrayObj : Obj<CMPIArray, CMPIArrayFT, Kind::Array> {
    explicit ArrayObj(ObjectSpace* s) : Obj(s, &arrayFT) {}
    CMPIType elementType = CMPI_null;
    std::vector<Value> items;
};
struct DateTimeObj : Obj<CMPIDateTime, CMPIDateTimeFT, Kind::DateTime> {
    explicit DateTimeObj(ObjectSpace* s) : Obj(s, &dateTimeFT) {}
    std::string text;
};
struct InstanceObj : Obj<CMPIInstance, CMPIInstanceFT, Kind::Instance> {
    explicit InstanceObj(ObjectSpace* s) : Obj(s, &instanceFT) {}

    // The data, shared with the results it was returned in (copy on write),
    // so returning an instance copies nothing until the provider changes it
    // afterwards. Every maker sets it.
    std::shared_ptr<Instance> held;
    // The class of held->path.className, when the host knows it.
    const cimple::Meta_Class* meta = nullptr;
    bool filtered = false;
    std::vector<std::string> filter;

    const Instance& instance() const { return *held; }
    // For changes: the data made this object's own first.
    Instance& edit() {
        if (held.use_count() > 1) held = std::make_shared<Instance>(*held);
        return *held;
    }
    void reset(Instance data) {
        held = std::make_shared<Instance>(std::move(data));
        classChanged();
    }
    void classChanged() { meta = space->findClass(held->path.className); }
};
struct PathObj : Obj<CMPIObjectPath, CMPIObjectPathFT, Kind::ObjectPath> {
    explicit PathObj(ObjectSpace* s) : Obj(s, &objectPathFT) {}
    ObjectPath path;
};
struct ArgsObj : Obj<CMPIArgs, CMPIArgsFT, Kind::Args> {
    explicit ArgsObj(ObjectSpace* s) : Obj(s, &argsFT) {}
    NamedValues args;
};
struct EnumObj : Obj<CMPIEnumeration, CMPIEnumerationFT, Kind::Enumeration> {
    explicit EnumObj(ObjectSpace* s) : Obj(s, &enumerationFT) {}
    CMPIType elementType = CMPI_null;
    std::vector<Value> items;
    size_t next = 0;
};
struct ResultObj : Obj<CMPIResult, CMPIResultFT, Kind::Result> {
    explicit ResultObj(ObjectSpace* s) : Obj(s, &resultFT) {}
    ResultData data;
};
struct ContextObj : Obj<CMPIContext, CMPIContextFT, Kind::Context> {
    explicit ContextObj(ObjectSpace* s) : Obj(s, &contextFT) {}
    NamedValues entries;
    Arena* attachment = nullptr;
    Arena* previous = nullptr;
};
struct SelectObj : Obj<CMPISelectExp, CMPISelectExpFT, Kind::SelectExp> {
    explicit SelectObj(ObjectSpace* s) : Obj(s, &selectExpFT) {}
    std::string query;
    std::string language;
};

// The object behind a handle, or null when the handle is null or not ours.
ObjectBase* baseOf(const void* handle) {
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

CMPIType normalType(CMPIType type) {
    if (type == CMPI_chars) return CMPI_string;
    if (type == (CMPI_chars | CMPI_ARRAY)) return CMPI_stringA;
    return type;
}

// Types a host value can hold.
bool storableType(CMPIType type) {
    switch (type & ~CMPI_ARRAY) {
        case CMPI_boolean:
        case CMPI_char16:
        case CMPI_real32:
        case CMPI_real64:
        case CMPI_uint8:
        case CMPI_uint16:
        case CMPI_uint32:
        case CMPI_uint64:
        case CMPI_sint8:
        case CMPI_sint16:
        case CMPI_sint32:
        case CMPI_sint64:
        case CMPI_string:
        case CMPI_chars:
        case CMPI_dateTime:
        case CMPI_ref:
        case CMPI_instance:
            return true;
        default:
            return false;
    }
}

// CMPIData for a value, with its encapsulated parts made in `owner`.
class DataIn : public ValueVisitor<DataIn, CMPIData> {
public:
    DataIn(ObjectSpace& space, Arena& owner, CMPIType type) : space_(space), owner_(owner) {
        d_.type = type;
        d_.state = CMPI_goodValue;
        d_.value.uint64 = 0;
    }

    CMPIData null(CMPIType) {
        d_.state = CMPI_nullValue;
        return d_;
    }
    CMPIData array(CMPIType elementType, const std::vector<Value>& items) {
        ArrayObj* a = make<ArrayObj>(space_, owner_);
        a->elementType = elementType;
        a->items = items;
        d_.value.array = &a->cmpi;
        return d_;
    }
    CMPIData boolean(bool b) { return set<CMPIBoolean>(&CMPIValue::boolean, b ? 1 : 0); }
    CMPIData char16(uint16_t c) { return set<CMPIChar16>(&CMPIValue::char16, c); }
    CMPIData uint8(uint8_t x) { return set<CMPIUint8>(&CMPIValue::uint8, x); }
    CMPIData uint16(uint16_t x) { return set<CMPIUint16>(&CMPIValue::uint16, x); }
    CMPIData uint32(uint32_t x) { return set<CMPIUint32>(&CMPIValue::uint32, x); }
    CMPIData uint64(uint64_t x) { return set<CMPIUint64>(&CMPIValue::uint64, x); }
    CMPIData sint8(int8_t x) { return set<CMPISint8>(&CMPIValue::sint8, x); }
    CMPIData sint16(int16_t x) { return set<CMPISint16>(&CMPIValue::sint16, x); }
    CMPIData sint32(int32_t x) { return set<CMPISint32>(&CMPIValue::sint32, x); }
    CMPIData sint64(int64_t x) { return set<CMPISint64>(&CMPIValue::sint64, x); }
    CMPIData real32(float x) { return set<CMPIReal32>(&CMPIValue::real32, x); }
    CMPIData real64(double x) { return set<CMPIReal64>(&CMPIValue::real64, x); }
    CMPIData string(const std::string& text) {
        StringObj* s = make<StringObj>(space_, owner_);
        s->text = text;
        d_.value.string = &s->cmpi;
        return d_;
    }
    CMPIData datetime(const std::string& cimText) {
        DateTimeObj* t = make<DateTimeObj>(space_, owner_);
        t->text = cimText;
        d_.value.dateTime = &t->cmpi;
        return d_;
    }
    CMPIData reference(const ObjectPath& path) {
        PathObj* p = make<PathObj>(space_, owner_);
        p->path = path;
        d_.value.ref = &p->cmpi;
        return d_;
    }
    CMPIData instance(const Instance& inst) {
        InstanceObj* i = make<InstanceObj>(space_, owner_);
        i->reset(inst);
        d_.value.inst = &i->cmpi;
        return d_;
    }
    CMPIData other(const Value&) {
        d_.state = CMPI_badValue;
        return d_;
    }

private:
    template <class T>
    CMPIData set(T CMPIValue::*member, T x) {
        d_.value.*member = x;
        return d_;
    }

    ObjectSpace& space_;
    Arena& owner_;
    CMPIData d_;
};

CMPIData dataIn(ObjectSpace& space, Arena& owner, const Value& value) {
    DataIn writer(space, owner, value.type());
    return visitValue(value, writer);
}

CMPIString* childString(ObjectBase& parent, const std::string& text) {
    StringObj* s = make<StringObj>(*parent.space, parent.children);
    s->text = text;
    return &s->cmpi;
}

// Calls f(name) for each key property and reference of `mc`, inherited
// first; nothing for classes the host does not know (null).
template <class F>
void forEachKey(const cimple::Meta_Class* mc, F f) {
    if (!mc) return;
    for (uint32_t i = 0; i < mc->num_meta_features; ++i) {
        const cimple::Meta_Feature* feature = mc->meta_features[i];
        if ((feature->flags & cimple::CIMPLE_FLAG_KEY) &&
            (feature->flags & (cimple::CIMPLE_FLAG_PROPERTY | cimple::CIMPLE_FLAG_REFERENCE)))
            f(feature->name);
    }
}

// Brings the object's path keys in line with its key properties (the path's
// own keys stay for classes the host does not know). Nothing reads the path
// keys but through here, so doing it in place is not seen by the provider.
void syncKeys(InstanceObj& object) {
    forEachKey(object.meta, [&](const char* key) {
        const Value* v = object.instance().properties.find(key);
        if (!v) return;
        const Value* current = object.instance().path.keys.find(key);
        if (current && *current == *v) return;
        Instance& own = object.edit();
        own.path.keys.set(key, *own.properties.find(key));
    });
}

// The instance with its path's keys taken from its properties.
Instance snapshot(const InstanceObj& object) {
    Instance out = object.instance();
    forEachKey(object.meta, [&](const char* key) {
        const Value* v = out.properties.find(key);
        if (v) out.path.keys.set(key, *v);
    });
    return out;
}

bool passesFilter(const InstanceObj& object, const char* name) {
    if (!object.filtered) return true;
    std::string_view wanted(name);
    for (const std::string& f : object.filter)
        if (sameName(std::string_view(f), wanted)) return true;
    bool key = false;
    forEachKey(object.meta, [&](const char* k) { key = key || sameName(std::string_view(k), wanted); });
    return key;
}

// ---- CMPIString ----------------------------------------------------------------

CMPIStatus stringRelease(CMPIString* s) { return releaseObject<StringObj>(s); }

CMPIString* stringClone(const CMPIString* s, CMPIStatus* rc) {
    StringObj* o = self<StringObj>(s);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIString*>(rc, nullptr, [&] {
        StringObj* c = cloneOf(*o);
        c->text = o->text;
        setRc(rc, CMPI_RC_OK);
        return &c->cmpi;
    });
}

const char* stringChars(const CMPIString* s, CMPIStatus* rc) {
    StringObj* o = self<StringObj>(s);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    setRc(rc, CMPI_RC_OK);
    return o->text.c_str();
}

// ---- CMPIArray -------------------------------------------------------------------

CMPIStatus arrayRelease(CMPIArray* a) { return releaseObject<ArrayObj>(a); }

CMPIArray* arrayClone(const CMPIArray* a, CMPIStatus* rc) {
    ArrayObj* o = self<ArrayObj>(a);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIArray*>(rc, nullptr, [&] {
        ArrayObj* c = cloneOf(*o);
        c->elementType = o->elementType;
        c->items = o->items;
        setRc(rc, CMPI_RC_OK);
        return &c->cmpi;
    });
}

CMPICount arraySize(const CMPIArray* a, CMPIStatus* rc) {
    ArrayObj* o = self<ArrayObj>(a);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), 0;
    setRc(rc, CMPI_RC_OK);
    return static_cast<CMPICount>(o->items.size());
}

CMPIType arrayType(const CMPIArray* a, CMPIStatus* rc) {
    ArrayObj* o = self<ArrayObj>(a);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), CMPI_null;
    setRc(rc, CMPI_RC_OK);
    return o->elementType;
}

CMPIData arrayGet(const CMPIArray* a, CMPICount index, CMPIStatus* rc) {
    ArrayObj* o = self<ArrayObj>(a);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), badData();
    if (index >= o->items.size()) return setRc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY), badData();
    return guarded<CMPIData>(rc, badData(), [&] {
        CMPIData d = dataIn(*o->space, o->children, o->items[index]);
        if (o->items[index].isNull()) d.type = o->elementType;
        setRc(rc, CMPI_RC_OK);
        return d;
    });
}

CMPIStatus arraySet(const CMPIArray* a, CMPICount index, const CMPIValue* value, CMPIType type) {
    ArrayObj* o = self<ArrayObj>(a);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    if (index >= o->items.size()) return fail(CMPI_RC_ERR_NO_SUCH_PROPERTY);
    if (normalType(type) != o->elementType) return fail(CMPI_RC_ERR_TYPE_MISMATCH);
    return guardedStatus([&] {
        Value v;
        Status s = readValue(value, type, &v);
        if (!s.ok()) return fromStatus(s);
        o->items[index] = std::move(v);
        return ok();
    });
}

// ---- CMPIDateTime ------------------------------------------------------------

CMPIStatus dateTimeRelease(CMPIDateTime* t) { return releaseObject<DateTimeObj>(t); }

CMPIDateTime* dateTimeClone(const CMPIDateTime* t, CMPIStatus* rc) {
    DateTimeObj* o = self<DateTimeObj>(t);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIDateTime*>(rc, nullptr, [&] {
        DateTimeObj* c = cloneOf(*o);
        c->text = o->text;
        setRc(rc, CMPI_RC_OK);
        return &c->cmpi;
    });
}

CMPIUint64 dateTimeBinary(const CMPIDateTime* t, CMPIStatus* rc) {
    DateTimeObj* o = self<DateTimeObj>(t);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), 0;
    uint64_t micros = 0;
    bool interval = false;
    if (!parseDateTime(o->text, &micros, &interval)) return setRc(rc, CMPI_RC_ERR_FAILED), 0;
    setRc(rc, CMPI_RC_OK);
    return micros;
}

CMPIString* dateTimeText(const CMPIDateTime* t, CMPIStatus* rc) {
    DateTimeObj* o = self<DateTimeObj>(t);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIString*>(rc, nullptr, [&] {
        setRc(rc, CMPI_RC_OK);
        return childString(*o, o->text);
    });
}

CMPIBoolean dateTimeIsInterval(const CMPIDateTime* t, CMPIStatus* rc) {
    DateTimeObj* o = self<DateTimeObj>(t);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), 0;
    setRc(rc, CMPI_RC_OK);
    return o->text.size() == 25 && o->text[21] == ':';
}

// ---- CMPIInstance --------------------------------------------------------------

CMPIStatus instanceRelease(CMPIInstance* i) { return releaseObject<InstanceObj>(i); }

CMPIInstance* instanceClone(const CMPIInstance* i, CMPIStatus* rc) {
    InstanceObj* o = self<InstanceObj>(i);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIInstance*>(rc, nullptr, [&] {
        InstanceObj* c = cloneOf(*o);
        // A clone often goes to another thread: it gets its own copy.
        c->held = std::make_shared<Instance>(o->instance());
        c->meta = o->meta;
        c->filtered = o->filtered;
        c->filter = o->filter;
        setRc(rc, CMPI_RC_OK);
        return &c->cmpi;
    });
}

CMPIData instanceGet(const CMPIInstance* i, const char* name, CMPIStatus* rc) {
    InstanceObj* o = self<InstanceObj>(i);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), badData();
    if (!name) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), badData();
    return guarded<CMPIData>(rc, badData(), [&] {
        const Value* v = o->instance().properties.find(name);
        if (v) {
            setRc(rc, CMPI_RC_OK);
            return dataIn(*o->space, o->children, *v);
        }
        // A property of the class that was never set reads as a typed null.
        CMPIType type = CMPI_null;
        if (!o->space->classes.featureType(o->instance().path.className, name, &type)) {
            setRc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
            return badData();
        }
        setRc(rc, CMPI_RC_OK);
        CMPIData d = dataIn(*o->space, o->children, Value::null(type));
        return d;
    });
}

CMPIData instanceGetAt(const CMPIInstance* i, CMPICount index, CMPIString** name, CMPIStatus* rc) {
    InstanceObj* o = self<InstanceObj>(i);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), badData();
    if (index >= o->instance().properties.size()) return setRc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY), badData();
    return guarded<CMPIData>(rc, badData(), [&] {
        const auto& item = o->instance().properties.at(index);
        if (name) *name = childString(*o, item.first);
        setRc(rc, CMPI_RC_OK);
        return dataIn(*o->space, o->children, item.second);
    });
}

CMPICount instanceCount(const CMPIInstance* i, CMPIStatus* rc) {
    InstanceObj* o = self<InstanceObj>(i);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), 0;
    setRc(rc, CMPI_RC_OK);
    return static_cast<CMPICount>(o->instance().properties.size());
}

CMPIStatus instanceSet(const CMPIInstance* i, const char* name, const CMPIValue* value, CMPIType type) {
    InstanceObj* o = self<InstanceObj>(i);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    if (!name || !*name) return fail(CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        if (!passesFilter(*o, name)) return ok();
        Value v;
        Status s = readValue(value, type, &v);
        if (!s.ok()) return fromStatus(s);
        o->edit().properties.set(name, std::move(v));
        return ok();
    });
}

CMPIStatus instanceSetWithOrigin(const CMPIInstance* i, const char* name, const CMPIValue* value,
                                 CMPIType type, const char*) {
    return instanceSet(i, name, value, type);
}

CMPIObjectPath* instancePath(const CMPIInstance* i, CMPIStatus* rc) {
    InstanceObj* o = self<InstanceObj>(i);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIObjectPath*>(rc, nullptr, [&] {
        setRc(rc, CMPI_RC_OK);
        return newCmpiObjectPath(*o->space, snapshot(*o).path);
    });
}

CMPIStatus instanceSetFilter(const CMPIInstance* i, const char** properties, const char**) {
    InstanceObj* o = self<InstanceObj>(i);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    return guardedStatus([&] {
        o->filter.clear();
        o->filtered = properties != nullptr;
        for (const char** p = properties; p && *p; ++p) o->filter.push_back(*p);
        return ok();
    });
}

CMPIStatus instanceSetPath(const CMPIInstance* i, const CMPIObjectPath* op) {
    InstanceObj* o = self<InstanceObj>(i);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    PathObj* p = self<PathObj>(op);
    if (!p) return fail(op ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        Instance& own = o->edit();
        own.path = p->path;
        o->classChanged();
        // Keys are properties too: getProperty must see what the path says.
        for (const auto& key : p->path.keys) own.properties.set(key.first, key.second);
        return ok();
    });
}

// ---- CMPIObjectPath ------------------------------------------------------------

CMPIStatus pathRelease(CMPIObjectPath* p) { return releaseObject<PathObj>(p); }

CMPIObjectPath* pathClone(const CMPIObjectPath* p, CMPIStatus* rc) {
    PathObj* o = self<PathObj>(p);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIObjectPath*>(rc, nullptr, [&] {
        PathObj* c = cloneOf(*o);
        c->path = o->path;
        setRc(rc, CMPI_RC_OK);
        return &c->cmpi;
    });
}

template <std::string ObjectPath::*Field>
CMPIStatus pathSetText(const CMPIObjectPath* p, const char* text) {
    PathObj* o = self<PathObj>(p);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    if (!text) return fail(CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        o->path.*Field = text;
        return ok();
    });
}

template <std::string ObjectPath::*Field>
CMPIString* pathGetText(const CMPIObjectPath* p, CMPIStatus* rc) {
    PathObj* o = self<PathObj>(p);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIString*>(rc, nullptr, [&] {
        setRc(rc, CMPI_RC_OK);
        return childString(*o, o->path.*Field);
    });
}

CMPIStatus pathAddKey(const CMPIObjectPath* p, const char* name, const CMPIValue* value, CMPIType type) {
    PathObj* o = self<PathObj>(p);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    if (!name || !*name) return fail(CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        Value v;
        Status s = readValue(value, type, &v);
        if (!s.ok()) return fromStatus(s);
        o->path.keys.set(name, std::move(v));
        return ok();
    });
}

CMPIData pathGetKey(const CMPIObjectPath* p, const char* name, CMPIStatus* rc) {
    PathObj* o = self<PathObj>(p);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), badData();
    if (!name) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), badData();
    return guarded<CMPIData>(rc, badData(), [&] {
        const Value* v = o->path.keys.find(name);
        if (!v) return setRc(rc, CMPI_RC_ERR_NOT_FOUND), badData();
        CMPIData d = dataIn(*o->space, o->children, *v);
        d.state |= CMPI_keyValue;
        setRc(rc, CMPI_RC_OK);
        return d;
    });
}

CMPIData pathGetKeyAt(const CMPIObjectPath* p, CMPICount index, CMPIString** name, CMPIStatus* rc) {
    PathObj* o = self<PathObj>(p);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), badData();
    if (index >= o->path.keys.size()) return setRc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY), badData();
    return guarded<CMPIData>(rc, badData(), [&] {
        const auto& item = o->path.keys.at(index);
        if (name) *name = childString(*o, item.first);
        CMPIData d = dataIn(*o->space, o->children, item.second);
        d.state |= CMPI_keyValue;
        setRc(rc, CMPI_RC_OK);
        return d;
    });
}

CMPICount pathKeyCount(const CMPIObjectPath* p, CMPIStatus* rc) {
    PathObj* o = self<PathObj>(p);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), 0;
    setRc(rc, CMPI_RC_OK);
    return static_cast<CMPICount>(o->path.keys.size());
}

CMPIStatus pathNameSpaceFrom(const CMPIObjectPath* p, const CMPIObjectPath* src) {
    PathObj* o = self<PathObj>(p);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    PathObj* s = self<PathObj>(src);
    if (!s) return fail(src ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        o->path.nameSpace = s->path.nameSpace;
        return ok();
    });
}

CMPIStatus pathHostAndNameSpaceFrom(const CMPIObjectPath* p, const CMPIObjectPath* src) {
    PathObj* o = self<PathObj>(p);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    PathObj* s = self<PathObj>(src);
    if (!s) return fail(src ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        o->path.nameSpace = s->path.nameSpace;
        o->path.host = s->path.host;
        return ok();
    });
}

// The host keeps no qualifiers.
CMPIData pathClassQualifier(const CMPIObjectPath* p, const char*, CMPIStatus* rc) {
    setRc(rc, self<PathObj>(p) ? CMPI_RC_ERR_NOT_SUPPORTED : CMPI_RC_ERR_INVALID_HANDLE);
    return badData();
}
CMPIData pathPropertyQualifier(const CMPIObjectPath* p, const char*, const char*, CMPIStatus* rc) {
    return pathClassQualifier(p, nullptr, rc);
}
CMPIData pathMethodQualifier(const CMPIObjectPath* p, const char*, const char*, CMPIStatus* rc) {
    return pathClassQualifier(p, nullptr, rc);
}
CMPIData pathParameterQualifier(const CMPIObjectPath* p, const char*, const char*, const char*,
                                CMPIStatus* rc) {
    return pathClassQualifier(p, nullptr, rc);
}

CMPIString* pathToString(const CMPIObjectPath* p, CMPIStatus* rc) {
    PathObj* o = self<PathObj>(p);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIString*>(rc, nullptr, [&] {
        setRc(rc, CMPI_RC_OK);
        return childString(*o, o->path.toText());
    });
}

// ---- CMPIArgs ------------------------------------------------------------------

CMPIStatus argsRelease(CMPIArgs* a) { return releaseObject<ArgsObj>(a); }

CMPIArgs* argsClone(const CMPIArgs* a, CMPIStatus* rc) {
    ArgsObj* o = self<ArgsObj>(a);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIArgs*>(rc, nullptr, [&] {
        ArgsObj* c = cloneOf(*o);
        c->args = o->args;
        setRc(rc, CMPI_RC_OK);
        return &c->cmpi;
    });
}

// Args and contexts are both named values; one set of functions serves both,
// told apart by where the object keeps them and what a missing name answers.
template <class O, NamedValues O::*Items, CMPIrc Missing>
struct NamedAccess {
    typedef typename O::Cmpi Cmpi;

    static CMPIStatus add(const Cmpi* h, const char* name, const CMPIValue* value, CMPIType type) {
        O* o = self<O>(h);
        if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
        if (!name || !*name) return fail(CMPI_RC_ERR_INVALID_PARAMETER);
        return guardedStatus([&] {
            Value v;
            Status s = readValue(value, type, &v);
            if (!s.ok()) return fromStatus(s);
            (o->*Items).set(name, std::move(v));
            return ok();
        });
    }
    static CMPIData get(const Cmpi* h, const char* name, CMPIStatus* rc) {
        O* o = self<O>(h);
        if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), badData();
        if (!name) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), badData();
        return guarded<CMPIData>(rc, badData(), [&] {
            const Value* v = (o->*Items).find(name);
            if (!v) return setRc(rc, Missing), badData();
            setRc(rc, CMPI_RC_OK);
            return dataIn(*o->space, o->children, *v);
        });
    }
    static CMPIData getAt(const Cmpi* h, CMPICount index, CMPIString** name, CMPIStatus* rc) {
        O* o = self<O>(h);
        if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), badData();
        if (index >= (o->*Items).size()) return setRc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY), badData();
        return guarded<CMPIData>(rc, badData(), [&] {
            const auto& item = (o->*Items).at(index);
            if (name) *name = childString(*o, item.first);
            setRc(rc, CMPI_RC_OK);
            return dataIn(*o->space, o->children, item.second);
        });
    }
    static CMPICount count(const Cmpi* h, CMPIStatus* rc) {
        O* o = self<O>(h);
        if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), 0;
        setRc(rc, CMPI_RC_OK);
        return static_cast<CMPICount>((o->*Items).size());
    }
};
typedef NamedAccess<ArgsObj, &ArgsObj::args, CMPI_RC_ERR_NOT_FOUND> ArgsAccess;
typedef NamedAccess<ContextObj, &ContextObj::entries, CMPI_RC_ERR_NO_SUCH_PROPERTY> ContextAccess;

CMPIStatus argsAdd(const CMPIArgs* a, const char* name, const CMPIValue* value, CMPIType type) {
    return ArgsAccess::add(a, name, value, type);
}
CMPIData argsGet(const CMPIArgs* a, const char* name, CMPIStatus* rc) { return ArgsAccess::get(a, name, rc); }
CMPIData argsGetAt(const CMPIArgs* a, CMPICount index, CMPIString** name, CMPIStatus* rc) {
    return ArgsAccess::getAt(a, index, name, rc);
}
CMPICount argsCount(const CMPIArgs* a, CMPIStatus* rc) { return ArgsAccess::count(a, rc); }

// ---- CMPIEnumeration -----------------------------------------------------------

CMPIStatus enumRelease(CMPIEnumeration* e) { return releaseObject<EnumObj>(e); }

CMPIEnumeration* enumClone(const CMPIEnumeration* e, CMPIStatus* rc) {
    EnumObj* o = self<EnumObj>(e);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIEnumeration*>(rc, nullptr, [&] {
        EnumObj* c = cloneOf(*o);
        c->elementType = o->elementType;
        c->items = o->items;
        c->next = o->next;
        setRc(rc, CMPI_RC_OK);
        return &c->cmpi;
    });
}

CMPIData enumNext(const CMPIEnumeration* e, CMPIStatus* rc) {
    EnumObj* o = self<EnumObj>(e);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), badData();
    if (o->next >= o->items.size()) return setRc(rc, CMPI_RC_NO_MORE_ELEMENTS), badData();
    return guarded<CMPIData>(rc, badData(), [&] {
        CMPIData d = dataIn(*o->space, o->children, o->items[o->next]);
        ++o->next;
        setRc(rc, CMPI_RC_OK);
        return d;
    });
}

CMPIBoolean enumHasNext(const CMPIEnumeration* e, CMPIStatus* rc) {
    EnumObj* o = self<EnumObj>(e);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), 0;
    setRc(rc, CMPI_RC_OK);
    return o->next < o->items.size();
}

CMPIArray* enumToArray(const CMPIEnumeration* e, CMPIStatus* rc) {
    EnumObj* o = self<EnumObj>(e);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIArray*>(rc, nullptr, [&] {
        std::vector<Value> rest(o->items.begin() + static_cast<std::ptrdiff_t>(o->next), o->items.end());
        setRc(rc, CMPI_RC_OK);
        return newCmpiArray(*o->space, o->elementType, std::move(rest));
    });
}

// ---- CMPIResult ----------------------------------------------------------------

CMPIStatus resultRelease(CMPIResult* r) { return releaseObject<ResultObj>(r); }

CMPIResult* resultClone(const CMPIResult* r, CMPIStatus* rc) {
    setRc(rc, self<ResultObj>(r) ? CMPI_RC_ERR_NOT_SUPPORTED : CMPI_RC_ERR_INVALID_HANDLE);
    return nullptr;
}

CMPIStatus resultData(const CMPIResult* r, const CMPIValue* value, CMPIType type) {
    ResultObj* o = self<ResultObj>(r);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    return guardedStatus([&] {
        Value v;
        Status s = readValue(value, type, &v);
        if (!s.ok()) return fromStatus(s);
        o->data.values.push_back(std::move(v));
        return ok();
    });
}

CMPIStatus resultInstance(const CMPIResult* r, const CMPIInstance* inst) {
    ResultObj* o = self<ResultObj>(r);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    if (!inst) return fail(CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        InstanceObj* i = self<InstanceObj>(inst);
        if (!i) return fail(CMPI_RC_ERR_INVALID_HANDLE);
        syncKeys(*i);
        o->data.values.push_back(Value::sharedInstance(i->held));
        return ok();
    });
}

CMPIStatus resultPath(const CMPIResult* r, const CMPIObjectPath* op) {
    ResultObj* o = self<ResultObj>(r);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    if (!op) return fail(CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        ObjectPath p;
        Status s = readObjectPath(op, &p);
        if (!s.ok()) return fromStatus(s);
        o->data.values.push_back(Value::reference(std::move(p)));
        return ok();
    });
}

CMPIStatus resultDone(const CMPIResult* r) {
    ResultObj* o = self<ResultObj>(r);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    o->data.done = true;
    return ok();
}

CMPIStatus resultError(const CMPIResult* r, const CMPIError*) {
    return fail(self<ResultObj>(r) ? CMPI_RC_ERR_NOT_SUPPORTED : CMPI_RC_ERR_INVALID_HANDLE);
}

// ---- CMPIContext ---------------------------------------------------------------

CMPIStatus contextRelease(CMPIContext* c) { return releaseObject<ContextObj>(c); }

CMPIContext* contextClone(const CMPIContext* c, CMPIStatus* rc) {
    ContextObj* o = self<ContextObj>(c);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIContext*>(rc, nullptr, [&] {
        ContextObj* copy = cloneOf(*o);
        copy->entries = o->entries;
        setRc(rc, CMPI_RC_OK);
        return &copy->cmpi;
    });
}

CMPIData contextGet(const CMPIContext* c, const char* name, CMPIStatus* rc) {
    return ContextAccess::get(c, name, rc);
}
CMPIData contextGetAt(const CMPIContext* c, CMPICount index, CMPIString** name, CMPIStatus* rc) {
    return ContextAccess::getAt(c, index, name, rc);
}
CMPICount contextCount(const CMPIContext* c, CMPIStatus* rc) { return ContextAccess::count(c, rc); }
CMPIStatus contextAdd(const CMPIContext* c, const char* name, const CMPIValue* value, CMPIType type) {
    return ContextAccess::add(c, name, value, type);
}

// ---- CMPISelectExp -------------------------------------------------------------

CMPIStatus selectRelease(CMPISelectExp* e) { return releaseObject<SelectObj>(e); }

CMPISelectExp* selectClone(const CMPISelectExp* e, CMPIStatus* rc) {
    SelectObj* o = self<SelectObj>(e);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPISelectExp*>(rc, nullptr, [&] {
        SelectObj* c = cloneOf(*o);
        c->query = o->query;
        c->language = o->language;
        setRc(rc, CMPI_RC_OK);
        return &c->cmpi;
    });
}

CMPIString* selectString(const CMPISelectExp* e, CMPIStatus* rc) {
    SelectObj* o = self<SelectObj>(e);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIString*>(rc, nullptr, [&] {
        setRc(rc, CMPI_RC_OK);
        return childString(*o, o->query);
    });
}

// Evaluation and normal forms are the indication service's business, not
// the providers'.
CMPIBoolean selectEvaluate(const CMPISelectExp* e, const CMPIInstance*, CMPIStatus* rc) {
    setRc(rc, self<SelectObj>(e) ? CMPI_RC_ERR_NOT_SUPPORTED : CMPI_RC_ERR_INVALID_HANDLE);
    return 0;
}
CMPISelectCond* selectCond(const CMPISelectExp* e, CMPIStatus* rc) {
    setRc(rc, self<SelectObj>(e) ? CMPI_RC_ERR_NOT_SUPPORTED : CMPI_RC_ERR_INVALID_HANDLE);
    return nullptr;
}
CMPIBoolean selectEvaluateAccessor(const CMPISelectExp* e, CMPIAccessor*, void*, CMPIStatus* rc) {
    return selectEvaluate(e, nullptr, rc);
}

// ---- Function tables -------------------------------------------------------------

const CMPIStringFT stringFT = {CMPICurrentVersion, stringRelease, stringClone, stringChars};
const CMPIArrayFT arrayFT = {CMPICurrentVersion, arrayRelease, arrayClone, arraySize,
                             arrayType,          arrayGet,     arraySet};
const CMPIDateTimeFT dateTimeFT = {CMPICurrentVersion, dateTimeRelease, dateTimeClone,
                                   dateTimeBinary,     dateTimeText,    dateTimeIsInterval};
const CMPIInstanceFT instanceFT = {CMPICurrentVersion, instanceRelease, instanceClone,        instanceGet,
                                   instanceGetAt,      instanceCount,   instanceSet,          instancePath,
                                   instanceSetFilter,  instanceSetPath, instanceSetWithOrigin};
const CMPIObjectPathFT objectPathFT = {CMPICurrentVersion,
                                       pathRelease,
                                       pathClone,
                                       pathSetText<&ObjectPath::nameSpace>,
                                       pathGetText<&ObjectPath::nameSpace>,
                                       pathSetText<&ObjectPath::host>,
                                       pathGetText<&ObjectPath::host>,
                                       pathSetText<&ObjectPath::className>,
                                       pathGetText<&ObjectPath::className>,
                                       pathAddKey,
                                       pathGetKey,
                                       pathGetKeyAt,
                                       pathKeyCount,
                                       pathNameSpaceFrom,
                                       pathHostAndNameSpaceFrom,
                                       pathClassQualifier,
                                       pathPropertyQualifier,
                                       pathMethodQualifier,
                                       pathParameterQualifier,
                                       pathToString};
const CMPIArgsFT argsFT = {CMPICurrentVersion, argsRelease, argsClone, argsAdd, argsGet,
                           argsGetAt,          argsCount};
const CMPIEnumerationFT enumerationFT = {CMPICurrentVersion, enumRelease, enumClone,
                                         enumNext,           enumHasNext, enumToArray};
const CMPIResultFT resultFT = {CMPICurrentVersion, resultRelease, resultClone, resultData,
                               resultInstance,     resultPath,    resultDone,  resultError};
const CMPIContextFT contextFT = {CMPICurrentVersion, contextRelease, contextClone, contextGet,
                                 contextGetAt,       contextCount,   contextAdd};
const CMPISelectExpFT selectExpFT = {CMPICurrentVersion, selectRelease, selectClone, selectEvaluate,
                                     selectString,       selectCond,    selectCond,  selectEvaluateAccessor};

}  // namespace

// The framework's datetime already reads and writes the CIM text forms; the
// host only refuses what the text cannot show instead of clamping it.
bool parseDateTime(const std::string& t, uint64_t* micros, bool* interval) {
    cimple::Datetime d;
    if (t.size() != cimple::Datetime::TEXT_SIZE || !d.set(t.c_str())) return false;
    *interval = d.is_interval();
    *micros = d.usec();
    return true;
}

bool formatDateTime(uint64_t micros, bool interval, std::string* text) {
    // 10000-01-01 00:00 UTC, and 10^8 days: the first values with no text.
    constexpr uint64_t kNoTimestamp = 253402300800ull * 1000000;
    constexpr uint64_t kNoInterval = 100000000ull * 86400 * 1000000;
    if (micros >= (interval ? kNoInterval : kNoTimestamp)) return false;
    cimple::Datetime d;
    if (interval)
        d.set_interval(micros);
    else
        d.set_timestamp(micros, 0);
    char buf[cimple::Datetime::TEXT_SIZE + 1];
    *text = d.ascii(buf);
    return true;
}

// ---- Public makers -----------------------------------------------------------

CMPIString* newCmpiString(ObjectSpace& space, std::string text) {
    StringObj* o = make<StringObj>(space, currentArena(space));
    o->text = std::move(text);
    return &o->cmpi;
}

CMPIArray* newCmpiArray(ObjectSpace& space, CMPIType elementType, std::vector<Value> items) {
    ArrayObj* o = make<ArrayObj>(space, currentArena(space));
    o->elementType = normalType(static_cast<CMPIType>(elementType & ~CMPI_ARRAY));
    o->items = std::move(items);
    return &o->cmpi;
}

CMPIDateTime* newCmpiDateTime(ObjectSpace& space, std::string cimText) {
    DateTimeObj* o = make<DateTimeObj>(space, currentArena(space));
    o->text = std::move(cimText);
    return &o->cmpi;
}

CMPIInstance* newCmpiInstance(ObjectSpace& space, Instance instance) {
    InstanceObj* o = make<InstanceObj>(space, currentArena(space));
    o->reset(std::move(instance));
    // Room for every feature up front: providers set them one by one.
    if (o->meta) o->held->properties.reserve(o->meta->num_meta_features);
    return &o->cmpi;
}

CMPIObjectPath* newCmpiObjectPath(ObjectSpace& space, ObjectPath path) {
    PathObj* o = make<PathObj>(space, currentArena(space));
    o->path = std::move(path);
    return &o->cmpi;
}

CMPIArgs* newCmpiArgs(ObjectSpace& space, NamedValues args) {
    ArgsObj* o = make<ArgsObj>(space, currentArena(space));
    o->args = std::move(args);
    return &o->cmpi;
}

CMPIEnumeration* newCmpiEnumeration(ObjectSpace& space, CMPIType elementType, std::vector<Value> items) {
    EnumObj* o = make<EnumObj>(space, currentArena(space));
    o->elementType = elementType;
    o->items = std::move(items);
    return &o->cmpi;
}

CMPIContext* newCmpiContext(ObjectSpace& space, NamedValues entries, bool pinned) {
    ContextObj* o = make<ContextObj>(space, currentArena(space));
    o->entries = std::move(entries);
    o->pinned = pinned;
    return &o->cmpi;
}

CMPIResult* newCmpiResult(ObjectSpace& space) {
    ResultObj* o = make<ResultObj>(space, currentArena(space));
    o->pinned = true;
    return &o->cmpi;
}

CMPISelectExp* newCmpiSelectExp(ObjectSpace& space, std::string query, std::string language) {
    SelectObj* o = make<SelectObj>(space, currentArena(space));
    o->query = std::move(query);
    o->language = std::move(language);
    return &o->cmpi;
}

// ---- Public readers ----------------------------------------------------------

Status readValue(const CMPIValue* value, CMPIType type, Value* out) {
    if (type == CMPI_null) {
        *out = Value();
        return Status();
    }
    if (!storableType(type)) return Status::error(CMPI_RC_ERR_INVALID_DATA_TYPE, "type cannot be stored");
    const CMPIType normal = normalType(type);
    if (!value) {
        *out = Value::null(normal);
        return Status();
    }
    if (type & CMPI_ARRAY) {
        if (!value->array) {
            *out = Value::null(normal);
            return Status();
        }
        ArrayObj* a = self<ArrayObj>(value->array);
        if (!a) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, "array is not a broker object");
        if (a->elementType != (normal & ~CMPI_ARRAY))
            return Status::error(CMPI_RC_ERR_TYPE_MISMATCH, "array elements are of another type");
        *out = Value::array(a->elementType, a->items);
        return Status();
    }
    switch (type) {
        case CMPI_boolean:
            *out = Value::boolean(value->boolean != 0);
            break;
        case CMPI_char16:
            *out = Value::char16(value->char16);
            break;
        case CMPI_uint8:
            *out = Value::uint8(value->uint8);
            break;
        case CMPI_uint16:
            *out = Value::uint16(value->uint16);
            break;
        case CMPI_uint32:
            *out = Value::uint32(value->uint32);
            break;
        case CMPI_uint64:
            *out = Value::uint64(value->uint64);
            break;
        case CMPI_sint8:
            *out = Value::sint8(value->sint8);
            break;
        case CMPI_sint16:
            *out = Value::sint16(value->sint16);
            break;
        case CMPI_sint32:
            *out = Value::sint32(value->sint32);
            break;
        case CMPI_sint64:
            *out = Value::sint64(value->sint64);
            break;
        case CMPI_real32:
            *out = Value::real32(value->real32);
            break;
        case CMPI_real64:
            *out = Value::real64(value->real64);
            break;
        case CMPI_chars:
            // The argument is the text itself, not a CMPIValue holding a
            // pointer to it: that is how every CIMOM reads CMPI_chars.
            *out = Value::string(reinterpret_cast<const char*>(value));
            break;
        case CMPI_string: {
            if (!value->string) return *out = Value::null(CMPI_string), Status();
            StringObj* s = self<StringObj>(value->string);
            if (!s) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, "string is not a broker object");
            *out = Value::string(s->text);
            break;
        }
        case CMPI_dateTime: {
            if (!value->dateTime) return *out = Value::null(CMPI_dateTime), Status();
            DateTimeObj* t = self<DateTimeObj>(value->dateTime);
            if (!t) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, "datetime is not a broker object");
            *out = Value::datetime(t->text);
            break;
        }
        case CMPI_ref: {
            if (!value->ref) return *out = Value::null(CMPI_ref), Status();
            PathObj* p = self<PathObj>(value->ref);
            if (!p) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, "reference is not a broker object");
            *out = Value::reference(p->path);
            break;
        }
        case CMPI_instance: {
            if (!value->inst) return *out = Value::null(CMPI_instance), Status();
            InstanceObj* i = self<InstanceObj>(value->inst);
            if (!i) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, "instance is not a broker object");
            *out = Value::instance(snapshot(*i));
            break;
        }
        default:
            return Status::error(CMPI_RC_ERR_INVALID_DATA_TYPE, "type cannot be stored");
    }
    return Status();
}

Status readInstance(const CMPIInstance* instance, Instance* out) {
    InstanceObj* o = self<InstanceObj>(instance);
    if (!o) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, "not a broker instance");
    *out = snapshot(*o);
    return Status();
}

namespace {

// Copies one field out of a broker object, refusing handles that are not ours.
template <class O, class T>
Status readField(const typename O::Cmpi* handle, T O::*field, const char* what, T* out) {
    O* o = self<O>(handle);
    if (!o) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, std::string("not a broker ") + what);
    *out = o->*field;
    return Status();
}

}  // namespace

Status readObjectPath(const CMPIObjectPath* path, ObjectPath* out) {
    return readField(path, &PathObj::path, "object path", out);
}
Status readArgs(const CMPIArgs* args, NamedValues* out) {
    return readField(args, &ArgsObj::args, "argument list", out);
}
Status readContext(const CMPIContext* context, NamedValues* out) {
    return readField(context, &ContextObj::entries, "context", out);
}
Status readString(const CMPIString* string, std::string* out) {
    return readField(string, &StringObj::text, "string", out);
}

const ResultData* resultData(const CMPIResult* result) {
    ResultObj* o = self<ResultObj>(result);
    return o ? &o->data : nullptr;
}

ResultData takeResultData(const CMPIResult* result) {
    ResultObj* o = self<ResultObj>(result);
    if (!o) return ResultData();
    ResultData out = std::move(o->data);
    o->data.values.clear();
    return out;
}

Status setArg(const CMPIArgs* args, const std::string& name, Value value) {
    ArgsObj* o = self<ArgsObj>(args);
    if (!o) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, "not a broker argument list");
    o->args.set(name, std::move(value));
    return Status();
}

CMPIData toData(ObjectSpace& space, const Value& value) { return dataIn(space, currentArena(space), value); }

Arena** attachmentSlot(const CMPIContext* context) {
    ContextObj* o = self<ContextObj>(context);
    return o ? &o->attachment : nullptr;
}

Arena** attachmentPreviousSlot(const CMPIContext* context) {
    ContextObj* o = self<ContextObj>(context);
    return o ? &o->previous : nullptr;
}

void destroyContext(const CMPIContext* context) {
    ContextObj* o = self<ContextObj>(context);
    if (!o) return;
    if (o->owner) o->owner->forget(o);
    delete o;
}

const char* objectTypeName(const void* object) {
    ObjectBase* b = baseOf(object);
    if (!b) return nullptr;
    switch (b->kind) {
        case Kind::String:
            return "CMPIString";
        case Kind::Array:
            return "CMPIArray";
        case Kind::DateTime:
            return "CMPIDateTime";
        case Kind::Instance:
            return "CMPIInstance";
        case Kind::ObjectPath:
            return "CMPIObjectPath";
        case Kind::Args:
            return "CMPIArgs";
        case Kind::Enumeration:
            return "CMPIEnumeration";
        case Kind::Result:
            return "CMPIResult";
        case Kind::Context:
            return "CMPIContext";
        case Kind::SelectExp:
            return "CMPISelectExp";
    }
    return nullptr;
}

namespace {

std::string describeValues(const NamedValues& values) {
    std::string out = "{";
    for (const auto& item : values) {
        if (out.size() > 1) out += ", ";
        out += item.first + "=" + item.second.toText();
    }
    return out + "}";
}

}  // namespace

std::string describeObject(const void* object) {
    ObjectBase* b = baseOf(object);
    if (!b) return std::string();
    switch (b->kind) {
        case Kind::String:
            return static_cast<StringObj*>(b)->text;
        case Kind::Array: {
            ArrayObj* a = static_cast<ArrayObj*>(b);
            return Value::array(a->elementType, a->items).toText();
        }
        case Kind::DateTime:
            return static_cast<DateTimeObj*>(b)->text;
        case Kind::Instance: {
            Instance i = snapshot(*static_cast<InstanceObj*>(b));
            return "instance of " + i.path.toText() + " " + describeValues(i.properties);
        }
        case Kind::ObjectPath:
            return static_cast<PathObj*>(b)->path.toText();
        case Kind::Args:
            return describeValues(static_cast<ArgsObj*>(b)->args);
        case Kind::Enumeration: {
            EnumObj* e = static_cast<EnumObj*>(b);
            return "enumeration of " + std::to_string(e->items.size() - e->next) + " remaining";
        }
        case Kind::Result:
            return "result of " + std::to_string(static_cast<ResultObj*>(b)->data.values.size());
        case Kind::Context:
            return describeValues(static_cast<ContextObj*>(b)->entries);
        case Kind::SelectExp:
            return static_cast<SelectObj*>(b)->query;
    }
    return std::string();
}

ObjectSpace* spaceOf(const void* object) {
    ObjectBase* b = baseOf(object);
    return b ? b->space : nullptr;
}

}  // namespace cimhost
