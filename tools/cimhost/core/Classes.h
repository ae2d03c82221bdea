// The host's class repository: which classes exist, how they derive, their
// keys and property types. A CIMOM brings its schema with it; ours is the
// generated class repository of schema/, read through its record layouts.
#pragma once

#include <cmpi/cmpidt.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace cimple {
struct Meta_Class;
struct Meta_Feature;
struct Meta_Repository;
}  // namespace cimple

namespace cimhost {

// Immutable once built: safe to read from any number of threads.
class ClassRepository {
public:
    explicit ClassRepository(const cimple::Meta_Repository* repository);
    // Over the schema the host is built with.
    static const ClassRepository& builtin();

    bool exists(const std::string& className) const;
    // The class's own spelling, or empty when unknown.
    std::string canonicalName(const std::string& className) const;
    // True when `derived` is `base` or one of its subclasses (names compared
    // case-insensitively; false when either is unknown).
    bool isA(const std::string& derived, const std::string& base) const;
    // `base` and all its subclasses, in the repository's spelling.
    std::vector<std::string> subclassesOf(const std::string& base) const;
    // Every class (no method parameter records), in repository order.
    std::vector<const cimple::Meta_Class*> all() const;
    // Key property and reference names, inherited first.
    std::vector<std::string> keys(const std::string& className) const;
    // The CMPI type of a property, reference (CMPI_ref) or array; false when
    // the class has no such feature.
    bool featureType(const std::string& className, const std::string& feature, CMPIType* type) const;
    // The CMPI type of a property or reference record (CMPI_ARRAY set for
    // arrays); CMPI_null for a method. Also reads a method's parameters.
    static CMPIType typeOf(const cimple::Meta_Feature* feature);
    bool isIndication(const std::string& className) const;
    bool isAssociation(const std::string& className) const;

    const cimple::Meta_Class* find(const std::string& className) const;

private:
    const cimple::Meta_Repository* repository_;
    // Classes by lower-case name: every indication delivered is matched by
    // class, so look-ups must not walk the repository. Built once; the
    // repository never changes, so readers need no lock.
    std::unordered_map<std::string, const cimple::Meta_Class*> byName_;
};

}  // namespace cimhost
