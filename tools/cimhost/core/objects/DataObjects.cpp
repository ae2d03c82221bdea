// Strings, arrays and datetimes: the CMPI objects that hold one value or a
// list of them, and the CIM datetime text both directions of the host use.
#include <cimple/Datetime.h>

#include <string>
#include <utility>
#include <vector>

#include "core/objects/ObjectKinds.h"

namespace cimhost {
namespace objects {
namespace {

// ---- CMPIString ----------------------------------------------------------------

CMPIStatus stringRelease(CMPIString* s) { return releaseObject<StringObj>(s); }

CMPIString* stringClone(const CMPIString* s, CMPIStatus* rc) {
    StringObj* o = self<StringObj>(s);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    return guarded<CMPIString*>(rc, nullptr, [&] {
        StringObj* c = cloneOf(*o);
        c->own = o->text();
        setRc(rc, CMPI_RC_OK);
        return &c->cmpi;
    });
}

const char* stringChars(const CMPIString* s, CMPIStatus* rc) {
    StringObj* o = self<StringObj>(s);
    if (!o) return setRc(rc, CMPI_RC_ERR_INVALID_HANDLE), nullptr;
    setRc(rc, CMPI_RC_OK);
    return o->text().c_str();
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

// ---- Function tables -------------------------------------------------------------

const CMPIStringFT kStringFT = {CMPICurrentVersion, stringRelease, stringClone, stringChars};
const CMPIArrayFT kArrayFT = {CMPICurrentVersion, arrayRelease, arrayClone, arraySize,
                              arrayType,          arrayGet,     arraySet};
const CMPIDateTimeFT kDateTimeFT = {CMPICurrentVersion, dateTimeRelease, dateTimeClone,
                                    dateTimeBinary,     dateTimeText,    dateTimeIsInterval};

}  // namespace

StringObj::StringObj(ObjectSpace* s) : Obj(s, &kStringFT) {}
ArrayObj::ArrayObj(ObjectSpace* s) : Obj(s, &kArrayFT) {}
DateTimeObj::DateTimeObj(ObjectSpace* s) : Obj(s, &kDateTimeFT) {}

}  // namespace objects

using namespace objects;

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
    o->own = std::move(text);
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

// ---- Public readers ----------------------------------------------------------

Status readString(const CMPIString* string, std::string* out) {
    return readField(string, &StringObj::text, "string", out);
}

}  // namespace cimhost
