// Instances as CIM-XML: the INSTANCE element an export request carries, with
// every property in the form its type takes (PROPERTY, PROPERTY.ARRAY,
// PROPERTY.REFERENCE) and every value escaped so that any XML parser reads
// back the text the provider gave.
#pragma once

#include <string>

#include "core/Value.h"

namespace cimhost {
namespace exporting {

// Appends <INSTANCE CLASSNAME="...">...</INSTANCE> for `instance` to `out`.
//
// Text is written as text::appendXmlEscaped writes it (see text/Escape.h).
// Numbers are decimal; reals carry enough digits to read back the same
// value, and NaN and the infinities are "NaN", "INF" and "-INF". Booleans are TRUE/FALSE, char16 its UTF-8
// character, datetimes their CIM text. A reference is a VALUE.REFERENCE holding an INSTANCEPATH,
// LOCALINSTANCEPATH or INSTANCENAME as far as the path names host and namespace; an embedded instance is a
// string property with EmbeddedObject="instance" whose value is the instance's own CIM-XML. CIM properties
// cannot be arrays of references; should a provider make one, its items go as their path texts in a string
// array.
void appendInstance(std::string& out, const Instance& instance);

// <INSTANCENAME CLASSNAME="...">, one KEYBINDING per key.
void appendInstanceName(std::string& out, const ObjectPath& path);

// The path as INSTANCEPATH, LOCALINSTANCEPATH or INSTANCENAME, as far as it
// names host and namespace.
void appendPath(std::string& out, const ObjectPath& path);

// <CLASSPATH> of a class in a namespace of a host.
void appendClassPath(std::string& out, const std::string& host, const std::string& nameSpace,
                     const std::string& className);

// A non-null value as VALUE, VALUE.ARRAY or VALUE.REFERENCE (nothing for a
// null one), written as a property's value is.
void appendValue(std::string& out, const Value& value);

// The CIM-XML TYPE of a CMPI element type ("uint16", "datetime", ...;
// "string" for what has no other form).
const char* cimTypeName(CMPIType type);

}  // namespace exporting
}  // namespace cimhost
