#include "server/Request.h"

#include <cimple/Meta.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>

#include "export/CimXml.h"

namespace cimhost {
namespace server {
namespace {

CMPIType typeNamed(const std::string& name) {
    static const struct {
        const char* name;
        CMPIType type;
    } types[] = {{"boolean", CMPI_boolean},   {"char16", CMPI_char16}, {"uint8", CMPI_uint8},
                 {"uint16", CMPI_uint16},     {"uint32", CMPI_uint32}, {"uint64", CMPI_uint64},
                 {"sint8", CMPI_sint8},       {"sint16", CMPI_sint16}, {"sint32", CMPI_sint32},
                 {"sint64", CMPI_sint64},     {"real32", CMPI_real32}, {"real64", CMPI_real64},
                 {"datetime", CMPI_dateTime}, {"reference", CMPI_ref}, {"string", CMPI_string}};
    for (const auto& t : types)
        if (sameName(name, std::string(t.name))) return t.type;
    return CMPI_null;
}

bool integerText(const std::string& text, bool isSigned, uint64_t* u, int64_t* s) {
    if (text.empty() || text.size() > 40) return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const bool negative = text[0] == '-';
    const int base = text.find("0x") != std::string::npos || text.find("0X") != std::string::npos ? 16 : 10;
    if (isSigned) {
        *s = strtoll(begin, &end, base);
    } else {
        if (negative) return false;
        *u = strtoull(begin, &end, base);
    }
    return errno == 0 && end && *end == '\0' && end != begin && !isspace(static_cast<unsigned char>(text[0]));
}

// The one character of a char16's UTF-8 text; false for none, more than
// one, or one beyond the 16-bit range.
bool char16Of(const std::string& text, uint16_t* out) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text.size() == 1 && at(0) < 0x80) {
        *out = at(0);
        return true;
    }
    if (text.size() == 2 && at(0) >= 0xC2 && at(0) <= 0xDF && (at(1) & 0xC0) == 0x80) {
        *out = static_cast<uint16_t>(((at(0) & 0x1F) << 6) | (at(1) & 0x3F));
        return true;
    }
    if (text.size() == 3 && (at(0) & 0xF0) == 0xE0 && (at(1) & 0xC0) == 0x80 && (at(2) & 0xC0) == 0x80) {
        const unsigned c = ((at(0) & 0x0F) << 12) | ((at(1) & 0x3F) << 6) | (at(2) & 0x3F);
        if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return false;
        *out = static_cast<uint16_t>(c);
        return true;
    }
    return false;
}

// Reads the parts of a request below SIMPLEREQ. Structural faults end the
// read (a refusal); values that do not fit their types leave a CIM error in
// the request and the read goes on, so that the answer names the call.
class Reader {
public:
    Reader(const ClassRepository& classes, Request* request) : classes_(classes), request_(request) {}

    bool invalid(const std::string& reason) {
        reason_ = reason;
        return false;
    }
    const std::string& reason() const { return reason_; }

    void badValue(const std::string& reason) {
        if (request_->error.ok()) request_->error = Status::error(CMPI_RC_ERR_INVALID_PARAMETER, reason);
    }

    bool nameSpace(const pugi::xml_node& localNamespacePath, std::string* out) {
        if (strcmp(localNamespacePath.name(), "LOCALNAMESPACEPATH") != 0)
            return invalid("expected LOCALNAMESPACEPATH");
        out->clear();
        for (const pugi::xml_node ns : localNamespacePath.children()) {
            if (strcmp(ns.name(), "NAMESPACE") != 0 || !ns.attribute("NAME"))
                return invalid("LOCALNAMESPACEPATH holds something other than named NAMESPACE elements");
            if (!out->empty()) *out += '/';
            *out += ns.attribute("NAME").value();
        }
        if (out->empty()) return invalid("empty LOCALNAMESPACEPATH");
        return true;
    }

    // INSTANCEPATH, LOCALINSTANCEPATH or INSTANCENAME, or a VALUE.REFERENCE
    // holding one.
    bool path(const pugi::xml_node& node, ObjectPath* out) {
        const std::string name = node.name();
        if (name == "VALUE.REFERENCE") {
            pugi::xml_node inner = node.first_child();
            if (!inner || inner.next_sibling()) return invalid("VALUE.REFERENCE must hold one path");
            return path(inner, out);
        }
        if (name == "INSTANCEPATH") {
            const pugi::xml_node nsPath = node.child("NAMESPACEPATH");
            out->host = nsPath.child_value("HOST");
            return nameSpace(nsPath.child("LOCALNAMESPACEPATH"), &out->nameSpace) &&
                   instanceName(node.child("INSTANCENAME"), out);
        }
        if (name == "LOCALINSTANCEPATH")
            return nameSpace(node.child("LOCALNAMESPACEPATH"), &out->nameSpace) &&
                   instanceName(node.child("INSTANCENAME"), out);
        if (name == "INSTANCENAME") return instanceName(node, out);
        return invalid("expected an instance path, got " + (name.empty() ? std::string("nothing") : name));
    }

    bool instanceName(const pugi::xml_node& node, ObjectPath* out) {
        if (strcmp(node.name(), "INSTANCENAME") != 0) return invalid("expected INSTANCENAME");
        out->className = node.attribute("CLASSNAME").value();
        if (out->className.empty()) return invalid("INSTANCENAME without CLASSNAME");
        for (const pugi::xml_node child : node.children()) {
            const std::string kind = child.name();
            if (kind == "KEYBINDING") {
                const std::string key = child.attribute("NAME").value();
                if (key.empty()) return invalid("KEYBINDING without NAME");
                Value v;
                if (!keyValue(out->className, key, child.first_child(), &v)) return false;
                out->keys.set(key, std::move(v));
            } else if (kind == "KEYVALUE" || kind == "VALUE.REFERENCE") {
                // The one key of a class, unnamed.
                const std::vector<std::string> keys = classes_.keys(out->className);
                if (keys.size() != 1) return invalid("an unnamed key for a class without exactly one key");
                Value v;
                if (!keyValue(out->className, keys[0], child, &v)) return false;
                out->keys.set(keys[0], std::move(v));
            } else {
                return invalid("INSTANCENAME holds " + kind);
            }
        }
        return true;
    }

    bool keyValue(const std::string& className, const std::string& key, const pugi::xml_node& node,
                  Value* out) {
        if (strcmp(node.name(), "VALUE.REFERENCE") == 0) {
            ObjectPath ref;
            if (!path(node, &ref)) return false;
            *out = Value::reference(std::move(ref));
            return true;
        }
        if (strcmp(node.name(), "KEYVALUE") != 0) return invalid("key " + key + " has no KEYVALUE");
        const std::string text = node.child_value();
        CMPIType type = CMPI_null;
        if (!classes_.featureType(className, key, &type)) {
            const std::string valueType = node.attribute("VALUETYPE").value();
            type = node.attribute("TYPE")   ? typeNamed(node.attribute("TYPE").value())
                   : valueType == "boolean" ? CMPI_boolean
                   : valueType == "numeric" ? (text[0] == '-' ? CMPI_sint64 : CMPI_uint64)
                                            : CMPI_string;
        }
        if (type == CMPI_ref) {
            ObjectPath ref;
            if (!ObjectPath::parse(text, &ref)) {
                badValue("key " + key + " is no object path");
                return true;
            }
            *out = Value::reference(std::move(ref));
            return true;
        }
        if (type == CMPI_null || (type & CMPI_ARRAY) || !valueFromText(type, text, out))
            badValue("key " + key + " is no value of its type: '" + text + "'");
        return true;
    }

    // A value of the given type (CMPI_ARRAY set for arrays) from its element
    // (VALUE, VALUE.ARRAY or VALUE.REFERENCE); a null of the type for none.
    bool value(const pugi::xml_node& v, CMPIType type, const std::string& what, Value* out) {
        if (v && v.next_sibling()) return invalid(what + " holds more than one value");
        const CMPIType element = static_cast<CMPIType>(type & ~CMPI_ARRAY);
        if (!v) {
            *out = Value::null(type);
            return true;
        }
        const std::string kind = v.name();
        if (kind == "VALUE.REFERENCE") {
            ObjectPath ref;
            if (!path(v, &ref)) return false;
            if (type != CMPI_ref) badValue(what + " is no reference");
            *out = Value::reference(std::move(ref));
            return true;
        }
        if (kind == "VALUE.ARRAY") {
            std::vector<Value> items;
            for (const pugi::xml_node item : v.children()) {
                Value one = Value::null(element);
                if (strcmp(item.name(), "VALUE") == 0) {
                    if (!valueFromText(element, item.child_value(), &one))
                        badValue(what + " holds an item that is no " + exporting::cimTypeName(element));
                } else if (strcmp(item.name(), "VALUE.NULL") != 0) {
                    return invalid(what + ": VALUE.ARRAY holds " + item.name());
                }
                items.push_back(std::move(one));
            }
            if (!(type & CMPI_ARRAY)) badValue(what + " is an array where none belongs");
            *out = Value::array(element, std::move(items));
            return true;
        }
        if (kind == "VALUE") {
            if (type & CMPI_ARRAY) badValue(what + " is no array");
            if (element == CMPI_ref) {
                ObjectPath ref;
                if (!ObjectPath::parse(v.child_value(), &ref)) badValue(what + " is no object path");
                *out = Value::reference(std::move(ref));
            } else if (!valueFromText(element, v.child_value(), out)) {
                badValue(what + " is no " + exporting::cimTypeName(element) + ": '" + v.child_value() + "'");
            }
            return true;
        }
        return invalid(what + " holds " + kind);
    }

    // The declared type of a property or parameter when the class knows it,
    // else what the sender said.
    static CMPIType declared(const pugi::xml_node& node, const char* typeAttribute, CMPIType known) {
        if (known != CMPI_null) return known;
        const std::string kind = node.name();
        CMPIType t = kind == "PROPERTY.REFERENCE" || kind == "PARAMETER.REFERENCE"
                         ? CMPI_ref
                         : typeNamed(node.attribute(typeAttribute).value());
        if (t == CMPI_null) {
            // No type: a reference when it holds one, else a string.
            const pugi::xml_node v = node.first_child();
            t = strcmp(v.name(), "VALUE.REFERENCE") == 0 ? CMPI_ref : CMPI_string;
        }
        if (kind == "PROPERTY.ARRAY" || strcmp(node.first_child().name(), "VALUE.ARRAY") == 0)
            t |= CMPI_ARRAY;
        return t;
    }

    bool instance(const pugi::xml_node& node, Instance* out) {
        if (strcmp(node.name(), "INSTANCE") != 0) return invalid("expected INSTANCE");
        out->path.className = node.attribute("CLASSNAME").value();
        if (out->path.className.empty()) return invalid("INSTANCE without CLASSNAME");
        for (const pugi::xml_node p : node.children()) {
            const std::string kind = p.name();
            if (kind == "QUALIFIER") continue;
            if (kind != "PROPERTY" && kind != "PROPERTY.ARRAY" && kind != "PROPERTY.REFERENCE")
                return invalid("INSTANCE holds " + kind);
            const std::string name = p.attribute("NAME").value();
            if (name.empty()) return invalid(kind + " without NAME");
            CMPIType known = CMPI_null;
            classes_.featureType(out->path.className, name, &known);
            pugi::xml_node v = p.first_child();
            while (v && strcmp(v.name(), "QUALIFIER") == 0) v = v.next_sibling();
            Value found;
            if (!value(v, declared(p, "TYPE", known), "property " + name, &found)) return false;
            out->properties.set(name, std::move(found));
        }
        return true;
    }

    bool intrinsicParameter(const pugi::xml_node& p) {
        Request& r = *request_;
        const std::string name = p.attribute("NAME").value();
        const pugi::xml_node v = p.first_child();
        if (v && v.next_sibling()) return invalid("IPARAMVALUE " + name + " holds more than one value");
        const std::string kind = v.name();
        const auto className = [&](std::string* out) {
            if (!v) return true;  // null: not given
            if (kind != "CLASSNAME" || !v.attribute("NAME")) return invalid(name + " must be a CLASSNAME");
            *out = v.attribute("NAME").value();
            return true;
        };
        const auto text = [&](std::string* out) {
            if (!v) return true;
            if (kind != "VALUE") return invalid(name + " must be a VALUE");
            *out = v.child_value();
            return true;
        };
        if (sameName(name, std::string("ClassName"))) return className(&r.className);
        if (sameName(name, std::string("AssocClass"))) return className(&r.assocClass);
        if (sameName(name, std::string("ResultClass"))) return className(&r.resultClass);
        if (sameName(name, std::string("Role"))) return text(&r.role);
        if (sameName(name, std::string("ResultRole"))) return text(&r.resultRole);
        if (sameName(name, std::string("InstanceName")) || sameName(name, std::string("ObjectName"))) {
            if (kind == "CLASSNAME" && sameName(name, std::string("ObjectName")))
                return className(&r.className);
            ObjectPath path;
            if (!instanceName(v, &path)) return false;
            path.nameSpace = r.nameSpace;
            r.instanceName = std::move(path);
            return true;
        }
        if (sameName(name, std::string("NewInstance"))) {
            Instance inst;
            if (!instance(v, &inst)) return false;
            inst.path.nameSpace = r.nameSpace;
            r.instance = std::move(inst);
            return true;
        }
        if (sameName(name, std::string("ModifiedInstance"))) {
            if (kind != "VALUE.NAMEDINSTANCE")
                return invalid("ModifiedInstance must be a VALUE.NAMEDINSTANCE");
            ObjectPath path;
            Instance inst;
            if (!instanceName(v.child("INSTANCENAME"), &path) || !instance(v.child("INSTANCE"), &inst))
                return false;
            inst.path = std::move(path);
            inst.path.nameSpace = r.nameSpace;
            r.instance = std::move(inst);
            return true;
        }
        if (sameName(name, std::string("PropertyList"))) {
            if (!v) return true;
            if (kind != "VALUE.ARRAY") return invalid("PropertyList must be a VALUE.ARRAY");
            std::vector<std::string> names;
            for (const pugi::xml_node item : v.children("VALUE")) names.push_back(item.child_value());
            r.propertyList = std::move(names);
            return true;
        }
        static const char* const kFlags[] = {"LocalOnly", "DeepInheritance", "IncludeQualifiers",
                                             "IncludeClassOrigin"};
        for (const char* flag : kFlags) {
            if (!sameName(name, std::string(flag))) continue;
            if (!v) return true;
            Value b;
            if (kind != "VALUE") return invalid(name + " must be a VALUE");
            if (!valueFromText(CMPI_boolean, v.child_value(), &b))
                badValue(name + " is no boolean: '" + v.child_value() + "'");
            r.flags[flag] = b.asBool();
            return true;
        }
        badValue("no parameter " + name + " is known");
        return true;
    }

    bool intrinsic(const pugi::xml_node& call) {
        Request& r = *request_;
        r.intrinsic = true;
        r.method = call.attribute("NAME").value();
        if (r.method.empty()) return invalid("IMETHODCALL without NAME");
        if (!nameSpace(call.first_child(), &r.nameSpace)) return false;
        for (pugi::xml_node p = call.first_child().next_sibling(); p; p = p.next_sibling()) {
            if (strcmp(p.name(), "IPARAMVALUE") != 0 || !p.attribute("NAME"))
                return invalid("IMETHODCALL holds " + std::string(p.name()) +
                               " where a named IPARAMVALUE belongs");
            if (!intrinsicParameter(p)) return false;
        }
        return true;
    }

    bool extrinsic(const pugi::xml_node& call) {
        Request& r = *request_;
        r.intrinsic = false;
        r.method = call.attribute("NAME").value();
        if (r.method.empty()) return invalid("METHODCALL without NAME");
        const pugi::xml_node target = call.first_child();
        const std::string kind = target.name();
        if (kind == "LOCALCLASSPATH") {
            if (!nameSpace(target.child("LOCALNAMESPACEPATH"), &r.target.nameSpace)) return false;
            r.target.className = target.child("CLASSNAME").attribute("NAME").value();
            if (r.target.className.empty()) return invalid("LOCALCLASSPATH without CLASSNAME");
        } else if (kind == "LOCALINSTANCEPATH") {
            if (!path(target, &r.target)) return false;
        } else {
            return invalid("METHODCALL must name a LOCALCLASSPATH or LOCALINSTANCEPATH");
        }
        r.nameSpace = r.target.nameSpace;
        const cimple::Meta_Class* mc = classes_.find(r.target.className);
        const cimple::Meta_Feature* method =
            mc ? cimple::find_feature(mc, r.method.c_str(), cimple::CIMPLE_FLAG_METHOD) : nullptr;
        const cimple::Meta_Class* parameters =
            method ? reinterpret_cast<const cimple::Meta_Method*>(method)->meta_class : nullptr;
        for (pugi::xml_node p = target.next_sibling(); p; p = p.next_sibling()) {
            const std::string name = p.attribute("NAME").value();
            if (strcmp(p.name(), "PARAMVALUE") != 0 || name.empty())
                return invalid("METHODCALL holds " + std::string(p.name()) +
                               " where a named PARAMVALUE belongs");
            const cimple::Meta_Feature* f =
                parameters
                    ? cimple::find_feature(parameters, name.c_str(),
                                           cimple::CIMPLE_FLAG_PROPERTY | cimple::CIMPLE_FLAG_REFERENCE)
                    : nullptr;
            const CMPIType known = f ? ClassRepository::typeOf(f) : CMPI_null;
            Value v;
            if (!value(p.first_child(), declared(p, "PARAMTYPE", known), "parameter " + name, &v))
                return false;
            r.in.set(name, std::move(v));
        }
        return true;
    }

private:
    const ClassRepository& classes_;
    Request* request_;
    std::string reason_;
};

// Depth of the element tree, walked without recursion.
int depthOf(const pugi::xml_document& doc) {
    int depth = 0, deepest = 0;
    pugi::xml_node node = doc.first_child();
    while (node) {
        deepest = std::max(deepest, depth + 1);
        if (node.first_child()) {
            node = node.first_child();
            ++depth;
            continue;
        }
        while (node && !node.next_sibling()) {
            node = node.parent();
            --depth;
            if (depth < 0) return deepest;
        }
        if (node) node = node.next_sibling();
    }
    return deepest;
}

bool refuse(Refusal* refusal, int status, const char* cimError, std::string reason) {
    refusal->httpStatus = status;
    refusal->cimError = cimError;
    refusal->reason = std::move(reason);
    return false;
}

bool versionOf(const pugi::xml_node& node, const char* attribute, char major) {
    const char* v = node.attribute(attribute).value();
    return v[0] == major && (v[1] == '.' || v[1] == '\0');
}

}  // namespace

bool Request::flag(const std::string& name, bool otherwise) const {
    for (const auto& f : flags)
        if (sameName(f.first, name)) return f.second;
    return otherwise;
}

bool valueFromText(CMPIType type, const std::string& text, Value* out) {
    uint64_t u = 0;
    int64_t s = 0;
    switch (type) {
        case CMPI_boolean:
            if (sameName(text, std::string("TRUE")))
                *out = Value::boolean(true);
            else if (sameName(text, std::string("FALSE")))
                *out = Value::boolean(false);
            else
                return false;
            return true;
        case CMPI_uint8:
        case CMPI_uint16:
        case CMPI_uint32:
        case CMPI_uint64: {
            return integerText(text, false, &u, &s) && Value::unsignedInRange(type, u, out);
        }
        case CMPI_sint8:
        case CMPI_sint16:
        case CMPI_sint32:
        case CMPI_sint64: {
            return integerText(text, true, &u, &s) && Value::signedInRange(type, s, out);
        }
        case CMPI_real32:
        case CMPI_real64: {
            double x;
            if (text == "NaN") {
                x = NAN;
            } else if (text == "INF" || text == "-INF") {
                x = text[0] == '-' ? -INFINITY : INFINITY;
            } else {
                if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
                char* end = nullptr;
                x = strtod(text.c_str(), &end);
                if (!end || *end || std::isnan(x) || std::isinf(x)) return false;
            }
            *out = type == CMPI_real32 ? Value::real32(static_cast<float>(x)) : Value::real64(x);
            return true;
        }
        case CMPI_char16: {
            uint16_t c;
            if (!char16Of(text, &c)) return false;
            *out = Value::char16(c);
            return true;
        }
        case CMPI_dateTime:
            if (text.size() != 25) return false;
            *out = Value::datetime(text);
            return true;
        case CMPI_string:
            *out = Value::string(text);
            return true;
        default:
            return false;
    }
}

bool readRequest(const std::string& body, const ClassRepository& classes, Request* out, Refusal* refusal) {
    *out = Request();
    pugi::xml_document doc;
    // DOCTYPE nodes are kept only to be refused: pugixml never reads a DTD or
    // expands an entity it declares, but a request that carries one is no
    // request of any client.
    const pugi::xml_parse_result parsed = doc.load_buffer(
        body.data(), body.size(), pugi::parse_default | pugi::parse_doctype | pugi::parse_ws_pcdata_single,
        pugi::encoding_utf8);
    if (!parsed)
        return refuse(refusal, 400, "request-not-well-formed",
                      std::string("not XML: ") + parsed.description());
    for (const pugi::xml_node n : doc.children())
        if (n.type() == pugi::node_doctype)
            return refuse(refusal, 400, "request-not-valid", "a DOCTYPE in a request");
    if (depthOf(doc) > kMaxDepth) return refuse(refusal, 400, "request-not-valid", "nested too deep");

    const pugi::xml_node cim = doc.document_element();
    if (strcmp(cim.name(), "CIM") != 0) return refuse(refusal, 400, "request-not-valid", "no CIM element");
    if (!versionOf(cim, "CIMVERSION", '2'))
        return refuse(refusal, 501, "unsupported-cim-version",
                      "CIMVERSION " + std::string(cim.attribute("CIMVERSION").value()));
    if (!versionOf(cim, "DTDVERSION", '2'))
        return refuse(refusal, 501, "unsupported-dtd-version",
                      "DTDVERSION " + std::string(cim.attribute("DTDVERSION").value()));
    const pugi::xml_node message = cim.child("MESSAGE");
    if (!message || !message.attribute("ID"))
        return refuse(refusal, 400, "request-not-valid", "no MESSAGE with an ID");
    out->messageId = message.attribute("ID").value();
    if (!versionOf(message, "PROTOCOLVERSION", '1'))
        return refuse(refusal, 501, "unsupported-protocol-version",
                      "PROTOCOLVERSION " + std::string(message.attribute("PROTOCOLVERSION").value()));
    if (message.child("MULTIREQ"))
        return refuse(refusal, 501, "multiple-requests-unsupported", "MULTIREQ is not served");
    const pugi::xml_node simple = message.child("SIMPLEREQ");
    const pugi::xml_node call = simple.first_child();
    if (!simple || !call || call.next_sibling())
        return refuse(refusal, 400, "request-not-valid", "no SIMPLEREQ with one call");
    Reader reader(classes, out);
    bool ok;
    if (strcmp(call.name(), "IMETHODCALL") == 0)
        ok = reader.intrinsic(call);
    else if (strcmp(call.name(), "METHODCALL") == 0)
        ok = reader.extrinsic(call);
    else
        return refuse(refusal, 400, "request-not-valid", std::string("SIMPLEREQ holds ") + call.name());
    if (!ok) return refuse(refusal, 400, "request-not-valid", reader.reason());
    return true;
}

}  // namespace server
}  // namespace cimhost
