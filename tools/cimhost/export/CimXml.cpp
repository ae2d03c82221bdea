#include "export/CimXml.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

#include "core/ValueVisitor.h"
#include "text/Escape.h"

namespace cimhost {
namespace exporting {

using text::appendXmlEscaped;

namespace {

void appendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

const char* cimTypeName(CMPIType type) {
    switch (type) {
        case CMPI_boolean:
            return "boolean";
        case CMPI_char16:
            return "char16";
        case CMPI_uint8:
            return "uint8";
        case CMPI_uint16:
            return "uint16";
        case CMPI_uint32:
            return "uint32";
        case CMPI_uint64:
            return "uint64";
        case CMPI_sint8:
            return "sint8";
        case CMPI_sint16:
            return "sint16";
        case CMPI_sint32:
            return "sint32";
        case CMPI_sint64:
            return "sint64";
        case CMPI_real32:
            return "real32";
        case CMPI_real64:
            return "real64";
        case CMPI_dateTime:
            return "datetime";
        default:
            return "string";
    }
}

namespace {

bool isNumeric(CMPIType t) {
    switch (t) {
        case CMPI_uint8:
        case CMPI_uint16:
        case CMPI_uint32:
        case CMPI_uint64:
        case CMPI_sint8:
        case CMPI_sint16:
        case CMPI_sint32:
        case CMPI_sint64:
        case CMPI_real32:
        case CMPI_real64:
            return true;
        default:
            return false;
    }
}

void appendReal(std::string& out, double x, bool single) {
    if (std::isnan(x)) {
        out += "NaN";
    } else if (std::isinf(x)) {
        out += x < 0 ? "-INF" : "INF";
    } else {
        char buf[40];
        snprintf(buf, sizeof buf, single ? "%.9g" : "%.17g", x);
        out += buf;
    }
}

// The text of a non-null scalar that is no reference.
class ScalarText : public ValueVisitor<ScalarText> {
public:
    explicit ScalarText(std::string& out) : out_(out) {}

    // Never asked of it: property and key writers handle nulls and arrays.
    void null(CMPIType) {}
    void array(CMPIType, const std::vector<Value>&) {}

    void boolean(bool b) { out_ += b ? "TRUE" : "FALSE"; }
    void char16(uint16_t c) {
        std::string one;
        // A lone UTF-16 surrogate is no character.
        appendUtf8(one, c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c);
        appendXmlEscaped(out_, one);
    }
    void unsignedInteger(uint64_t x) { out_ += std::to_string(x); }
    void signedInteger(int64_t x) { out_ += std::to_string(x); }
    void real32(float x) { appendReal(out_, x, true); }
    void real64(double x) { appendReal(out_, x, false); }
    void text(const std::string& s) { appendXmlEscaped(out_, s); }
    void reference(const ObjectPath& path) { appendXmlEscaped(out_, path.toText()); }
    void instance(const Instance& inst) {
        std::string inner;
        appendInstance(inner, inst);
        appendXmlEscaped(out_, inner);
    }
    void other(const Value& v) { appendXmlEscaped(out_, v.asText()); }

private:
    std::string& out_;
};

void appendScalarText(std::string& out, const Value& v) {
    ScalarText writer(out);
    visitValue(v, writer);
}

}  // namespace

namespace {

void appendLocalNamespace(std::string& out, const std::string& nameSpace) {
    out += "<LOCALNAMESPACEPATH>";
    size_t start = 0;
    while (start <= nameSpace.size()) {
        size_t slash = nameSpace.find('/', start);
        if (slash == std::string::npos) slash = nameSpace.size();
        if (slash > start) {
            out += "<NAMESPACE NAME=\"";
            appendXmlEscaped(out, nameSpace.substr(start, slash - start));
            out += "\"/>";
        }
        start = slash + 1;
    }
    out += "</LOCALNAMESPACEPATH>";
}

void appendNamespacePath(std::string& out, const std::string& host, const std::string& nameSpace) {
    out += "<NAMESPACEPATH><HOST>";
    appendXmlEscaped(out, host);
    out += "</HOST>";
    appendLocalNamespace(out, nameSpace);
    out += "</NAMESPACEPATH>";
}

}  // namespace

void appendClassPath(std::string& out, const std::string& host, const std::string& nameSpace,
                     const std::string& className) {
    out += "<CLASSPATH>";
    appendNamespacePath(out, host, nameSpace);
    out += "<CLASSNAME NAME=\"";
    appendXmlEscaped(out, className);
    out += "\"/></CLASSPATH>";
}

void appendPath(std::string& out, const ObjectPath& path) {
    if (path.nameSpace.empty()) {
        appendInstanceName(out, path);
    } else if (path.host.empty()) {
        out += "<LOCALINSTANCEPATH>";
        appendLocalNamespace(out, path.nameSpace);
        appendInstanceName(out, path);
        out += "</LOCALINSTANCEPATH>";
    } else {
        out += "<INSTANCEPATH>";
        appendNamespacePath(out, path.host, path.nameSpace);
        appendInstanceName(out, path);
        out += "</INSTANCEPATH>";
    }
}

void appendInstanceName(std::string& out, const ObjectPath& path) {
    out += "<INSTANCENAME CLASSNAME=\"";
    appendXmlEscaped(out, path.className);
    out += "\">";
    for (const auto& key : path.keys) {
        out += "<KEYBINDING NAME=\"";
        appendXmlEscaped(out, key.first);
        out += "\">";
        const Value& v = key.second;
        if (v.elementType() == CMPI_ref && !v.isArray() && v.asReference()) {
            out += "<VALUE.REFERENCE>";
            appendPath(out, *v.asReference());
            out += "</VALUE.REFERENCE>";
        } else {
            const CMPIType t = v.elementType();
            const char* kind = t == CMPI_boolean ? "boolean" : isNumeric(t) ? "numeric" : "string";
            out += "<KEYVALUE VALUETYPE=\"";
            out += kind;
            out += "\" TYPE=\"";
            out += cimTypeName(t);
            out += "\">";
            if (!v.isNull() && !v.isArray()) appendScalarText(out, v);
            out += "</KEYVALUE>";
        }
        out += "</KEYBINDING>";
    }
    out += "</INSTANCENAME>";
}

void appendValue(std::string& out, const Value& v) {
    if (v.isNull()) return;
    if (v.elementType() == CMPI_ref && !v.isArray()) {
        if (!v.asReference()) return;
        out += "<VALUE.REFERENCE>";
        appendPath(out, *v.asReference());
        out += "</VALUE.REFERENCE>";
    } else if (v.isArray()) {
        out += "<VALUE.ARRAY>";
        for (const Value& item : v.items()) {
            if (item.isNull()) {
                out += "<VALUE.NULL/>";
                continue;
            }
            out += "<VALUE>";
            appendScalarText(out, item);
            out += "</VALUE>";
        }
        out += "</VALUE.ARRAY>";
    } else {
        out += "<VALUE>";
        appendScalarText(out, v);
        out += "</VALUE>";
    }
}

namespace {

void appendProperty(std::string& out, const std::string& name, const Value& v) {
    const CMPIType t = v.elementType();
    if (t == CMPI_ref && !v.isArray()) {
        out += "<PROPERTY.REFERENCE NAME=\"";
        appendXmlEscaped(out, name);
        out += "\">";
        if (!v.isNull() && v.asReference()) {
            out += "<VALUE.REFERENCE>";
            appendPath(out, *v.asReference());
            out += "</VALUE.REFERENCE>";
        }
        out += "</PROPERTY.REFERENCE>";
        return;
    }
    const char* element = v.isArray() ? "PROPERTY.ARRAY" : "PROPERTY";
    out += '<';
    out += element;
    out += " NAME=\"";
    appendXmlEscaped(out, name);
    out += "\" TYPE=\"";
    out += cimTypeName(t);
    out += '"';
    if (t == CMPI_instance) out += " EmbeddedObject=\"instance\"";
    out += '>';
    appendValue(out, v);
    out += "</";
    out += element;
    out += '>';
}

}  // namespace

void appendInstance(std::string& out, const Instance& instance) {
    out += "<INSTANCE CLASSNAME=\"";
    appendXmlEscaped(out, instance.className());
    out += "\">";
    for (const auto& p : instance.properties) appendProperty(out, p.first, p.second);
    out += "</INSTANCE>";
}

}  // namespace exporting
}  // namespace cimhost
