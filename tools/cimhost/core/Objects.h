// The CIMOM side of CMPI's encapsulated data types: strings, arrays,
// datetimes, instances, object paths, argument lists, enumerations, results,
// contexts and select expressions, each a { hdl, ft } pair whose hdl is one
// of our objects. Their data is the host's own value model (core/Value.h), so
// handing data to a provider and reading back what it produced is one
// conversion in each direction.
//
// Ownership. Every object belongs to an Arena. Objects the broker makes on a
// thread go to that thread's current arena: the innermost CallScope (one per
// call into a provider), else the arena of an attached thread, else the
// ObjectSpace's pool, which lives as long as the broker. Objects a getter
// hands out (a property's string, a key's path) belong to the object they
// came from and live as long as it. clone() results go to the pool: the
// caller owns them and may release() them; whatever is left is freed with
// the broker. release() frees an object and what it handed out at once.
//
// Every function table entry checks its handle (null or not one of ours:
// CMPI_RC_ERR_INVALID_HANDLE) and its arguments, fills a non-null rc, and
// never throws into the provider.
#pragma once

#include <cmpi/cmpift.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "core/Value.h"

namespace cimhost {

struct ObjectBase;

// A set of objects freed together.
class Arena {
public:
    Arena() = default;
    // Frees every object still in it.
    ~Arena();
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    void adopt(ObjectBase* object);
    // Takes the object out without freeing it.
    void forget(ObjectBase* object);
    void clear();
    size_t size() const;

private:
    mutable std::mutex mutex_;
    ObjectBase* head_ = nullptr;
    size_t size_ = 0;
};

// What all objects of one broker share: the class repository instances
// consult, and the pool for objects no call or thread owns.
struct ObjectSpace {
    explicit ObjectSpace(const ClassRepository& repository) : classes(repository) {}
    const ClassRepository& classes;
    Arena pool;
    // Objects of this space alive now, whoever owns them: what shows a
    // provider that lets objects pile up on a long-lived thread.
    std::atomic<size_t> liveObjects{0};

    // classes.find(className), remembering the classes found: every call
    // and every instance looks its class up, and a search of the repository
    // costs far more than a look at the few classes a host serves. Unknown
    // names are not remembered, so bad input cannot grow it.
    const cimple::Meta_Class* findClass(const std::string& className) const;
    // classes.isA through findClass.
    bool isA(const std::string& derived, const std::string& base) const;

private:
    mutable std::mutex foundMutex_;
    mutable std::vector<std::pair<std::string, const cimple::Meta_Class*>> found_;
};

// While alive, objects made on this thread belong to its arena and are freed
// when it ends. Scopes nest: a broker up-call that reaches another provider
// opens its own, and what the up-call returns is made after it closed, in the
// caller's scope.
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    Arena& arena() { return arena_; }

private:
    Arena arena_;
    Arena* previous_;
};

// The arena new objects of this thread go to.
Arena& currentArena(ObjectSpace& space);
// Makes `arena` the thread's current one and returns the one it replaces
// (null: the pool). Used by thread attachment and the memory services.
Arena* swapThreadArena(Arena* arena);

// ---- Making objects (in the thread's current arena) -----------------------

CMPIString* newCmpiString(ObjectSpace& space, std::string text);
// `elementType` without CMPI_ARRAY; items must be of that type.
CMPIArray* newCmpiArray(ObjectSpace& space, CMPIType elementType, std::vector<Value> items);
// `cimText` must be a valid CIM datetime (see parseDateTime).
CMPIDateTime* newCmpiDateTime(ObjectSpace& space, std::string cimText);
CMPIInstance* newCmpiInstance(ObjectSpace& space, Instance instance);
// An instance that shares `instance` with its other holders and copies it
// only when the provider changes it (Value::sharedInstance's rule).
CMPIInstance* newCmpiInstance(ObjectSpace& space, std::shared_ptr<Instance> instance);
CMPIObjectPath* newCmpiObjectPath(ObjectSpace& space, ObjectPath path);
CMPIArgs* newCmpiArgs(ObjectSpace& space, NamedValues args);
CMPIEnumeration* newCmpiEnumeration(ObjectSpace& space, CMPIType elementType, std::vector<Value> items);
// A context with these entries. A pinned context (one the host hands to a
// provider call) ignores release(): the host frees it with the call.
CMPIContext* newCmpiContext(ObjectSpace& space, NamedValues entries, bool pinned = false);
// A result that collects what a provider returns; pinned like a call's
// context.
CMPIResult* newCmpiResult(ObjectSpace& space);
CMPISelectExp* newCmpiSelectExp(ObjectSpace& space, std::string query, std::string language);

// ---- Reading objects back into host values -------------------------------

// A value a provider passed as (value, type). A null `value` or a null
// encapsulated pointer gives a typed null. For CMPI_chars `value` is the
// NUL-terminated text itself, cast to const CMPIValue*, not a CMPIValue whose
// `chars` member points at it; it reads as a string.
// CMPI_RC_ERR_INVALID_HANDLE for an encapsulated object that is not ours,
// CMPI_RC_ERR_INVALID_DATA_TYPE for types a value cannot hold (args,
// enumerations, pointers), CMPI_RC_ERR_TYPE_MISMATCH for an array whose
// elements are not of the type given.
Status readValue(const CMPIValue* value, CMPIType type, Value* out);
// The instance with its path's keys taken from its key properties.
Status readInstance(const CMPIInstance* instance, Instance* out);
Status readObjectPath(const CMPIObjectPath* path, ObjectPath* out);
Status readArgs(const CMPIArgs* args, NamedValues* out);
Status readContext(const CMPIContext* context, NamedValues* out);
Status readString(const CMPIString* string, std::string* out);
// What a provider put into a result: returned instances as instance values,
// paths as references, returnData values as they are.
struct ResultData {
    std::vector<Value> values;
    bool done = false;
};
const ResultData* resultData(const CMPIResult* result);
// Moves what the result collected out of it (for the host, once the call
// that filled it returned); empty for a result that is not ours.
ResultData takeResultData(const CMPIResult* result);
// Adds or replaces one argument (what the host does to a method's out args).
Status setArg(const CMPIArgs* args, const std::string& name, Value value);
// A CMPIData for `value`, its encapsulated parts owned by the thread's
// current arena.
CMPIData toData(ObjectSpace& space, const Value& value);

// The context's attachment arena (thread attachment keeps it with the
// prepared context); null for a context that is not ours.
Arena** attachmentSlot(const CMPIContext* context);
// The previous arena of the attached thread, restored at detach.
Arena** attachmentPreviousSlot(const CMPIContext* context);
// Frees a context regardless of pinning (detachThread ends the life of the
// context prepareAttachThread made).
void destroyContext(const CMPIContext* context);

// ---- Any object ------------------------------------------------------------

// "CMPIInstance", "CMPIObjectPath", ...; null when `object` is not ours.
const char* objectTypeName(const void* object);
// A readable form of any of our objects; empty when not ours.
std::string describeObject(const void* object);
// The space an object of ours belongs to; null when not ours.
ObjectSpace* spaceOf(const void* object);

// ---- Status helpers shared by the objects and the broker ---------------------

inline CMPIStatus ok() { return CMPIStatus{CMPI_RC_OK, nullptr}; }
inline CMPIStatus fail(CMPIrc rc) { return CMPIStatus{rc, nullptr}; }
// rc may be null, as every CMPI function allows.
inline void setRc(CMPIStatus* rc, CMPIrc code) {
    if (rc) {
        rc->rc = code;
        rc->msg = nullptr;
    }
}
// What a failed read answers beside its status.
inline CMPIData badData() {
    CMPIData d;
    d.type = CMPI_null;
    d.state = CMPI_badValue;
    d.value.uint64 = 0;
    return d;
}

// ---- Datetimes -------------------------------------------------------------

// Reads a 25-character CIM datetime: "yyyymmddhhmmss.mmmmmmsutc" (a point,
// given in microseconds since 1970-01-01 UTC; points before 1970 are
// refused) or "ddddddddhhmmss.mmmmmm:000" (an interval in microseconds).
bool parseDateTime(const std::string& text, uint64_t* micros, bool* interval);
// The CIM text of a point (in UTC, "+000") or of an interval; false when it
// does not fit the format (years past 9999, intervals of 10^8 days or more).
bool formatDateTime(uint64_t micros, bool interval, std::string* text);

}  // namespace cimhost
