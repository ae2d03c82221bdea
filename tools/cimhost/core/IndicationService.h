// The host's indication service and its interop namespace: filters, listener
// destinations and subscriptions, kept in a small file store; the matching of
// every delivered indication against the active filters; and the sinks that
// receive what matched.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "core/Value.h"

namespace cimhost {

// The namespace where subscriptions are accepted.
extern const char kInteropNamespace[];

// A filter as the providers are told about it.
struct FilterInfo {
    ObjectPath filter;         // the CIM_IndicationFilter instance's path
    std::string query;         // its Query
    std::string language;      // its QueryLanguage
    std::string sourceNamespace;
    std::string className;     // the class the query selects from
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

// Receives matched indications.
class DeliverySink {
public:
    virtual ~DeliverySink() = default;
    // `destination` is the listener destination instance (its Destination
    // property holds the listener's URL); `subscription` the subscription's
    // path.
    virtual void deliver(const Instance& destination, const ObjectPath& subscription,
                         const Instance& indication) = 0;
};

// Appends one JSON object per delivery to a file:
//   {"destination":"http://...","subscription":"<path>",
//    "indication":{"class":"...","namespace":"...","properties":{"Name":<json>,...}}}
// Strings become JSON strings, numbers numbers, booleans booleans, datetimes
// their CIM text, references their path text, arrays arrays, null null.
class JsonLinesSink : public DeliverySink {
public:
    explicit JsonLinesSink(std::string path);
    void deliver(const Instance& destination, const ObjectPath& subscription, const Instance& indication) override;
    const std::string& path() const { return path_; }
    // The JSON text of one delivery (without the newline).
    static std::string line(const Instance& destination, const ObjectPath& subscription,
                            const Instance& indication);

private:
    std::string path_;
    std::mutex mutex_;
};

// Parsed WQL: SELECT * (or a property list) FROM <class> [WHERE <condition>]
// where a condition is comparisons (=, <>, !=, <, <=, >, >=, IS [NOT] NULL)
// of a property with a literal ('text' or "text", integers, reals, TRUE,
// FALSE, NULL), joined by AND, OR, NOT and parentheses.
class WqlQuery {
public:
    // Null with *error set when the text is not such a query.
    static std::unique_ptr<WqlQuery> parse(const std::string& text, std::string* error);
    ~WqlQuery();
    const std::string& className() const;
    // Empty for "*".
    const std::vector<std::string>& selectList() const;
    // True when the instance's class is the FROM class or derives from it
    // (as `classes` tells) and the WHERE condition holds. A comparison with a
    // missing or null property, or of mismatched types, is false (NOT of it
    // true, as unknown is not modelled).
    bool matches(const Instance& indication, const ClassRepository& classes) const;

    struct Node;

private:
    WqlQuery();
    std::string className_;
    std::vector<std::string> select_;
    std::unique_ptr<Node> where_;
};

class IndicationService {
public:
    // `storeFile` empty: nothing persists.
    IndicationService(const ClassRepository& classes, IndicationProviders& providers, std::string storeFile);
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
    Status createInstance(const Instance& instance, ObjectPath* created);
    Status deleteInstance(const ObjectPath& path);
    Status getInstance(const ObjectPath& path, Instance* out) const;
    Status enumerateInstances(const std::string& className, std::vector<Instance>* out) const;
    Status modifyInstance(const Instance& instance);

    // Re-creates the stored subscriptions' activations.
    Status restore();

    // An indication a provider delivered from `nameSpace`.
    void deliver(const std::string& nameSpace, const Instance& indication);

    void addSink(std::shared_ptr<DeliverySink> sink);
    void removeSink(const std::shared_ptr<DeliverySink>& sink);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace cimhost
