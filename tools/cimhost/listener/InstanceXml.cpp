#include "listener/InstanceXml.h"

#include <algorithm>
#include <cstring>

#include "text/Escape.h"

namespace cimhost {
namespace listener {

using text::appendQuoted;

namespace {

// Most elements asked about differ from the name in their first letter.
bool named(const pugi::xml_node& node, const char* name) {
    const char* n = node.name();
    return n[0] == name[0] && std::strcmp(n, name) == 0;
}

bool fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

// The element children that carry content; qualifiers describe the class,
// not the value, and are passed over. Walked in place: a listener reads one
// instance per indication, and a list per element would cost more than the
// reading.
pugi::xml_node contentFrom(pugi::xml_node child) {
    while (child && (child.type() != pugi::node_element || named(child, "QUALIFIER")))
        child = child.next_sibling();
    return child;
}

pugi::xml_node firstContent(const pugi::xml_node& node) { return contentFrom(node.first_child()); }

pugi::xml_node nextContent(const pugi::xml_node& child) { return contentFrom(child.next_sibling()); }

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
    for (pugi::xml_node ns = firstContent(node); ns; ns = nextContent(ns)) {
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
    const pugi::xml_node value = firstContent(binding);
    if (!value || nextContent(value)) return fail(error, "KEYBINDING " + out->first + " without one value");
    out->second.clear();
    if (named(value, "KEYVALUE")) {
        std::string text;
        if (!characters(value, &text, error)) return false;
        const char* kind = value.attribute("VALUETYPE").value();
        if (!*kind || std::strcmp(kind, "string") == 0) {
            appendQuoted(out->second, text);
        } else {
            out->second = text;
        }
        return true;
    }
    if (named(value, "VALUE.REFERENCE")) {
        std::string nested;
        if (!pathText(value, &nested, error)) return false;
        appendQuoted(out->second, nested);
        return true;
    }
    return fail(error, std::string("<") + value.name() + "> as key value");
}

bool instanceName(const pugi::xml_node& node, std::string* out, std::string* error) {
    const std::string className = node.attribute("CLASSNAME").value();
    if (className.empty()) return fail(error, "INSTANCENAME without CLASSNAME");
    std::vector<std::pair<std::string, std::string>> keys;
    for (pugi::xml_node binding = firstContent(node); binding; binding = nextContent(binding)) {
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
    // ASCII letters fold, as strcasecmp folds them; every other byte is
    // compared as it is. A loop of our own: an instance's map makes a
    // hundred of these per indication, and strcasecmp asks the locale.
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + ('a' - 'A'));
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + ('a' - 'A'));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

const Property* Instance::find(const std::string& name) const {
    const auto it = properties.find(name);
    return it == properties.end() ? nullptr : &it->second;
}

bool pathText(const pugi::xml_node& node, std::string* out, std::string* error) {
    if (named(node, "VALUE.REFERENCE")) {
        const pugi::xml_node inner = firstContent(node);
        if (!inner || nextContent(inner)) return fail(error, "VALUE.REFERENCE without one path");
        return pathText(inner, out, error);
    }
    if (named(node, "INSTANCENAME")) return instanceName(node, out, error);
    if (named(node, "CLASSNAME")) {
        *out = node.attribute("NAME").value();
        return !out->empty() || fail(error, "CLASSNAME without NAME");
    }

    // The path forms that name a namespace: [host and] namespace, then the
    // instance or class.
    const pugi::xml_node first = firstContent(node);
    const pugi::xml_node second = first ? nextContent(first) : pugi::xml_node();
    const bool two = second && !nextContent(second);
    std::string host, nameSpace, rest;
    if (named(node, "INSTANCEPATH") || named(node, "CLASSPATH")) {
        if (!two || !named(first, "NAMESPACEPATH"))
            return fail(error, "malformed " + std::string(node.name()));
        const pugi::xml_node hostPart = firstContent(first);
        const pugi::xml_node local = hostPart ? nextContent(hostPart) : pugi::xml_node();
        if (!local || nextContent(local) || !named(hostPart, "HOST") || !named(local, "LOCALNAMESPACEPATH"))
            return fail(error, "malformed NAMESPACEPATH");
        if (!characters(hostPart, &host, error) || !localNamespace(local, &nameSpace, error)) return false;
    } else if (named(node, "LOCALINSTANCEPATH") || named(node, "LOCALCLASSPATH")) {
        if (!two || !named(first, "LOCALNAMESPACEPATH"))
            return fail(error, "malformed " + std::string(node.name()));
        if (!localNamespace(first, &nameSpace, error)) return false;
    } else {
        return fail(error, std::string("<") + node.name() + "> is no path");
    }
    const bool instance = named(node, "INSTANCEPATH") || named(node, "LOCALINSTANCEPATH");
    if (!named(second, instance ? "INSTANCENAME" : "CLASSNAME"))
        return fail(error, "malformed " + std::string(node.name()));
    if (!pathText(second, &rest, error)) return false;
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
    const pugi::xml_node value = firstContent(holder);
    if (!value) return true;
    if (nextContent(value)) return fail(error, std::string("several values in <") + holder.name() + ">");

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
        for (pugi::xml_node item = firstContent(value); item; item = nextContent(item)) {
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
    out->className.clear();
    out->properties.clear();
    if (!named(node, "INSTANCE")) return fail(error, std::string("<") + node.name() + "> is no INSTANCE");
    out->className = node.attribute("CLASSNAME").value();
    if (out->className.empty()) return fail(error, "INSTANCE without CLASSNAME");
    // Each property is read into its place in the map, not copied there.
    for (pugi::xml_node p = firstContent(node); p; p = nextContent(p)) {
        const bool reference = named(p, "PROPERTY.REFERENCE");
        if (!reference && !named(p, "PROPERTY") && !named(p, "PROPERTY.ARRAY"))
            return fail(error, std::string("<") + p.name() + "> in INSTANCE");
        const char* name = p.attribute("NAME").value();
        if (!*name) return fail(error, std::string("<") + p.name() + "> without NAME");
        const char* type = p.attribute("TYPE").value();
        if (!reference && !*type) return fail(error, std::string("property ") + name + " without TYPE");
        const size_t before = out->properties.size();
        const auto slot = out->properties.emplace_hint(out->properties.end(), name, Property());
        const bool given = out->properties.size() == before;
        Property scratch;
        if (!readValue(p, type, given ? &scratch : &slot->second, error)) {
            if (error) *error = std::string("property ") + name + ": " + *error;
            return false;
        }
        if (given) return fail(error, std::string("property ") + name + " given twice");
    }
    return true;
}

}  // namespace listener
}  // namespace cimhost
