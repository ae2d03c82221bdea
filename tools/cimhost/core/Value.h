// The embedded CIMOM's own representation of CIM data: values, object paths
// and instances. It is what the host stores, matches filters against and
// hands to clients; the CMPI objects that providers see are built from it and
// read back into it. Type codes are CMPI's (CMPIType), since that is the only
// interface the host speaks to providers.
#pragma once

#include <cmpi/cmpidt.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cimhost {

struct ObjectPath;
struct Instance;

// One CIM value with its type and null flag. Datetimes are held as their
// 25-character CIM text ("yyyymmddhhmmss.mmmmmmsutc" or the interval form).
class Value {
public:
    Value() = default;  // untyped null (CMPI_null)

    static Value null(CMPIType type);
    static Value boolean(bool b);
    static Value char16(uint16_t c);
    static Value uint8(uint8_t x) { return unsignedOf(CMPI_uint8, x); }
    static Value uint16(uint16_t x) { return unsignedOf(CMPI_uint16, x); }
    static Value uint32(uint32_t x) { return unsignedOf(CMPI_uint32, x); }
    static Value uint64(uint64_t x) { return unsignedOf(CMPI_uint64, x); }
    static Value sint8(int8_t x) { return signedOf(CMPI_sint8, x); }
    static Value sint16(int16_t x) { return signedOf(CMPI_sint16, x); }
    static Value sint32(int32_t x) { return signedOf(CMPI_sint32, x); }
    static Value sint64(int64_t x) { return signedOf(CMPI_sint64, x); }
    // An integer of `type` read from text or JSON: uint8..uint64 and char16
    // (unsigned), sint8..sint64 (signed). False when x is outside the type's
    // range or the type is no integer type of that signedness.
    static bool unsignedInRange(CMPIType type, uint64_t x, Value* out);
    static bool signedInRange(CMPIType type, int64_t x, Value* out);
    static Value real32(float x);
    static Value real64(double x);
    static Value string(std::string s);
    static Value datetime(std::string cimText);
    static Value reference(ObjectPath path);
    static Value instance(Instance inst);
    // An instance value that shares `inst` with its other holders instead of
    // copying it. Nobody may change *inst while it is shared; a holder that
    // finds itself the only one (use_count() == 1) may.
    static Value sharedInstance(std::shared_ptr<Instance> inst);
    // A reference that shares `path` the same way (sharedInstance's rule).
    static Value sharedReference(std::shared_ptr<ObjectPath> path);
    // An array of `elementType` (without CMPI_ARRAY). Items must be of that
    // type; a null item is allowed.
    static Value array(CMPIType elementType, std::vector<Value> items);

    // The full type code (CMPI_ARRAY set for arrays).
    CMPIType type() const { return type_; }
    CMPIType elementType() const { return static_cast<CMPIType>(type_ & ~CMPI_ARRAY); }
    bool isNull() const { return null_; }
    bool isArray() const { return (type_ & CMPI_ARRAY) != 0; }

    // Readers; each is meaningful only for its type family and gives 0/empty
    // otherwise.
    bool asBool() const { return bits_.u != 0; }
    uint64_t asUnsigned() const { return bits_.u; }      // uint*, char16
    int64_t asSigned() const { return bits_.s; }         // sint*
    double asReal() const { return bits_.r; }            // real32, real64
    const std::string& asText() const { return text_; }  // string, datetime
    const ObjectPath* asReference() const { return ref_.get(); }
    const Instance* asInstance() const { return inst_.get(); }
    // The instance held, for a holder that shares it under the rule of
    // sharedInstance (copies it before changing it while it is shared).
    const std::shared_ptr<Instance>& heldInstance() const { return inst_; }
    // The path held, under the same rule.
    const std::shared_ptr<ObjectPath>& heldReference() const { return ref_; }
    const std::vector<Value>& items() const { return items_; }

    // The instance or path held, moved out when this value is its only
    // owner (else copied); the value is left a null of its type. For results
    // the host hands on and no longer needs.
    Instance takeInstance();
    ObjectPath takeReference();

    // Readable form for traces, tests and the JSON sink: NULL, "text" (with
    // '"' and '\' escaped), decimal numbers, TRUE/FALSE, a datetime's CIM
    // text, a reference's path text, {item, item} for arrays.
    std::string toText() const;

    // Same type, same null-ness, same value (text exactly, reals bitwise).
    friend bool operator==(const Value& a, const Value& b);
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

private:
    static Value unsignedOf(CMPIType t, uint64_t x);
    static Value signedOf(CMPIType t, int64_t x);

    CMPIType type_ = CMPI_null;
    bool null_ = true;
    union Bits {
        uint64_t u;
        int64_t s;
        double r;
    } bits_{0};
    std::string text_;
    // Shared between copies and never changed while shared: only a sole
    // owner moves from them (take*).
    std::shared_ptr<ObjectPath> ref_;
    std::shared_ptr<Instance> inst_;
    std::vector<Value> items_;
};

// Named values in insertion order, names looked up case-insensitively.
class NamedValues {
public:
    typedef std::vector<std::pair<std::string, Value>>::const_iterator const_iterator;

    // Replaces the value of an existing name (keeping its first spelling) or
    // appends it.
    // Names are taken as views so that callers holding C strings (every
    // CMPI function) make no temporary std::string per lookup.
    void set(std::string_view name, Value value);
    const Value* find(std::string_view name) const;
    bool erase(std::string_view name);
    void reserve(size_t n) { items_.reserve(n); }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const std::pair<std::string, Value>& at(size_t i) const { return items_[i]; }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }

    // Same names (case-insensitively) with equal values, order free.
    friend bool operator==(const NamedValues& a, const NamedValues& b);
    friend bool operator!=(const NamedValues& a, const NamedValues& b) { return !(a == b); }

private:
    std::vector<std::pair<std::string, Value>> items_;
};

struct ObjectPath {
    std::string nameSpace;  // may be empty (relative path)
    std::string host;       // may be empty
    std::string className;
    NamedValues keys;

    // "ns:Class.Key1=\"v\",Key2=42" with keys sorted by name
    // case-insensitively; the namespace part is left out when empty.
    std::string toText() const;
    // Reads what toText writes (and paths with a "//host/" prefix). False
    // for malformed text. Key values read as strings when quoted, TRUE/FALSE
    // as booleans, integers as sint64 (uint64 when too large), a quoted
    // nested path stays a string (the caller knows its key types).
    static bool parse(const std::string& text, ObjectPath* out);

    // Class names and namespaces case-insensitively, hosts ignored, keys as
    // NamedValues compares them.
    friend bool operator==(const ObjectPath& a, const ObjectPath& b);
    friend bool operator!=(const ObjectPath& a, const ObjectPath& b) { return !(a == b); }
};

struct Instance {
    ObjectPath path;  // class name, namespace and (for keyed classes) keys
    NamedValues properties;

    const std::string& className() const { return path.className; }
    const Value* property(const std::string& name) const { return properties.find(name); }
};

// The outcome of a CIM operation as a client sees it.
struct Status {
    CMPIrc rc = CMPI_RC_OK;
    std::string message;

    bool ok() const { return rc == CMPI_RC_OK; }
    static Status error(CMPIrc rc, std::string message) { return Status{rc, std::move(message)}; }
};

// A CMPI return code in words, as messages show it ("failed", "access
// denied"); "status N" for a code CMPI does not define.
std::string statusName(CMPIrc rc);

// Case-insensitive ASCII equality, as CIM compares names.
bool sameName(const std::string& a, const std::string& b);
bool sameName(std::string_view a, std::string_view b);

}  // namespace cimhost
