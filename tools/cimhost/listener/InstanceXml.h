// Instances and values as CIM-XML carries them, read into plain text: what a
// listener records of an indication, and what a client makes of a CIMOM's
// answer. Nothing is interpreted beyond the markup: a value stays the text
// the sender wrote, so a test can compare it byte for byte, and whatever the
// sender got wrong stays visible instead of being converted away.
#pragma once

#include <map>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace cimhost {
namespace listener {

// CIM names (classes, properties, keys) compare without regard to case.
struct NameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

struct Property {
    // The CIM type as the sender named it ("string", "uint16", "datetime",
    // ...); "reference" for references.
    std::string type;
    bool array = false;
    // No value at all: a missing VALUE, VALUE.ARRAY or VALUE.REFERENCE.
    bool null = true;
    // A scalar's text; for a reference the path as pathText writes it.
    std::string text;
    // An array's elements in order; VALUE.NULL elements are empty optionals.
    std::vector<std::optional<std::string>> items;
};

struct Instance {
    std::string className;
    std::map<std::string, Property, NameLess> properties;

    // nullptr when the instance has no such property.
    const Property* find(const std::string& name) const;
};

// Reads an INSTANCE element: its class and every PROPERTY, PROPERTY.ARRAY and
// PROPERTY.REFERENCE. Qualifiers are skipped. False, with the reason in
// *error, for anything that is not a well-made instance (a property without
// a name, a value element where none belongs, a reference without a path).
bool readInstance(const pugi::xml_node& node, Instance* out, std::string* error);

// Reads the value inside a PROPERTY, PROPERTY.ARRAY, PROPERTY.REFERENCE,
// PARAMVALUE or RETURNVALUE element; `type` is what the element's TYPE or
// PARAMTYPE said (empty when it said nothing).
bool readValue(const pugi::xml_node& holder, const std::string& type, Property* out, std::string* error);

// An instance path (INSTANCENAME, LOCALINSTANCEPATH, INSTANCEPATH, or a
// VALUE.REFERENCE holding one) as text:
//   [//host/][namespace:]Class.Key1="text",Key2=42,Key3="<nested path>"
// with the keys sorted by name without regard to case; string and reference
// key values are quoted, '"' and '\' in them escaped with a backslash.
bool pathText(const pugi::xml_node& node, std::string* out, std::string* error);

}  // namespace listener
}  // namespace cimhost
