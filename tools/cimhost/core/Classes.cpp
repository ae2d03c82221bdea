#include "core/Classes.h"

#include <cimple/Meta.h>
#include <schema/Classes.h>

namespace cimhost {

namespace {

CMPIType scalarType(uint16_t type) {
    switch (type) {
        case cimple::BOOLEAN:
            return CMPI_boolean;
        case cimple::UINT8:
            return CMPI_uint8;
        case cimple::SINT8:
            return CMPI_sint8;
        case cimple::UINT16:
            return CMPI_uint16;
        case cimple::SINT16:
            return CMPI_sint16;
        case cimple::UINT32:
            return CMPI_uint32;
        case cimple::SINT32:
            return CMPI_sint32;
        case cimple::UINT64:
            return CMPI_uint64;
        case cimple::SINT64:
            return CMPI_sint64;
        case cimple::REAL32:
            return CMPI_real32;
        case cimple::REAL64:
            return CMPI_real64;
        case cimple::CHAR16:
            return CMPI_char16;
        case cimple::STRING:
            return CMPI_string;
        case cimple::DATETIME:
            return CMPI_dateTime;
        default:
            return CMPI_null;
    }
}

}  // namespace

namespace {

std::string lowered(const std::string& name) {
    std::string out(name);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

ClassRepository::ClassRepository(const cimple::Meta_Repository* repository) : repository_(repository) {
    if (!repository_) return;
    for (uint32_t i = 0; i < repository_->num_meta_classes; ++i) {
        const cimple::Meta_Class* mc = repository_->meta_classes[i];
        // Method parameter records share the table but are no classes.
        if (!(mc->flags & cimple::CIMPLE_FLAG_METHOD)) byName_.emplace(lowered(mc->name), mc);
    }
}

const ClassRepository& ClassRepository::builtin() {
    static const ClassRepository repository(&cimple::meta_repository);
    return repository;
}

const cimple::Meta_Class* ClassRepository::find(const std::string& className) const {
    auto it = byName_.find(lowered(className));
    return it == byName_.end() ? nullptr : it->second;
}

bool ClassRepository::exists(const std::string& className) const { return find(className) != nullptr; }

std::string ClassRepository::canonicalName(const std::string& className) const {
    const cimple::Meta_Class* mc = find(className);
    return mc ? mc->name : std::string();
}

bool ClassRepository::isA(const std::string& derived, const std::string& base) const {
    const cimple::Meta_Class* d = find(derived);
    const cimple::Meta_Class* b = find(base);
    return d && b && cimple::is_subclass(b, d);
}

std::vector<std::string> ClassRepository::subclassesOf(const std::string& base) const {
    std::vector<std::string> out;
    const cimple::Meta_Class* b = find(base);
    if (!b) return out;
    for (uint32_t i = 0; i < repository_->num_meta_classes; ++i) {
        const cimple::Meta_Class* mc = repository_->meta_classes[i];
        if (!(mc->flags & cimple::CIMPLE_FLAG_METHOD) && cimple::is_subclass(b, mc)) out.push_back(mc->name);
    }
    return out;
}

std::vector<const cimple::Meta_Class*> ClassRepository::all() const {
    std::vector<const cimple::Meta_Class*> out;
    for (uint32_t i = 0; repository_ && i < repository_->num_meta_classes; ++i)
        if (!(repository_->meta_classes[i]->flags & cimple::CIMPLE_FLAG_METHOD))
            out.push_back(repository_->meta_classes[i]);
    return out;
}

std::vector<std::string> ClassRepository::keys(const std::string& className) const {
    std::vector<std::string> out;
    const cimple::Meta_Class* mc = find(className);
    if (!mc) return out;
    for (uint32_t i = 0; i < mc->num_meta_features; ++i) {
        const cimple::Meta_Feature* f = mc->meta_features[i];
        if ((f->flags & cimple::CIMPLE_FLAG_KEY) &&
            (f->flags & (cimple::CIMPLE_FLAG_PROPERTY | cimple::CIMPLE_FLAG_REFERENCE)))
            out.push_back(f->name);
    }
    return out;
}

bool ClassRepository::featureType(const std::string& className, const std::string& feature,
                                  CMPIType* type) const {
    const cimple::Meta_Class* mc = find(className);
    if (!mc) return false;
    const cimple::Meta_Feature* f = cimple::find_feature(
        mc, feature.c_str(), cimple::CIMPLE_FLAG_PROPERTY | cimple::CIMPLE_FLAG_REFERENCE);
    if (!f) return false;
    const CMPIType t = typeOf(f);
    if (type) *type = t;
    return true;
}

CMPIType ClassRepository::typeOf(const cimple::Meta_Feature* f) {
    CMPIType t;
    if (f->flags & cimple::CIMPLE_FLAG_REFERENCE) {
        auto* r = reinterpret_cast<const cimple::Meta_Reference*>(f);
        t = CMPI_ref;
        if (r->subscript) t |= CMPI_ARRAY;
    } else if (f->flags & cimple::CIMPLE_FLAG_PROPERTY) {
        auto* p = reinterpret_cast<const cimple::Meta_Property*>(f);
        t = scalarType(p->type);
        if (p->subscript) t |= CMPI_ARRAY;
    } else {
        t = CMPI_null;
    }
    return t;
}

bool ClassRepository::isIndication(const std::string& className) const {
    const cimple::Meta_Class* mc = find(className);
    return mc && (mc->flags & cimple::CIMPLE_FLAG_INDICATION);
}

bool ClassRepository::isAssociation(const std::string& className) const {
    const cimple::Meta_Class* mc = find(className);
    return mc && (mc->flags & cimple::CIMPLE_FLAG_ASSOCIATION);
}

}  // namespace cimhost
