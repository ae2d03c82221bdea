// The host's indication service and its interop namespace: filters, listener
// destinations and subscriptions, kept in the interop store
// (core/InteropStore.h); the matching of every delivered indication against
// the active filters (core/Wql.h); and the sinks that receive what matched
// (core/Sinks.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "core/Sinks.h"
#include "core/Value.h"
#include "core/Wql.h"

namespace cimhost {

// The namespace where subscriptions are accepted.
extern const char kInteropNamespace[];

// A filter as the providers are told about it.
struct FilterInfo {
    ObjectPath filter;     // the CIM_IndicationFilter instance's path
    std::string query;     // its Query
    std::string language;  // its QueryLanguage
    std::string sourceNamespace;
    std::string className;  // the class the query selects from
};

// How the indication service reaches the providers of an indication class
// (implemented by the core over the providers' indication MIs).
class IndicationProviders {
public:
    virtual ~IndicationProviders() = default;
    // Called when a subscription is created, before it is stored: every
    // provider serving `filter.className` or a subclass of it in
    // filter.sourceNamespace is asked to authorize and activate the filter
    // (`first`: the first subscription naming this filter), then enabled if
    // this is its first active subscription. A refusal (authorize false, a
    // failed activation) fails the creation with that status.
    virtual Status activate(const FilterInfo& filter, bool first) = 0;
    // Called when a subscription is deleted: deactivate (`last`: no other
    // subscription names this filter), then disable providers left without
    // subscriptions.
    virtual Status deactivate(const FilterInfo& filter, bool last) = 0;
};

// What the interop namespace accepts. The counts keep one client from
// filling the CIMOM's memory and store; a test or a large installation
// raises them.
struct InteropOptions {
    size_t maxFilters = 100;
    size_t maxDestinations = 100;
    size_t maxSubscriptions = 100;
    // Bytes of any string property, or string item of an array property.
    size_t maxTextBytes = 4096;
    size_t maxArrayItems = 64;
    // When not empty, listener destinations may only name these hosts.
    std::vector<std::string> allowedListenerHosts;
    // A damaged store is kept aside (numbered) and the namespace starts
    // empty, instead of the service refusing every change until an
    // administrator has looked at it.
    bool startFresh = false;
    // Each change is on disk before it is acknowledged (fdatasync); off only
    // where a power cut does not matter (tests, benchmarks).
    bool syncWrites = true;
};

class IndicationService {
public:
    // `storeFile` empty: nothing persists. A store that cannot be read (and
    // options.startFresh unset) leaves the namespace empty and refusing
    // every change with the reason, which storeStatus() and restore() give,
    // so that nothing is written over what an administrator must see.
    IndicationService(const ClassRepository& classes, IndicationProviders& providers, std::string storeFile,
                      InteropOptions options = InteropOptions());
    ~IndicationService();

    // The interop namespace's instance operations. Classes served:
    // CIM_IndicationFilter, CIM_ListenerDestinationCIMXML (and
    // CIM_ListenerDestination as its base), CIM_IndicationSubscription.
    // Errors: unknown class CMPI_RC_ERR_INVALID_CLASS; missing key or bad
    // reference CMPI_RC_ERR_INVALID_PARAMETER; bad query
    // CMPI_RC_ERR_INVALID_QUERY; unsupported language
    // CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED; duplicate
    // CMPI_RC_ERR_ALREADY_EXISTS; absent CMPI_RC_ERR_NOT_FOUND; deleting a
    // filter or destination a subscription still names CMPI_RC_ERR_FAILED.
    // A count limit reached: CMPI_RC_ERR_FAILED; a text or array over its
    // limit, or a Destination that is no deliverable http/https URL (or
    // names a host not allowed): CMPI_RC_ERR_INVALID_PARAMETER.
    Status createInstance(const Instance& instance, ObjectPath* created);
    Status deleteInstance(const ObjectPath& path);
    Status getInstance(const ObjectPath& path, Instance* out) const;
    Status enumerateInstances(const std::string& className, std::vector<Instance>* out) const;
    // The same without copying: the stored instances themselves, shared.
    // The namespace never changes an instance it has handed out (a
    // modification stores a new one), so a listing of any size costs one
    // pointer per instance. A holder that must change one copies it first;
    // one that finds itself the only holder after the namespace dropped it
    // may take it over (const_pointer_cast: they are made mutable), as the
    // CMPI objects' copy on write does (Value::sharedInstance).
    Status getInstanceShared(const ObjectPath& path, std::shared_ptr<const Instance>* out) const;
    Status enumerateInstancesShared(const std::string& className,
                                    std::vector<std::shared_ptr<const Instance>>* out) const;
    Status modifyInstance(const Instance& instance);

    // Re-creates the stored subscriptions' activations. Fails with the
    // store's problem when it could not be read.
    Status restore();
    // How the store was found: an error naming the file and what is wrong
    // with it, or OK (with a message when a damaged store was set aside).
    Status storeStatus() const;

    // An indication a provider delivered from `nameSpace`.
    void deliver(const std::string& nameSpace, const Instance& indication);

    void addSink(std::shared_ptr<DeliverySink> sink);
    void removeSink(const std::shared_ptr<DeliverySink>& sink);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace cimhost
