// The one walk over a host value's type. Every writer of values (CIM-XML,
// the JSON-lines sink, the interop store, the CMPI data handed to providers,
// the readable text) used to switch over CMPI type codes itself, and each
// switch could miss a type or read the wrong member; here the type codes a
// Value can hold are listed once, each with the reader that gives its
// content, and a writer says only what it does with a boolean, an integer, a
// text, a path or an instance.
//
// A writer derives from ValueVisitor<Writer, Result> and defines hooks:
//
//   null(CMPIType type)                   a null value of `type` (full code,
//                                         CMPI_ARRAY set for a null array)
//   array(CMPIType element, const std::vector<Value>& items)
//                                         a non-null array; visitItems()
//                                         walks its items through the writer
//   boolean(bool)
//   char16(uint16_t)                      defaults to unsignedInteger
//   uint8 .. uint64(uintN_t)              default to unsignedInteger(uint64_t)
//   sint8 .. sint64(intN_t)               default to signedInteger(int64_t)
//   real32(float), real64(double)         default to real(double)
//   string(text), datetime(text)          default to text(const std::string&)
//                                         (a datetime is its CIM text)
//   reference(const ObjectPath&)
//   instance(const Instance&)
//   other(const Value&)                   a type code outside the model
//
// A writer that draws a distinction (char16 as a character, real32 with
// fewer digits) defines the finer hook; one that does not defines only the
// coarse one. A hook neither defined nor defaulted fails to compile, so no
// type is forgotten. Dispatch is static: no virtual call per value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/Value.h"

namespace cimhost {

template <class Writer, class Result = void>
class ValueVisitor {
public:
    Result char16(uint16_t c) { return writer().unsignedInteger(c); }
    Result uint8(uint8_t x) { return writer().unsignedInteger(x); }
    Result uint16(uint16_t x) { return writer().unsignedInteger(x); }
    Result uint32(uint32_t x) { return writer().unsignedInteger(x); }
    Result uint64(uint64_t x) { return writer().unsignedInteger(x); }
    Result sint8(int8_t x) { return writer().signedInteger(x); }
    Result sint16(int16_t x) { return writer().signedInteger(x); }
    Result sint32(int32_t x) { return writer().signedInteger(x); }
    Result sint64(int64_t x) { return writer().signedInteger(x); }
    Result real32(float x) { return writer().real(x); }
    Result real64(double x) { return writer().real(x); }
    Result string(const std::string& s) { return writer().text(s); }
    Result datetime(const std::string& cimText) { return writer().text(cimText); }

protected:
    ~ValueVisitor() = default;

    // Each item of an array, in order, through the same writer.
    void visitItems(const std::vector<Value>& items);

private:
    Writer& writer() { return static_cast<Writer&>(*this); }
};

// Calls the hook of `writer` that `value`'s type selects and returns what it
// returns. A non-null reference or instance always holds its object (Value's
// constructors see to it); should one not, it is visited as a null.
template <class Writer>
decltype(auto) visitValue(const Value& value, Writer& writer) {
    if (value.isNull()) return writer.null(value.type());
    if (value.isArray()) return writer.array(value.elementType(), value.items());
    switch (value.type()) {
        case CMPI_boolean:
            return writer.boolean(value.asBool());
        case CMPI_char16:
            return writer.char16(static_cast<uint16_t>(value.asUnsigned()));
        case CMPI_uint8:
            return writer.uint8(static_cast<uint8_t>(value.asUnsigned()));
        case CMPI_uint16:
            return writer.uint16(static_cast<uint16_t>(value.asUnsigned()));
        case CMPI_uint32:
            return writer.uint32(static_cast<uint32_t>(value.asUnsigned()));
        case CMPI_uint64:
            return writer.uint64(value.asUnsigned());
        case CMPI_sint8:
            return writer.sint8(static_cast<int8_t>(value.asSigned()));
        case CMPI_sint16:
            return writer.sint16(static_cast<int16_t>(value.asSigned()));
        case CMPI_sint32:
            return writer.sint32(static_cast<int32_t>(value.asSigned()));
        case CMPI_sint64:
            return writer.sint64(value.asSigned());
        // A real32 was a float when it was stored; narrowing it back loses
        // nothing.
        case CMPI_real32:
            return writer.real32(static_cast<float>(value.asReal()));
        case CMPI_real64:
            return writer.real64(value.asReal());
        case CMPI_string:
            return writer.string(value.asText());
        case CMPI_dateTime:
            return writer.datetime(value.asText());
        case CMPI_ref:
            if (!value.asReference()) return writer.null(value.type());
            return writer.reference(*value.asReference());
        case CMPI_instance:
            if (!value.asInstance()) return writer.null(value.type());
            return writer.instance(*value.asInstance());
        default:
            // CMPI_chars among them: readers store it as CMPI_string, so no
            // Value holds it.
            return writer.other(value);
    }
}

template <class Writer, class Result>
void ValueVisitor<Writer, Result>::visitItems(const std::vector<Value>& items) {
    for (const Value& item : items) visitValue(item, writer());
}

}  // namespace cimhost
