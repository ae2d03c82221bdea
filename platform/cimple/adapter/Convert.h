// Conversions between framework instances and CMPI objects, in both
// directions, driven by the class records alone: no class is special-cased.
//
// Every failure is thrown as a Failure carrying the CMPI code and the text
// the MI boundary hands back to the CIMOM; nothing here returns a bare -1.
#pragma once

#include <cimple/Instance.h>
#include <cimple/Ref.h>
#include <cmpi/cmpift.h>

#include <string>
#include <vector>

namespace cimple {
namespace cmpi_adapter {

struct Failure {
    CMPIrc rc;
    std::string message;
};

[[noreturn]] void fail(CMPIrc rc, std::string message);

// Text of a CMPIString, "" for null.
const char* chars(const CMPIString* s);

// CMPI type code of a framework type (without CMPI_ARRAY).
CMPIType cmpi_type(uint16_t type);

// Where CMPI data being read comes from, which decides how much it must
// hold. A client's request must name known properties and every key. What
// the CIMOM answers to our own up-calls holds whatever other applications
// put there: properties our classes lack are skipped, and a reference
// missing a key keeps that key null (the caller may repair it).
enum class Source { Request, Cimom };

// One conversion session. Every CMPI object it makes is released when the
// converter goes: the broker copies what it is handed (results, properties,
// indications), and a thread that delivers for hours must not pile up
// objects until it detaches. What getters hand out (names, paths of
// instances) belongs to the object asked and is left alone.
class Converter {
public:
    Converter(const CMPIBroker* broker, std::string name_space);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    const std::string& name_space() const { return _ns; }

    // CMPI -> framework.

    // The keys of `op` as a new instance. The class named must be `base` or
    // one of its subclasses (looked up in base's repository), else
    // CMPI_RC_ERR_INVALID_CLASS; with a null base any class of `repository`
    // will do. Every key must be given and no other (from the CIMOM, a key
    // not given stays null).
    Ref<Instance> keys_from_path(const CMPIObjectPath* op, const Meta_Class* base,
                                 const Meta_Repository* repository, Source source = Source::Request);
    // As above, but a path without any key gives an instance with null keys
    // (a call on the class rather than on an instance).
    Ref<Instance> target_from_path(const CMPIObjectPath* op, const Meta_Class* base);
    // Every property of `ci` (class from its object path, or `fallback` when
    // the class is not in the repository and unknown properties are skipped).
    Ref<Instance> from_instance(const CMPIInstance* ci, const Meta_Class* base, Source source);
    // Sets one feature from a CMPI value; a null value makes it null.
    void set_feature(Instance* instance, const Meta_Feature* feature, const CMPIData& data,
                     Source source = Source::Request);

    // Framework -> CMPI.

    // A path in this converter's namespace with the instance's class and
    // every non-null key.
    CMPIObjectPath* to_path(const Instance* instance);
    // A new CMPI instance with every feature of the class set, null ones as
    // typed nulls.
    CMPIInstance* to_instance(const Instance* instance);
    // One feature as a CMPI value; false when it is null (type still set).
    bool to_value(const Instance* instance, const Meta_Feature* feature, CMPIValue& value, CMPIType& type);

    // Takes over releasing an object the broker handed out.
    template <class T>
    T* own(T* object) {
        if (object) {
            if (_made.empty()) _made.reserve(8);
            _made.push_back({object, &release_of<T>});
        }
        return object;
    }

private:
    // One owned object and how to release it: every CMPI type has its own
    // release signature.
    struct Made {
        void* object;
        void (*release)(void*);
    };
    template <class T>
    static void release_of(void* object) {
        T* o = static_cast<T*>(object);
        o->ft->release(o);
    }

    // to_value, where `borrow` lets string values point into `instance`
    // (CMPI_chars) instead of making a broker string: for calls that copy
    // what they are handed before `instance` can change (properties, keys).
    bool value_of(const Instance* instance, const Meta_Feature* feature, CMPIValue& value, CMPIType& type,
                  bool borrow);

    const CMPIBroker* _broker;
    std::string _ns;
    std::vector<Made> _made;
};

}  // namespace cmpi_adapter
}  // namespace cimple
