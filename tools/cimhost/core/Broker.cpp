#include "core/Broker.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/Cimom.h"

namespace cimhost {

namespace {

const char kBrokerName[] = "cimhost";

// The overload below taking a Status would hide the plain one.
using cimhost::setRc;

// A failure with its text as a broker string in the caller's arena.
CMPIStatus failure(Broker& b, const Status& s) {
    CMPIStatus out{s.rc, nullptr};
    if (!s.message.empty()) out.msg = newCmpiString(b.space(), s.message);
    return out;
}

void setRc(CMPIStatus* rc, Broker& b, const Status& s) {
    if (rc) *rc = s.ok() ? ok() : failure(b, s);
}

// Runs a broker service with its handle checked, so no exception reaches the
// provider and a bad broker pointer is an error rather than a crash.
template <class R, class F>
R serve(const CMPIBroker* mb, CMPIStatus* rc, R fallback, F f) {
    Broker* b = Broker::from(mb);
    if (!b) {
        setRc(rc, CMPI_RC_ERR_INVALID_HANDLE);
        return fallback;
    }
    try {
        return f(*b);
    } catch (...) {
        setRc(rc, CMPI_RC_ERR_FAILED);
        return fallback;
    }
}

template <class F>
CMPIStatus serveStatus(const CMPIBroker* mb, F f) {
    CMPIStatus st = ok();
    return serve<CMPIStatus>(mb, &st, CMPIStatus{CMPI_RC_ERR_FAILED, nullptr}, [&](Broker& b) {
        CMPIStatus r = f(b);
        return r;
    });
}

// The namespace of an up-call: the path's own, else the calling context's.
std::string upcallNameSpace(const ObjectPath& path, const CMPIContext* ctx) {
    if (!path.nameSpace.empty()) return path.nameSpace;
    NamedValues entries;
    if (ctx && readContext(ctx, &entries).ok()) {
        const Value* ns = entries.find(CMPIInitNameSpace);
        if (ns && ns->type() == CMPI_string && !ns->isNull()) return ns->asText();
    }
    return std::string();
}

// Reads op and resolves its namespace; false with *rc set when op is bad.
bool upcallPath(Broker& b, const CMPIContext* ctx, const CMPIObjectPath* op, ObjectPath* path,
                CMPIStatus* rc) {
    if (!op) {
        setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
        return false;
    }
    Status s = readObjectPath(op, path);
    if (!s.ok()) {
        setRc(rc, b, s);
        return false;
    }
    path->nameSpace = upcallNameSpace(*path, ctx);
    return true;
}

Cimom* cimomOf(Broker& b, CMPIStatus* rc) {
    if (!b.cimom()) setRc(rc, CMPI_RC_ERR_NOT_SUPPORTED);
    return b.cimom();
}

void keepProperties(Instance* instance, const char** properties) {
    if (!properties) return;
    NamedValues kept;
    for (const auto& p : instance->properties) {
        bool wanted = instance->path.keys.find(p.first) != nullptr;
        for (const char** name = properties; !wanted && *name; ++name) wanted = sameName(*name, p.first);
        if (wanted) kept.set(p.first, p.second);
    }
    instance->properties = std::move(kept);
}

// The instances are the caller's to give: each is moved in, not copied.
CMPIEnumeration* enumerationOf(Broker& b, std::vector<Instance>&& instances, const char** properties) {
    std::vector<Value> items;
    items.reserve(instances.size());
    for (Instance& i : instances) {
        keepProperties(&i, properties);
        items.push_back(Value::instance(std::move(i)));
    }
    return newCmpiEnumeration(b.space(), CMPI_instance, std::move(items));
}

// Shared instances go into the enumeration shared (copy on write, see
// Value::sharedInstance); only a property list makes copies.
CMPIEnumeration* enumerationOf(Broker& b, const std::vector<std::shared_ptr<const Instance>>& instances,
                               const char** properties) {
    std::vector<Value> items;
    items.reserve(instances.size());
    for (const auto& i : instances) {
        if (properties) {
            Instance kept = *i;
            keepProperties(&kept, properties);
            items.push_back(Value::instance(std::move(kept)));
        } else {
            items.push_back(Value::sharedInstance(std::const_pointer_cast<Instance>(i)));
        }
    }
    return newCmpiEnumeration(b.space(), CMPI_instance, std::move(items));
}

CMPIEnumeration* enumerationOf(Broker& b, const std::vector<ObjectPath>& paths) {
    std::vector<Value> items;
    items.reserve(paths.size());
    for (const ObjectPath& p : paths) items.push_back(Value::reference(p));
    return newCmpiEnumeration(b.space(), CMPI_ref, std::move(items));
}

std::string text(const char* s) { return s ? std::string(s) : std::string(); }

// ---- bft -------------------------------------------------------------------------

CMPIContext* prepareAttachThread(const CMPIBroker* mb, const CMPIContext* ctx) {
    return serve<CMPIContext*>(mb, nullptr, nullptr, [&](Broker& b) -> CMPIContext* {
        NamedValues entries;
        if (!ctx || !readContext(ctx, &entries).ok()) return nullptr;
        // The pool owns it, not the preparing call: it outlives that call and
        // is freed at detach (or with the broker, if the thread never ran).
        Arena* previous = swapThreadArena(&b.space().pool);
        CMPIContext* prepared = newCmpiContext(b.space(), std::move(entries), true);
        swapThreadArena(previous);
        return prepared;
    });
}

CMPIStatus attachThread(const CMPIBroker* mb, const CMPIContext* ctx) {
    return serveStatus(mb, [&](Broker&) {
        Arena** slot = attachmentSlot(ctx);
        if (!slot)
            return CMPIStatus{ctx ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_INVALID_PARAMETER, nullptr};
        if (*slot) return CMPIStatus{CMPI_RC_ERR_FAILED, nullptr};  // already attached
        *slot = new Arena;
        *attachmentPreviousSlot(ctx) = swapThreadArena(*slot);
        return ok();
    });
}

CMPIStatus detachThread(const CMPIBroker* mb, const CMPIContext* ctx) {
    return serveStatus(mb, [&](Broker&) {
        Arena** slot = attachmentSlot(ctx);
        if (!slot)
            return CMPIStatus{ctx ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_INVALID_PARAMETER, nullptr};
        Arena* attached = *slot;
        if (attached) {
            // Only the attached thread's own arena is put back; a detach from
            // another thread leaves that thread's arena alone.
            Arena* current = swapThreadArena(nullptr);
            swapThreadArena(current == attached ? *attachmentPreviousSlot(ctx) : current);
            delete attached;
        }
        destroyContext(ctx);
        return ok();
    });
}

CMPIStatus deliverIndication(const CMPIBroker* mb, const CMPIContext*, const char* ns,
                             const CMPIInstance* ind) {
    return serveStatus(mb, [&](Broker& b) {
        if (!ind) return CMPIStatus{CMPI_RC_ERR_INVALID_PARAMETER, nullptr};
        Instance indication;
        Status s = readInstance(ind, &indication);
        if (!s.ok()) return failure(b, s);
        // sfcb makes the indication's path (to match filters by class) and
        // the call handing it on in the delivering thread's memory, where
        // they stay until the provider releases a mark or the thread
        // detaches. The path is made the same way here, so a provider that
        // delivers from a thread of its own without mark()/release() grows
        // in our tests as it would there.
        newCmpiObjectPath(b.space(), indication.path);
        std::string nameSpace = ns && *ns ? std::string(ns) : indication.path.nameSpace;
        b.deliver(nameSpace, indication);
        return ok();
    });
}

CMPIEnumeration* enumerateInstanceNames(const CMPIBroker* mb, const CMPIContext* ctx,
                                        const CMPIObjectPath* op, CMPIStatus* rc) {
    return serve<CMPIEnumeration*>(mb, rc, nullptr, [&](Broker& b) -> CMPIEnumeration* {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, rc);
        if (!cimom || !upcallPath(b, ctx, op, &path, rc)) return nullptr;
        std::vector<ObjectPath> out;
        Status s = cimom->enumerateInstanceNames(path.nameSpace, path.className, &out);
        setRc(rc, b, s);
        return s.ok() ? enumerationOf(b, out) : nullptr;
    });
}

CMPIInstance* getInstance(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                          const char** properties, CMPIStatus* rc) {
    return serve<CMPIInstance*>(mb, rc, nullptr, [&](Broker& b) -> CMPIInstance* {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, rc);
        if (!cimom || !upcallPath(b, ctx, op, &path, rc)) return nullptr;
        std::shared_ptr<const Instance> found;
        Status s = cimom->getInstanceShared(path, &found);
        setRc(rc, b, s);
        if (!s.ok()) return nullptr;
        if (!properties) return newCmpiInstance(b.space(), std::const_pointer_cast<Instance>(found));
        Instance out = *found;
        keepProperties(&out, properties);
        return newCmpiInstance(b.space(), std::move(out));
    });
}

CMPIObjectPath* createInstance(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                               const CMPIInstance* inst, CMPIStatus* rc) {
    return serve<CMPIObjectPath*>(mb, rc, nullptr, [&](Broker& b) -> CMPIObjectPath* {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, rc);
        if (!cimom || !upcallPath(b, ctx, op, &path, rc)) return nullptr;
        if (!inst) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), nullptr;
        Instance instance;
        Status s = readInstance(inst, &instance);
        if (!s.ok()) return setRc(rc, b, s), nullptr;
        instance.path.nameSpace = path.nameSpace;
        if (instance.path.className.empty()) instance.path.className = path.className;
        ObjectPath created;
        s = cimom->createInstance(instance, &created);
        setRc(rc, b, s);
        return s.ok() ? newCmpiObjectPath(b.space(), std::move(created)) : nullptr;
    });
}

CMPIStatus modifyInstance(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                          const CMPIInstance* inst, const char** properties) {
    CMPIStatus st = ok();
    serve<int>(mb, &st, 0, [&](Broker& b) {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, &st);
        if (!cimom || !upcallPath(b, ctx, op, &path, &st)) return 0;
        if (!inst) return setRc(&st, CMPI_RC_ERR_INVALID_PARAMETER), 0;
        Instance instance;
        Status s = readInstance(inst, &instance);
        if (s.ok()) {
            instance.path = path;
            keepProperties(&instance, properties);
            s = cimom->modifyInstance(instance);
        }
        setRc(&st, b, s);
        return 0;
    });
    return st;
}

CMPIStatus deleteInstance(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op) {
    CMPIStatus st = ok();
    serve<int>(mb, &st, 0, [&](Broker& b) {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, &st);
        if (!cimom || !upcallPath(b, ctx, op, &path, &st)) return 0;
        setRc(&st, b, cimom->deleteInstance(path));
        return 0;
    });
    return st;
}

CMPIEnumeration* execQuery(const CMPIBroker* mb, const CMPIContext*, const CMPIObjectPath*, const char*,
                           const char*, CMPIStatus* rc) {
    return serve<CMPIEnumeration*>(mb, rc, nullptr, [&](Broker&) -> CMPIEnumeration* {
        setRc(rc, CMPI_RC_ERR_NOT_SUPPORTED);
        return nullptr;
    });
}

CMPIEnumeration* enumerateInstances(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                    const char** properties, CMPIStatus* rc) {
    return serve<CMPIEnumeration*>(mb, rc, nullptr, [&](Broker& b) -> CMPIEnumeration* {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, rc);
        if (!cimom || !upcallPath(b, ctx, op, &path, rc)) return nullptr;
        std::vector<std::shared_ptr<const Instance>> out;
        Status s = cimom->enumerateInstancesShared(path.nameSpace, path.className, &out);
        setRc(rc, b, s);
        return s.ok() ? enumerationOf(b, out, properties) : nullptr;
    });
}

CMPIEnumeration* associators(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                             const char* assocClass, const char* resultClass, const char* role,
                             const char* resultRole, const char** properties, CMPIStatus* rc) {
    return serve<CMPIEnumeration*>(mb, rc, nullptr, [&](Broker& b) -> CMPIEnumeration* {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, rc);
        if (!cimom || !upcallPath(b, ctx, op, &path, rc)) return nullptr;
        std::vector<Instance> out;
        Status s =
            cimom->associators(path, text(assocClass), text(resultClass), text(role), text(resultRole), &out);
        setRc(rc, b, s);
        return s.ok() ? enumerationOf(b, std::move(out), properties) : nullptr;
    });
}

CMPIEnumeration* associatorNames(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                 const char* assocClass, const char* resultClass, const char* role,
                                 const char* resultRole, CMPIStatus* rc) {
    return serve<CMPIEnumeration*>(mb, rc, nullptr, [&](Broker& b) -> CMPIEnumeration* {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, rc);
        if (!cimom || !upcallPath(b, ctx, op, &path, rc)) return nullptr;
        std::vector<ObjectPath> out;
        Status s = cimom->associatorNames(path, text(assocClass), text(resultClass), text(role),
                                          text(resultRole), &out);
        setRc(rc, b, s);
        return s.ok() ? enumerationOf(b, out) : nullptr;
    });
}

CMPIEnumeration* references(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                            const char* resultClass, const char* role, const char** properties,
                            CMPIStatus* rc) {
    return serve<CMPIEnumeration*>(mb, rc, nullptr, [&](Broker& b) -> CMPIEnumeration* {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, rc);
        if (!cimom || !upcallPath(b, ctx, op, &path, rc)) return nullptr;
        std::vector<Instance> out;
        Status s = cimom->references(path, text(resultClass), text(role), &out);
        setRc(rc, b, s);
        return s.ok() ? enumerationOf(b, std::move(out), properties) : nullptr;
    });
}

CMPIEnumeration* referenceNames(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                const char* resultClass, const char* role, CMPIStatus* rc) {
    return serve<CMPIEnumeration*>(mb, rc, nullptr, [&](Broker& b) -> CMPIEnumeration* {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, rc);
        if (!cimom || !upcallPath(b, ctx, op, &path, rc)) return nullptr;
        std::vector<ObjectPath> out;
        Status s = cimom->referenceNames(path, text(resultClass), text(role), &out);
        setRc(rc, b, s);
        return s.ok() ? enumerationOf(b, out) : nullptr;
    });
}

CMPIData invokeMethod(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                      const char* method, const CMPIArgs* in, CMPIArgs* out, CMPIStatus* rc) {
    return serve<CMPIData>(mb, rc, badData(), [&](Broker& b) -> CMPIData {
        ObjectPath path;
        Cimom* cimom = cimomOf(b, rc);
        if (!cimom || !upcallPath(b, ctx, op, &path, rc)) return badData();
        if (!method) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), badData();
        NamedValues inArgs, outArgs;
        if (in) {
            Status s = readArgs(in, &inArgs);
            if (!s.ok()) return setRc(rc, b, s), badData();
        }
        Value returned;
        Status s = cimom->invokeMethod(path, method, inArgs, &outArgs, &returned);
        setRc(rc, b, s);
        if (!s.ok()) return badData();
        if (out)
            for (const auto& arg : outArgs) setArg(out, arg.first, arg.second);
        return toData(b.space(), returned);
    });
}

CMPIStatus setPropertyUpcall(const CMPIBroker* mb, const CMPIContext*, const CMPIObjectPath*, const char*,
                             const CMPIValue*, CMPIType) {
    return serveStatus(mb, [](Broker&) { return CMPIStatus{CMPI_RC_ERR_NOT_SUPPORTED, nullptr}; });
}

CMPIData getPropertyUpcall(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                           const char* name, CMPIStatus* rc) {
    return serve<CMPIData>(mb, rc, badData(), [&](Broker& b) -> CMPIData {
        if (!name) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), badData();
        CMPIInstance* inst = getInstance(mb, ctx, op, nullptr, rc);
        if (!inst) return badData();
        Instance instance;
        readInstance(inst, &instance);
        const Value* v = instance.properties.find(name);
        if (!v) return setRc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY), badData();
        setRc(rc, CMPI_RC_OK);
        return toData(b.space(), *v);
    });
}

const CMPIBrokerFT brokerFT = {
    CMPI_MB_BasicRead | CMPI_MB_BasicWrite | CMPI_MB_InstanceManipulation | CMPI_MB_AssociationTraversal |
        CMPI_MB_Indications | CMPI_MB_OSEncapsulationSupport | CMPI_MB_Supports_MemEnhancements,
    CMPICurrentVersion,
    kBrokerName,
    prepareAttachThread,
    attachThread,
    detachThread,
    deliverIndication,
    enumerateInstanceNames,
    getInstance,
    createInstance,
    modifyInstance,
    deleteInstance,
    execQuery,
    enumerateInstances,
    associators,
    associatorNames,
    references,
    referenceNames,
    invokeMethod,
    setPropertyUpcall,
    getPropertyUpcall,
};

// ---- eft -------------------------------------------------------------------------

CMPIInstance* newInstance(const CMPIBroker* mb, const CMPIObjectPath* op, CMPIStatus* rc) {
    return serve<CMPIInstance*>(mb, rc, nullptr, [&](Broker& b) -> CMPIInstance* {
        if (!op) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), nullptr;
        Instance instance;
        Status s = readObjectPath(op, &instance.path);
        if (!s.ok()) return setRc(rc, b, s), nullptr;
        for (const auto& key : instance.path.keys) instance.properties.set(key.first, key.second);
        setRc(rc, CMPI_RC_OK);
        return newCmpiInstance(b.space(), std::move(instance));
    });
}

CMPIObjectPath* newObjectPath(const CMPIBroker* mb, const char* ns, const char* cn, CMPIStatus* rc) {
    return serve<CMPIObjectPath*>(mb, rc, nullptr, [&](Broker& b) -> CMPIObjectPath* {
        if (!cn) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), nullptr;
        ObjectPath path;
        path.nameSpace = text(ns);
        path.className = cn;
        setRc(rc, CMPI_RC_OK);
        return newCmpiObjectPath(b.space(), std::move(path));
    });
}

CMPIArgs* newArgs(const CMPIBroker* mb, CMPIStatus* rc) {
    return serve<CMPIArgs*>(mb, rc, nullptr, [&](Broker& b) {
        setRc(rc, CMPI_RC_OK);
        return newCmpiArgs(b.space(), NamedValues());
    });
}

CMPIString* newString(const CMPIBroker* mb, const char* data, CMPIStatus* rc) {
    return serve<CMPIString*>(mb, rc, nullptr, [&](Broker& b) -> CMPIString* {
        if (!data) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), nullptr;
        setRc(rc, CMPI_RC_OK);
        return newCmpiString(b.space(), data);
    });
}

// Arrays larger than this are refused rather than tried: a garbage count must
// not take the host's memory.
constexpr CMPICount kMaxArray = 1u << 24;

CMPIArray* newArray(const CMPIBroker* mb, CMPICount max, CMPIType type, CMPIStatus* rc) {
    return serve<CMPIArray*>(mb, rc, nullptr, [&](Broker& b) -> CMPIArray* {
        CMPIType element = static_cast<CMPIType>(type & ~CMPI_ARRAY);
        if (element == CMPI_chars) element = CMPI_string;
        Value probe;
        if (element == CMPI_null || !readValue(nullptr, element, &probe).ok())
            return setRc(rc, CMPI_RC_ERR_INVALID_DATA_TYPE), nullptr;
        if (max > kMaxArray) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), nullptr;
        setRc(rc, CMPI_RC_OK);
        return newCmpiArray(b.space(), element, std::vector<Value>(max, Value::null(element)));
    });
}

CMPIDateTime* newDateTimeFromBinary(const CMPIBroker* mb, CMPIUint64 binTime, CMPIBoolean interval,
                                    CMPIStatus* rc) {
    return serve<CMPIDateTime*>(mb, rc, nullptr, [&](Broker& b) -> CMPIDateTime* {
        std::string cimText;
        if (!formatDateTime(binTime, interval != 0, &cimText))
            return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), nullptr;
        setRc(rc, CMPI_RC_OK);
        return newCmpiDateTime(b.space(), std::move(cimText));
    });
}

CMPIDateTime* newDateTime(const CMPIBroker* mb, CMPIStatus* rc) {
    auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return newDateTimeFromBinary(mb, static_cast<CMPIUint64>(now.count()), 0, rc);
}

CMPIDateTime* newDateTimeFromChars(const CMPIBroker* mb, const char* datetime, CMPIStatus* rc) {
    return serve<CMPIDateTime*>(mb, rc, nullptr, [&](Broker& b) -> CMPIDateTime* {
        uint64_t micros;
        bool interval;
        if (!datetime || !parseDateTime(datetime, &micros, &interval))
            return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), nullptr;
        setRc(rc, CMPI_RC_OK);
        return newCmpiDateTime(b.space(), datetime);
    });
}

// Compiled queries are the indication service's; providers get the query text
// through the filters they are handed.
CMPISelectExp* newSelectExp(const CMPIBroker* mb, const char*, const char*, CMPIArray** projection,
                            CMPIStatus* rc) {
    if (projection) *projection = nullptr;
    return serve<CMPISelectExp*>(mb, rc, nullptr, [&](Broker&) -> CMPISelectExp* {
        setRc(rc, CMPI_RC_ERR_NOT_SUPPORTED);
        return nullptr;
    });
}

CMPIBoolean classPathIsA(const CMPIBroker* mb, const CMPIObjectPath* op, const char* type, CMPIStatus* rc) {
    return serve<CMPIBoolean>(mb, rc, 0, [&](Broker& b) -> CMPIBoolean {
        if (!op || !type) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), 0;
        ObjectPath path;
        Status s = readObjectPath(op, &path);
        if (!s.ok()) return setRc(rc, b, s), 0;
        setRc(rc, CMPI_RC_OK);
        return b.classes().isA(path.className, type) ? 1 : 0;
    });
}

CMPIString* toString(const CMPIBroker* mb, const void* object, CMPIStatus* rc) {
    return serve<CMPIString*>(mb, rc, nullptr, [&](Broker& b) -> CMPIString* {
        if (!object) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), nullptr;
        if (!objectTypeName(object)) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
        setRc(rc, CMPI_RC_OK);
        return newCmpiString(b.space(), describeObject(object));
    });
}

CMPIBoolean isOfType(const CMPIBroker* mb, const void* object, const char* type, CMPIStatus* rc) {
    return serve<CMPIBoolean>(mb, rc, 0, [&](Broker&) -> CMPIBoolean {
        if (!object || !type) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), 0;
        const char* name = objectTypeName(object);
        if (!name) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), 0;
        setRc(rc, CMPI_RC_OK);
        return strcmp(name, type) == 0 ? 1 : 0;
    });
}

CMPIString* getType(const CMPIBroker* mb, const void* object, CMPIStatus* rc) {
    return serve<CMPIString*>(mb, rc, nullptr, [&](Broker& b) -> CMPIString* {
        if (!object) return setRc(rc, CMPI_RC_ERR_INVALID_PARAMETER), nullptr;
        const char* name = objectTypeName(object);
        if (!name) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
        setRc(rc, CMPI_RC_OK);
        return newCmpiString(b.space(), name);
    });
}

// The default message with $0..$9 replaced by the inserts, which come as
// (CMPIType, value) pairs. Inserts of types it cannot read end the reading.
std::string formatMessage(const char* defMsg, CMPICount count, va_list args) {
    std::vector<std::string> inserts;
    for (CMPICount i = 0; i < count && i < 10; ++i) {
        int type = va_arg(args, int);
        switch (type) {
            case CMPI_sint8:
            case CMPI_sint16:
            case CMPI_sint32:
                inserts.push_back(std::to_string(va_arg(args, int)));
                break;
            case CMPI_uint8:
            case CMPI_uint16:
            case CMPI_uint32:
            case CMPI_boolean:
            case CMPI_char16:
                inserts.push_back(std::to_string(va_arg(args, unsigned int)));
                break;
            case CMPI_sint64:
                inserts.push_back(std::to_string(va_arg(args, long long)));
                break;
            case CMPI_uint64:
                inserts.push_back(std::to_string(va_arg(args, unsigned long long)));
                break;
            case CMPI_real32:
            case CMPI_real64:
                inserts.push_back(std::to_string(va_arg(args, double)));
                break;
            case CMPI_chars:
                inserts.push_back(text(va_arg(args, const char*)));
                break;
            case CMPI_string: {
                std::string s;
                readString(va_arg(args, const CMPIString*), &s);
                inserts.push_back(s);
                break;
            }
            default:
                i = count;
                break;
        }
    }
    std::string out;
    for (const char* p = defMsg ? defMsg : ""; *p; ++p) {
        if (p[0] == '$' && p[1] >= '0' && p[1] <= '9') {
            size_t n = static_cast<size_t>(p[1] - '0');
            if (n < inserts.size()) {
                out += inserts[n];
                ++p;
                continue;
            }
        }
        out += *p;
    }
    return out;
}

CMPIString* getMessage(const CMPIBroker* mb, const char*, const char* defMsg, CMPIStatus* rc, CMPICount count,
                       ...) {
    va_list args;
    va_start(args, count);
    CMPIString* out = serve<CMPIString*>(mb, rc, nullptr, [&](Broker& b) {
        setRc(rc, CMPI_RC_OK);
        return newCmpiString(b.space(), formatMessage(defMsg, count, args));
    });
    va_end(args);
    return out;
}

CMPIString* getMessage2(const CMPIBroker* mb, const char*, const CMPIMsgFileHandle, const char* defMsg,
                        CMPIStatus* rc, CMPICount count, ...) {
    va_list args;
    va_start(args, count);
    CMPIString* out = serve<CMPIString*>(mb, rc, nullptr, [&](Broker& b) {
        setRc(rc, CMPI_RC_OK);
        return newCmpiString(b.space(), formatMessage(defMsg, count, args));
    });
    va_end(args);
    return out;
}

CMPIStatus writeLog(const CMPIBroker* mb, char kind, int level, const char* id, const char* line,
                    const CMPIString* string) {
    return serveStatus(mb, [&](Broker& b) {
        std::string t;
        if (line) {
            t = line;
        } else if (string) {
            Status s = readString(string, &t);
            if (!s.ok()) return CMPIStatus{s.rc, nullptr};
        }
        b.log(kind, level, text(id), t);
        return ok();
    });
}

CMPIStatus logMessage(const CMPIBroker* mb, int severity, const char* id, const char* line,
                      const CMPIString* string) {
    return writeLog(mb, 'L', severity, id, line, string);
}

CMPIStatus trace(const CMPIBroker* mb, int level, const char* component, const char* line,
                 const CMPIString* string) {
    return writeLog(mb, 'T', level, component, line, string);
}

CMPIError* newCMPIError(const CMPIBroker* mb, const char*, const char*, const char*, const CMPIErrorSeverity,
                        const CMPIErrorProbableCause, const CMPIrc, CMPIStatus* rc) {
    return serve<CMPIError*>(mb, rc, nullptr, [&](Broker&) -> CMPIError* {
        setRc(rc, CMPI_RC_ERR_NOT_SUPPORTED);
        return nullptr;
    });
}

// No translations: message files open to nothing and getMessage2 gives the
// default text, as getMessage does.
CMPIStatus openMessageFile(const CMPIBroker* mb, const char*, CMPIMsgFileHandle* handle) {
    return serveStatus(mb, [&](Broker&) {
        if (!handle) return CMPIStatus{CMPI_RC_ERR_INVALID_PARAMETER, nullptr};
        *handle = nullptr;
        return ok();
    });
}

CMPIStatus closeMessageFile(const CMPIBroker* mb, const CMPIMsgFileHandle) {
    return serveStatus(mb, [](Broker&) { return ok(); });
}

const CMPIBrokerEncFT brokerEncFT = {
    CMPICurrentVersion,
    newInstance,
    newObjectPath,
    newArgs,
    newString,
    newArray,
    newDateTime,
    newDateTimeFromBinary,
    newDateTimeFromChars,
    newSelectExp,
    classPathIsA,
    toString,
    isOfType,
    getType,
    getMessage,
    logMessage,
    trace,
    newCMPIError,
    openMessageFile,
    closeMessageFile,
    getMessage2,
};

// ---- xft: thin POSIX wrappers --------------------------------------------------

char* resolveFileName(const char* filename) {
    if (!filename) return nullptr;
    std::string name = std::string("lib") + filename + ".so";
    return strdup(name.c_str());
}

CMPI_THREAD_TYPE newThread(CMPIThreadFunc start, void* parm, int detached) {
    if (!start) return nullptr;
    pthread_t* thread = new (std::nothrow) pthread_t;
    if (!thread) return nullptr;
    if (pthread_create(thread, nullptr, start, parm) != 0) {
        delete thread;
        return nullptr;
    }
    if (detached) {
        pthread_detach(*thread);
        delete thread;
        return nullptr;
    }
    return thread;
}

int joinThread(CMPI_THREAD_TYPE thread, CMPI_THREAD_RETURN* retval) {
    if (!thread) return EINVAL;
    pthread_t* t = static_cast<pthread_t*>(thread);
    int r = pthread_join(*t, retval);
    delete t;
    return r;
}

int exitThread(CMPI_THREAD_RETURN code) { pthread_exit(code); }

// Cancelling a thread that may hold host locks is never safe here.
int cancelThread(CMPI_THREAD_TYPE) { return ENOTSUP; }

int threadSleep(CMPIUint32 msec) {
    struct timespec ts = {static_cast<time_t>(msec / 1000), static_cast<long>(msec % 1000) * 1000000L};
    return nanosleep(&ts, nullptr);
}

std::mutex onceMutex;

int threadOnce(int* once, CMPIThreadOnceFunc init) {
    if (!once || !init) return EINVAL;
    std::lock_guard<std::mutex> lock(onceMutex);
    if (*once == 0) {
        init();
        *once = 1;
    }
    return 0;
}

int createThreadKey(CMPI_THREAD_KEY_TYPE* key, CMPIThreadKeyCleanupFunc cleanup) {
    if (!key) return EINVAL;
    pthread_key_t k;
    int r = pthread_key_create(&k, cleanup);
    if (r == 0) *key = static_cast<CMPI_THREAD_KEY_TYPE>(k);
    return r;
}
int destroyThreadKey(CMPI_THREAD_KEY_TYPE key) { return pthread_key_delete(key); }
void* getThreadSpecific(CMPI_THREAD_KEY_TYPE key) { return pthread_getspecific(key); }
int setThreadSpecific(CMPI_THREAD_KEY_TYPE key, void* value) { return pthread_setspecific(key, value); }

CMPI_MUTEX_TYPE newMutex(int) {
    pthread_mutex_t* m = new (std::nothrow) pthread_mutex_t;
    if (m) pthread_mutex_init(m, nullptr);
    return m;
}
void destroyMutex(CMPI_MUTEX_TYPE m) {
    if (!m) return;
    pthread_mutex_destroy(static_cast<pthread_mutex_t*>(m));
    delete static_cast<pthread_mutex_t*>(m);
}
void lockMutex(CMPI_MUTEX_TYPE m) {
    if (m) pthread_mutex_lock(static_cast<pthread_mutex_t*>(m));
}
void unlockMutex(CMPI_MUTEX_TYPE m) {
    if (m) pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m));
}

CMPI_COND_TYPE newCondition(int) {
    pthread_cond_t* c = new (std::nothrow) pthread_cond_t;
    if (c) pthread_cond_init(c, nullptr);
    return c;
}
void destroyCondition(CMPI_COND_TYPE c) {
    if (!c) return;
    pthread_cond_destroy(static_cast<pthread_cond_t*>(c));
    delete static_cast<pthread_cond_t*>(c);
}
int condWait(CMPI_COND_TYPE c, CMPI_MUTEX_TYPE m) {
    if (!c || !m) return EINVAL;
    return pthread_cond_wait(static_cast<pthread_cond_t*>(c), static_cast<pthread_mutex_t*>(m));
}
int timedCondWait(CMPI_COND_TYPE c, CMPI_MUTEX_TYPE m, struct timespec* wait) {
    if (!c || !m || !wait) return EINVAL;
    return pthread_cond_timedwait(static_cast<pthread_cond_t*>(c), static_cast<pthread_mutex_t*>(m), wait);
}
int signalCondition(CMPI_COND_TYPE c) {
    if (!c) return EINVAL;
    return pthread_cond_signal(static_cast<pthread_cond_t*>(c));
}

const CMPIBrokerExtFT brokerExtFT = {
    CMPICurrentVersion, resolveFileName,   newThread,        joinThread,      exitThread,
    cancelThread,       threadSleep,       threadOnce,       createThreadKey, destroyThreadKey,
    getThreadSpecific,  setThreadSpecific, newMutex,         destroyMutex,    lockMutex,
    unlockMutex,        newCondition,      destroyCondition, condWait,        timedCondWait,
    signalCondition,
};

// ---- mft ---------------------------------------------------------------------------

// A mark is an arena that becomes the thread's current one; release frees it
// and puts back the one it replaced.
struct Mark {
    Arena arena;
    Arena* previous = nullptr;
};

CMPIGcStat* mark(const CMPIBroker* mb, CMPIStatus* rc) {
    return serve<CMPIGcStat*>(mb, rc, nullptr, [&](Broker&) -> CMPIGcStat* {
        Mark* m = new Mark;
        m->previous = swapThreadArena(&m->arena);
        setRc(rc, CMPI_RC_OK);
        return m;
    });
}

CMPIStatus release(const CMPIBroker* mb, const CMPIGcStat* gc) {
    return serveStatus(mb, [&](Broker&) {
        if (!gc) return CMPIStatus{CMPI_RC_ERR_INVALID_PARAMETER, nullptr};
        Mark* m = static_cast<Mark*>(const_cast<CMPIGcStat*>(gc));
        swapThreadArena(m->previous);
        delete m;
        return ok();
    });
}

void* cmpiMalloc(const CMPIBroker*, size_t size) { return malloc(size); }
void* cmpiCalloc(const CMPIBroker*, size_t n, size_t size) { return calloc(n, size); }
void* cmpiRealloc(const CMPIBroker*, void* ptr, size_t size) { return realloc(ptr, size); }
char* cmpiStrDup(const CMPIBroker*, const char* str) { return str ? strdup(str) : nullptr; }
void cmpiFree(const CMPIBroker*, void* ptr) { free(ptr); }

template <class T>
void freeObject(const CMPIBroker*, T* object) {
    if (object && object->ft) object->ft->release(object);
}

const CMPIBrokerMemFT brokerMemFT = {
    CMPICurrentVersion,
    mark,
    release,
    cmpiMalloc,
    cmpiCalloc,
    cmpiRealloc,
    cmpiStrDup,
    cmpiFree,
    freeObject<CMPIInstance>,
    freeObject<CMPIObjectPath>,
    freeObject<CMPIArgs>,
    freeObject<CMPIString>,
    freeObject<CMPIArray>,
    freeObject<CMPIDateTime>,
    freeObject<CMPISelectExp>,
};

constexpr uint32_t kBrokerMagic = 0x42524f4b;  // "BROK"

// What the broker's hdl points at: a tag to recognise our brokers by.
struct BrokerTag {
    uint32_t magic;
    Broker* broker;
};

}  // namespace

Broker::Broker(const ClassRepository& classes, Cimom* cimom) : space_(classes), cimom_(cimom) {
    broker_.hdl = new BrokerTag{kBrokerMagic, this};
    broker_.bft = &brokerFT;
    broker_.eft = &brokerEncFT;
    broker_.xft = &brokerExtFT;
    broker_.mft = &brokerMemFT;
}

Broker::~Broker() {
    space_.pool.clear();
    BrokerTag* tag = static_cast<BrokerTag*>(const_cast<void*>(broker_.hdl));
    tag->magic = 0;
    delete tag;
}

Broker* Broker::from(const CMPIBroker* broker) {
    if (!broker || !broker->hdl) return nullptr;
    const BrokerTag* tag = static_cast<const BrokerTag*>(broker->hdl);
    return tag->magic == kBrokerMagic ? tag->broker : nullptr;
}

CMPIContext* Broker::newContext(const std::string& nameSpace, bool pinned) {
    NamedValues entries;
    entries.set(CMPIInitNameSpace, Value::string(nameSpace));
    entries.set(CMPIPrincipal, Value::string(kBrokerName));
    entries.set(CMPIInvocationFlags, Value::uint32(0));
    return newCmpiContext(space_, std::move(entries), pinned);
}

void Broker::setDeliver(DeliverFn deliver) {
    std::lock_guard<std::mutex> lock(mutex_);
    deliver_ = std::move(deliver);
}

void Broker::setLog(LogFn log) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_ = std::move(log);
}

void Broker::deliver(const std::string& nameSpace, const Instance& indication) {
    DeliverFn fn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fn = deliver_;
    }
    if (fn) fn(nameSpace, indication);
}

void Broker::log(char kind, int level, const std::string& component, const std::string& line) {
    LogFn fn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fn = log_;
    }
    if (fn) fn(kind, level, component, line);
}

}  // namespace cimhost
