// Instances and object paths: the CMPI objects that carry the host's
// Instance and ObjectPath, with an instance's path keys kept in line with its
// key properties.
#include <cimple/Meta.h>

#include <string>
#include <string_view>
#include <utility>

#include "core/objects/ObjectKinds.h"

namespace cimhost {
namespace objects {
namespace {

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

bool passesFilter(const InstanceObj& object, const char* name) {
    if (!object.filtered) return true;
    std::string_view wanted(name);
    for (const std::string& f : object.filter)
        if (sameName(std::string_view(f), wanted)) return true;
    bool key = false;
    forEachKey(object.meta, [&](const char* k) { key = key || sameName(std::string_view(k), wanted); });
    return key;
}

// ---- CMPIInstance --------------------------------------------------------------

// What a provider is handed for `value`, a property in the object's data.
// When that data is shared (a stored instance an enumeration handed out), a
// reference or a string is handed out as an object that looks into it, not
// as a copy: a provider walking ten thousand stored instances would
// otherwise copy (or count a hold on) each path and text it reads, each far
// from the others in memory, and free them all again after. Data of the
// object's own is handed out as any value is (a string copied, a path
// shared): a provider reading and setting the properties of an instance it
// builds would otherwise make the instance copy itself at each change.
CMPIData propertyData(InstanceObj& object, const Value& value) {
    if (value.isNull() || object.held.use_count() < 2) return dataIn(*object.space, object.children, value);
    CMPIData d;
    d.type = value.type();
    d.state = CMPI_goodValue;
    if (value.type() == CMPI_ref && value.heldReference()) {
        PathObj* p = make<PathObj>(*object.space, object.children);
        p->lent = &value.heldReference();
        d.value.ref = &p->cmpi;
    } else if (value.type() == CMPI_string) {
        StringObj* s = make<StringObj>(*object.space, object.children);
        s->lent = &value.asText();
        d.value.string = &s->cmpi;
    } else {
        return dataIn(*object.space, object.children, value);
    }
    object.lend();
    return d;
}

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
            return propertyData(*o, *v);
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
        return propertyData(*o, item.second);
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
        own.path = p->path();
        o->classChanged();
        // Keys are properties too: getProperty must see what the path says.
        for (const auto& key : p->path().keys) own.properties.set(key.first, key.second);
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
        // A clone often goes to another thread: it gets its own copy.
        c->held = std::make_shared<ObjectPath>(o->path());
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
        o->edit().*Field = text;
        return ok();
    });
}

template <std::string ObjectPath::*Field>
CMPIString* pathGetText(const CMPIObjectPath* p, CMPIStatus* rc) {
    PathObj* o = self<PathObj>(p);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIString*>(rc, nullptr, [&] {
        setRc(rc, CMPI_RC_OK);
        return childString(*o, o->path().*Field);
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
        o->edit().keys.set(name, std::move(v));
        return ok();
    });
}

CMPIData pathGetKey(const CMPIObjectPath* p, const char* name, CMPIStatus* rc) {
    PathObj* o = self<PathObj>(p);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), badData();
    if (!name) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), badData();
    return guarded<CMPIData>(rc, badData(), [&] {
        const Value* v = o->path().keys.find(name);
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
    if (index >= o->path().keys.size()) return setRc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY), badData();
    return guarded<CMPIData>(rc, badData(), [&] {
        const auto& item = o->path().keys.at(index);
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
    return static_cast<CMPICount>(o->path().keys.size());
}

CMPIStatus pathNameSpaceFrom(const CMPIObjectPath* p, const CMPIObjectPath* src) {
    PathObj* o = self<PathObj>(p);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    PathObj* s = self<PathObj>(src);
    if (!s) return fail(src ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        o->edit().nameSpace = s->path().nameSpace;
        return ok();
    });
}

CMPIStatus pathHostAndNameSpaceFrom(const CMPIObjectPath* p, const CMPIObjectPath* src) {
    PathObj* o = self<PathObj>(p);
    if (!o) return fail(CMPI_RC_ERR_INVALID_HANDLE);
    PathObj* s = self<PathObj>(src);
    if (!s) return fail(src ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_INVALID_PARAMETER);
    return guardedStatus([&] {
        ObjectPath& own = o->edit();
        own.nameSpace = s->path().nameSpace;
        own.host = s->path().host;
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
        return childString(*o, o->path().toText());
    });
}

// ---- Function tables -------------------------------------------------------------

const CMPIInstanceFT kInstanceFT = {CMPICurrentVersion, instanceRelease, instanceClone,        instanceGet,
                                    instanceGetAt,      instanceCount,   instanceSet,          instancePath,
                                    instanceSetFilter,  instanceSetPath, instanceSetWithOrigin};
const CMPIObjectPathFT kObjectPathFT = {CMPICurrentVersion,
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

}  // namespace

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

InstanceObj::InstanceObj(ObjectSpace* s) : Obj(s, &kInstanceFT) {}
PathObj::PathObj(ObjectSpace* s) : Obj(s, &kObjectPathFT) {}

}  // namespace objects

using namespace objects;

// ---- Public makers -----------------------------------------------------------

CMPIInstance* newCmpiInstance(ObjectSpace& space, Instance instance) {
    InstanceObj* o = make<InstanceObj>(space, currentArena(space));
    o->reset(std::move(instance));
    // Room for every feature up front: providers set them one by one.
    if (o->meta) o->held->properties.reserve(o->meta->num_meta_features);
    return &o->cmpi;
}

CMPIInstance* newCmpiInstance(ObjectSpace& space, std::shared_ptr<Instance> instance) {
    InstanceObj* o = make<InstanceObj>(space, currentArena(space));
    o->share(std::move(instance));
    return &o->cmpi;
}

CMPIObjectPath* newCmpiObjectPath(ObjectSpace& space, ObjectPath path) {
    PathObj* o = make<PathObj>(space, currentArena(space));
    o->held = std::make_shared<ObjectPath>(std::move(path));
    return &o->cmpi;
}

// ---- Public readers ----------------------------------------------------------

Status readInstance(const CMPIInstance* instance, Instance* out) {
    InstanceObj* o = self<InstanceObj>(instance);
    if (!o) return Status::error(CMPI_RC_ERR_INVALID_HANDLE, "not a broker instance");
    *out = snapshot(*o);
    return Status();
}

Status readObjectPath(const CMPIObjectPath* path, ObjectPath* out) {
    return readField(path, &PathObj::path, "object path", out);
}

}  // namespace cimhost
