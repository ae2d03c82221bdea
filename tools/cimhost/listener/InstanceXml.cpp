#include "listener/InstanceXml.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "text/Escape.h"

namespace cimhost {
namespace listener {

using text::appendQuoted;

namespace {

bool named(const pugi::xml_node& node, const char* name) { return std::strcmp(node.name(), name) == 0; }

bool fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

// The element children that carry content; qualifiers describe the class,
// not the value, and are passed over.
std::vector<pugi::xml_node> contentChildren(const pugi::xml_node& node) {
    std::vector<pugi::xml_node> out;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && !named(child, "QUALIFIER")) out.push_back(child);
    }
    return out;
}

// The character data of a VALUE or KEYVALUE, CDATA sections included; any
// element inside it makes it malformed.
bool characters(const pugi::xml_node& node, std::string* out, std::string* error) {
    out->clear();
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            out->append(child.value());
        } else if (child.type() == pugi::node_element) {
            return fail(error, std::string("<") + child.name() + "> inside <" + node.name() + ">");
        }
    }
    return true;
}

bool localNamespace(const pugi::xml_node& node, std::string* out, std::string* error) {
    out->clear();
    for (const pugi::xml_node& ns : contentChildren(node)) {
        const char* name = ns.attribute("NAME").value();
        if (!named(ns, "NAMESPACE") || !*name) return fail(error, "malformed LOCALNAMESPACEPATH");
        if (!out->empty()) *out += '/';
        *out += name;
    }
    return !out->empty() || fail(error, "empty LOCALNAMESPACEPATH");
}

bool keyBinding(const pugi::xml_node& binding, std::pair<std::string, std::string>* out, std::string* error) {
    out->first = binding.attribute("NAME").value();
    if (out->first.empty()) return fail(error, "KEYBINDING without NAME");
    const std::vector<pugi::xml_node> value = contentChildren(binding);
    if (value.size() != 1) return fail(error, "KEYBINDING " + out->first + " without one value");
    out->second.clear();
    if (named(value[0], "KEYVALUE")) {
        std::string text;
        if (!characters(value[0], &text, error)) return false;
        const std::string kind = value[0].attribute("VALUETYPE").value();
        if (kind.empty() || kind == "string") {
            appendQuoted(out->second, text);
        } else {
            out->second = text;
        }
        return true;
    }
    if (named(value[0], "VALUE.REFERENCE")) {
        std::string nested;
        if (!pathText(value[0], &nested, error)) return false;
        appendQuoted(out->second, nested);
        return true;
    }
    return fail(error, std::string("<") + value[0].name() + "> as key value");
}

bool instanceName(const pugi::xml_node& node, std::string* out, std::string* error) {
    const std::string className = node.attribute("CLASSNAME").value();
    if (className.empty()) return fail(error, "INSTANCENAME without CLASSNAME");
    std::vector<std::pair<std::string, std::string>> keys;
    for (const pugi::xml_node& binding : contentChildren(node)) {
        if (!named(binding, "KEYBINDING"))
            return fail(error, std::string("<") + binding.name() + "> in INSTANCENAME");
        keys.emplace_back();
        if (!keyBinding(binding, &keys.back(), error)) return false;
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return NameLess()(a.first, b.first); });
    *out = className;
    for (size_t i = 0; i < keys.size(); ++i) *out += (i ? "," : ".") + keys[i].first + "=" + keys[i].second;
    return true;
}

}  // namespace

bool NameLess::operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

const Property* Instance::find(const std::string& name) const {
    const auto it = properties.find(name);
    return it == properties.end() ? nullptr : &it->second;
}

bool pathText(const pugi::xml_node& node, std::string* out, std::string* error) {
    if (named(node, "VALUE.REFERENCE")) {
        const std::vector<pugi::xml_node> inner = contentChildren(node);
        if (inner.size() != 1) return fail(error, "VALUE.REFERENCE without one path");
        return pathText(inner[0], out, error);
    }
    if (named(node, "INSTANCENAME")) return instanceName(node, out, error);
    if (named(node, "CLASSNAME")) {
        *out = node.attribute("NAME").value();
        return !out->empty() || fail(error, "CLASSNAME without NAME");
    }

    // The path forms that name a namespace: [host and] namespace, then the
    // instance or class.
    const std::vector<pugi::xml_node> parts = contentChildren(node);
    std::string host, nameSpace, rest;
    size_t at = 0;
    if (named(node, "INSTANCEPATH") || named(node, "CLASSPATH")) {
        if (parts.size() != 2 || !named(parts[0], "NAMESPACEPATH"))
            return fail(error, "malformed " + std::string(node.name()));
        const std::vector<pugi::xml_node> nsParts = contentChildren(parts[0]);
        if (nsParts.size() != 2 || !named(nsParts[0], "HOST") || !named(nsParts[1], "LOCALNAMESPACEPATH"))
            return fail(error, "malformed NAMESPACEPATH");
        if (!characters(nsParts[0], &host, error) || !localNamespace(nsParts[1], &nameSpace, error))
            return false;
        at = 1;
    } else if (named(node, "LOCALINSTANCEPATH") || named(node, "LOCALCLASSPATH")) {
        if (parts.size() != 2 || !named(parts[0], "LOCALNAMESPACEPATH"))
            return fail(error, "malformed " + std::string(node.name()));
        if (!localNamespace(parts[0], &nameSpace, error)) return false;
        at = 1;
    } else {
        return fail(error, std::string("<") + node.name() + "> is no path");
    }
    const bool instance = named(node, "INSTANCEPATH") || named(node, "LOCALINSTANCEPATH");
    if (!named(parts[at], instance ? "INSTANCENAME" : "CLASSNAME"))
        return fail(error, "malformed " + std::string(node.name()));
    if (!pathText(parts[at], &rest, error)) return false;
    out->clear();
    if (!host.empty()) *out = "//" + host + "/";
    *out += nameSpace + ":" + rest;
    return true;
}

bool readValue(const pugi::xml_node& holder, const std::string& type, Property* out, std::string* error) {
    *out = Property();
    out->type = type;
    out->array = named(holder, "PROPERTY.ARRAY");
    if (named(holder, "PROPERTY.REFERENCE")) out->type = "reference";
    const std::vector<pugi::xml_node> values = contentChildren(holder);
    if (values.empty()) return true;
    if (values.size() > 1) return fail(error, std::string("several values in <") + holder.name() + ">");
    const pugi::xml_node& value = values[0];

    if (named(value, "VALUE")) {
        if (out->array || out->type == "reference")
            return fail(error, "<VALUE> where an array or reference belongs");
        out->null = false;
        return characters(value, &out->text, error);
    }
    if (named(value, "VALUE.ARRAY")) {
        if (out->type == "reference" || named(holder, "PROPERTY"))
            return fail(error, "<VALUE.ARRAY> in a scalar");
        out->array = true;
        out->null = false;
        for (const pugi::xml_node& item : contentChildren(value)) {
            if (named(item, "VALUE.NULL")) {
                out->items.emplace_back();
            } else if (named(item, "VALUE")) {
                std::string text;
                if (!characters(item, &text, error)) return false;
                out->items.emplace_back(std::move(text));
            } else {
                return fail(error, std::string("<") + item.name() + "> in VALUE.ARRAY");
            }
        }
        return true;
    }
    if (named(value, "VALUE.REFERENCE")) {
        if (out->array || named(holder, "PROPERTY"))
            return fail(error, "<VALUE.REFERENCE> where no reference belongs");
        out->type = "reference";
        out->null = false;
        return pathText(value, &out->text, error);
    }
    return fail(error, std::string("<") + value.name() + "> as a value");
}

bool readInstance(const pugi::xml_node& node, Instance* out, std::string* error) {
    *out = Instance();
    if (!named(node, "INSTANCE")) return fail(error, std::string("<") + node.name() + "> is no INSTANCE");
    out->className = node.attribute("CLASSNAME").value();
    if (out->className.empty()) return fail(error, "INSTANCE without CLASSNAME");
    for (const pugi::xml_node& p : contentChildren(node)) {
        const bool reference = named(p, "PROPERTY.REFERENCE");
        if (!reference && !named(p, "PROPERTY") && !named(p, "PROPERTY.ARRAY"))
            return fail(error, std::string("<") + p.name() + "> in INSTANCE");
        const std::string name = p.attribute("NAME").value();
        if (name.empty()) return fail(error, std::string("<") + p.name() + "> without NAME");
        const std::string type = p.attribute("TYPE").value();
        if (!reference && type.empty()) return fail(error, "property " + name + " without TYPE");
        Property value;
        if (!readValue(p, type, &value, error)) {
            if (error) *error = "property " + name + ": " + *error;
            return false;
        }
        if (!out->properties.emplace(name, std::move(value)).second)
            return fail(error, "property " + name + " given twice");
    }
    return true;
}

}  // namespace listener
}  // namespace cimhost
