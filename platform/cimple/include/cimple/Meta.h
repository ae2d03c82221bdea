// Class descriptions as the schema generator emits them.
//
// Every record is a constant aggregate that lives in the generated repository;
// nothing here is ever built at run time. A record starts with the same two
// fields (flags, name) so that a feature list can hold properties, references
// and methods side by side and be told apart by its flags.
//
// Instances are plain structs whose first member is a cimple::Instance header,
// followed by one field per feature of the class, inherited features first, in
// declaration order. Meta_Property::offset / Meta_Reference::offset give each
// field's byte offset in that struct; Meta_Class::size is sizeof the struct.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cimple {

struct Meta_Class;
struct Meta_Repository;

// CIM intrinsic types. The numbering is ours (not CMPI's); the adapter maps it.
enum Type : uint16_t {
    BOOLEAN,
    UINT8,
    SINT8,
    UINT16,
    SINT16,
    UINT32,
    SINT32,
    UINT64,
    SINT64,
    REAL32,
    REAL64,
    CHAR16,
    STRING,
    DATETIME,
};

enum : uint32_t {
    CIMPLE_FLAG_PROPERTY = 1u << 0,
    CIMPLE_FLAG_REFERENCE = 1u << 1,
    CIMPLE_FLAG_METHOD = 1u << 2,
    CIMPLE_FLAG_CLASS = 1u << 3,
    CIMPLE_FLAG_ASSOCIATION = 1u << 4,
    CIMPLE_FLAG_INDICATION = 1u << 5,
    CIMPLE_FLAG_KEY = 1u << 6,
    CIMPLE_FLAG_IN = 1u << 7,
    CIMPLE_FLAG_OUT = 1u << 8,
};

// Common head of every feature record.
struct Meta_Feature {
    uint32_t flags;
    const char* name;
};

// Default of an array property: `data` points to `size` elements of the
// property's C type (const char* for STRING and DATETIME).
struct Meta_Array_Value {
    const void* data;
    uint32_t size;
};

// flags has CIMPLE_FLAG_PROPERTY (and CIMPLE_FLAG_KEY, IN, OUT as declared).
struct Meta_Property {
    uint32_t flags;
    const char* name;
    uint16_t type;      // cimple::Type
    int16_t subscript;  // 0 scalar, -1 array
    uint32_t offset;    // of the Property<T> field in the instance struct
    // Class default, or null when the class declares none. Scalars: points to
    // one value of the C type (bool, uint8_t ... double, uint16_t for CHAR16,
    // const char* for STRING and DATETIME text). Arrays: a Meta_Array_Value.
    const void* value;
};

// flags has CIMPLE_FLAG_REFERENCE (and KEY, IN, OUT). The field at `offset` is
// an Instance* (scalar; null means a null reference) or a
// Property<Array<Instance*>> (subscript -1). The instance owns what it points to.
struct Meta_Reference {
    uint32_t flags;
    const char* name;
    int16_t subscript;
    const Meta_Class* meta_class;  // the class the reference is declared to
    uint32_t offset;
};

// flags has CIMPLE_FLAG_METHOD. A method call travels as an instance of
// `meta_class`: a record class named like the method whose features are the
// parameters in declaration order followed by the property "return_value".
struct Meta_Method {
    uint32_t flags;
    const char* name;
    const Meta_Class* meta_class;
    uint16_t return_type;  // cimple::Type
};

// flags has CIMPLE_FLAG_CLASS plus ASSOCIATION or INDICATION for those kinds,
// or CIMPLE_FLAG_METHOD for a method's parameter record.
struct Meta_Class {
    uint32_t flags;
    const char* name;
    const Meta_Feature* const* meta_features;  // flattened: inherited first
    uint32_t num_meta_features;
    uint32_t size;                       // sizeof the instance struct
    const Meta_Class* super_meta_class;  // null for a root class
    uint32_t num_keys;
    const Meta_Repository* meta_repository;
};

struct Meta_Repository {
    const Meta_Class* const* meta_classes;
    uint32_t num_meta_classes;
};

// Case-insensitive look-ups; null when absent.
const Meta_Class* find_meta_class(const Meta_Repository* repository, const char* name);
const Meta_Feature* find_feature(const Meta_Class* meta_class, const char* name,
                                 uint32_t flags = 0xFFFFFFFFu);

// True when `derived` is `base` or one of its subclasses.
bool is_subclass(const Meta_Class* base, const Meta_Class* derived);

}  // namespace cimple
