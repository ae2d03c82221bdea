// What a call carries: argument lists, enumerations, results, contexts and
// select expressions. Arguments and contexts are both named values and share
// their functions.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "core/objects/ObjectKinds.h"

namespace cimhost {
namespace objects {
namespace {

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

const CMPIArgsFT kArgsFT = {CMPICurrentVersion, argsRelease, argsClone, argsAdd, argsGet,
                            argsGetAt,          argsCount};
const CMPIEnumerationFT kEnumerationFT = {CMPICurrentVersion, enumRelease, enumClone,
                                          enumNext,           enumHasNext, enumToArray};
const CMPIResultFT kResultFT = {CMPICurrentVersion, resultRelease, resultClone, resultData,
                                resultInstance,     resultPath,    resultDone,  resultError};
const CMPIContextFT kContextFT = {CMPICurrentVersion, contextRelease, contextClone, contextGet,
                                  contextGetAt,       contextCount,   contextAdd};
const CMPISelectExpFT kSelectExpFT = {CMPICurrentVersion, selectRelease, selectClone, selectEvaluate,
                                      selectString,       selectCond,    selectCond,  selectEvaluateAccessor};

}  // namespace

ArgsObj::ArgsObj(ObjectSpace* s) : Obj(s, &kArgsFT) {}
EnumObj::EnumObj(ObjectSpace* s) : Obj(s, &kEnumerationFT) {}
ResultObj::ResultObj(ObjectSpace* s) : Obj(s, &kResultFT) {}
ContextObj::ContextObj(ObjectSpace* s) : Obj(s, &kContextFT) {}
SelectObj::SelectObj(ObjectSpace* s) : Obj(s, &kSelectExpFT) {}

}  // namespace objects

using namespace objects;

// ---- Public makers -----------------------------------------------------------

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

Status readArgs(const CMPIArgs* args, NamedValues* out) {
    return readField(args, &ArgsObj::args, "argument list", out);
}
Status readContext(const CMPIContext* context, NamedValues* out) {
    return readField(context, &ContextObj::entries, "context", out);
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

}  // namespace cimhost
