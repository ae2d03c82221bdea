// Host values and CMPI data, both ways: what a provider is handed
// (CMPIData, its encapsulated parts made as objects of the families) and
// what it passes back (a CMPIValue with its type).
#include <string>
#include <vector>

#include "core/ValueVisitor.h"
#include "core/objects/ObjectKinds.h"

namespace cimhost {
namespace objects {
namespace {

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
        s->own = text;
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
        p->held = std::make_shared<ObjectPath>(path);
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

}  // namespace

CMPIData dataIn(ObjectSpace& space, Arena& owner, const Value& value) {
    // An instance is shared with the value until the provider changes it: a
    // provider walking an enumeration of thousands of instances would
    // otherwise copy each one as it reaches it.
    if (value.type() == CMPI_instance && !value.isNull() && value.heldInstance()) {
        InstanceObj* i = make<InstanceObj>(space, owner);
        i->share(value.heldInstance());
        CMPIData d;
        d.type = CMPI_instance;
        d.state = CMPI_goodValue;
        d.value.inst = &i->cmpi;
        return d;
    }
    // A reference likewise shares its path.
    if (value.type() == CMPI_ref && !value.isNull() && value.heldReference()) {
        PathObj* p = make<PathObj>(space, owner);
        p->held = value.heldReference();
        CMPIData d;
        d.type = CMPI_ref;
        d.state = CMPI_goodValue;
        d.value.ref = &p->cmpi;
        return d;
    }
    DataIn writer(space, owner, value.type());
    return visitValue(value, writer);
}

}  // namespace objects

using namespace objects;

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
            *out = Value::string(s->text());
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
            *out = Value::sharedReference(p->shared());
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

CMPIData toData(ObjectSpace& space, const Value& value) { return dataIn(space, currentArena(space), value); }

}  // namespace cimhost
