#include "server/ClassXml.h"

#include <cimple/Meta.h>

#include <cstring>

#include "core/Classes.h"
#include "core/Value.h"
#include "export/CimXml.h"
#include "text/Escape.h"

namespace cimhost {
namespace server {
namespace {

using exporting::cimTypeName;
using text::appendXmlEscaped;

void appendQualifier(std::string& out, const char* name) {
    out += "<QUALIFIER NAME=\"";
    out += name;
    out += "\" TYPE=\"boolean\"><VALUE>TRUE</VALUE></QUALIFIER>";
}

// The class that first declares `feature`: the records are flattened, so
// the highest superclass that has it.
const cimple::Meta_Class* originOf(const cimple::Meta_Class& meta, const char* feature) {
    const cimple::Meta_Class* origin = &meta;
    for (const cimple::Meta_Class* up = meta.super_meta_class; up; up = up->super_meta_class)
        if (cimple::find_feature(
                up, feature,
                cimple::CIMPLE_FLAG_PROPERTY | cimple::CIMPLE_FLAG_REFERENCE | cimple::CIMPLE_FLAG_METHOD))
            origin = up;
    return origin;
}

// NAME, TYPE or REFERENCECLASS, and the element's name, of a property or a
// parameter record.
const char* openFeature(std::string& out, const cimple::Meta_Feature* f, bool parameter) {
    const CMPIType t = ClassRepository::typeOf(f);
    const bool array = (t & CMPI_ARRAY) != 0;
    const char* element;
    if (f->flags & cimple::CIMPLE_FLAG_REFERENCE)
        element = parameter ? (array ? "PARAMETER.REFARRAY" : "PARAMETER.REFERENCE") : "PROPERTY.REFERENCE";
    else
        element =
            parameter ? (array ? "PARAMETER.ARRAY" : "PARAMETER") : (array ? "PROPERTY.ARRAY" : "PROPERTY");
    out += '<';
    out += element;
    out += " NAME=\"";
    appendXmlEscaped(out, f->name);
    out += '"';
    if (f->flags & cimple::CIMPLE_FLAG_REFERENCE) {
        const auto* r = reinterpret_cast<const cimple::Meta_Reference*>(f);
        if (r->meta_class) {
            out += " REFERENCECLASS=\"";
            appendXmlEscaped(out, r->meta_class->name);
            out += '"';
        }
    } else {
        out += " TYPE=\"";
        out += cimTypeName(static_cast<CMPIType>(t & ~CMPI_ARRAY));
        out += '"';
    }
    return element;
}

void appendOrigin(std::string& out, const cimple::Meta_Class& meta, const cimple::Meta_Class* origin,
                  const ClassOptions& options) {
    if (options.includeClassOrigin) {
        out += " CLASSORIGIN=\"";
        appendXmlEscaped(out, origin->name);
        out += '"';
    }
    if (origin != &meta) out += " PROPAGATED=\"true\"";
}

void appendMethod(std::string& out, const cimple::Meta_Class& meta, const cimple::Meta_Method& method,
                  const ClassOptions& options) {
    const cimple::Meta_Class* parameters = method.meta_class;
    const cimple::Meta_Feature* returned =
        parameters ? cimple::find_feature(parameters, "return_value", cimple::CIMPLE_FLAG_PROPERTY) : nullptr;
    out += "<METHOD NAME=\"";
    appendXmlEscaped(out, method.name);
    out += "\" TYPE=\"";
    out += cimTypeName(returned ? ClassRepository::typeOf(returned) : CMPI_uint32);
    out += '"';
    appendOrigin(out, meta, originOf(meta, method.name), options);
    out += '>';
    for (uint32_t i = 0; parameters && i < parameters->num_meta_features; ++i) {
        const cimple::Meta_Feature* p = parameters->meta_features[i];
        if (p == returned || !(p->flags & (cimple::CIMPLE_FLAG_PROPERTY | cimple::CIMPLE_FLAG_REFERENCE)))
            continue;
        const char* element = openFeature(out, p, true);
        out += '>';
        if (options.includeQualifiers) {
            if (p->flags & cimple::CIMPLE_FLAG_IN) appendQualifier(out, "IN");
            if (p->flags & cimple::CIMPLE_FLAG_OUT) appendQualifier(out, "OUT");
        }
        out += "</";
        out += element;
        out += '>';
    }
    out += "</METHOD>";
}

bool listed(const ClassOptions& options, const char* name) {
    if (!options.propertyList) return true;
    for (const std::string& p : *options.propertyList)
        if (sameName(p, std::string(name))) return true;
    return false;
}

}  // namespace

void appendClass(std::string& out, const cimple::Meta_Class& meta, const ClassOptions& options) {
    out += "<CLASS NAME=\"";
    appendXmlEscaped(out, meta.name);
    out += '"';
    if (meta.super_meta_class) {
        out += " SUPERCLASS=\"";
        appendXmlEscaped(out, meta.super_meta_class->name);
        out += '"';
    }
    out += '>';
    if (options.includeQualifiers) {
        if (meta.flags & cimple::CIMPLE_FLAG_ASSOCIATION) appendQualifier(out, "Association");
        if (meta.flags & cimple::CIMPLE_FLAG_INDICATION) appendQualifier(out, "Indication");
    }
    // The CLASS element takes its properties before its methods.
    for (uint32_t i = 0; i < meta.num_meta_features; ++i) {
        const cimple::Meta_Feature* f = meta.meta_features[i];
        if (!(f->flags & (cimple::CIMPLE_FLAG_PROPERTY | cimple::CIMPLE_FLAG_REFERENCE)) ||
            !listed(options, f->name))
            continue;
        const cimple::Meta_Class* origin = originOf(meta, f->name);
        if (options.localOnly && origin != &meta) continue;
        const char* element = openFeature(out, f, false);
        appendOrigin(out, meta, origin, options);
        out += '>';
        if (options.includeQualifiers && (f->flags & cimple::CIMPLE_FLAG_KEY)) appendQualifier(out, "Key");
        out += "</";
        out += element;
        out += '>';
    }
    for (uint32_t i = 0; i < meta.num_meta_features; ++i) {
        const cimple::Meta_Feature* f = meta.meta_features[i];
        if (!(f->flags & cimple::CIMPLE_FLAG_METHOD)) continue;
        if (options.localOnly && originOf(meta, f->name) != &meta) continue;
        appendMethod(out, meta, *reinterpret_cast<const cimple::Meta_Method*>(f), options);
    }
    out += "</CLASS>";
}

}  // namespace server
}  // namespace cimhost
