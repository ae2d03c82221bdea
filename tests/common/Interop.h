// The three instances a client creates in the interop namespace to subscribe:
// a WQL filter, a CIM-XML listener destination and the subscription joining
// them, for the tests that create them through the embedded CIMOM or its
// indication service; and a sink recording what reaches the destinations.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/IndicationService.h"
#include "core/Sinks.h"
#include "core/Value.h"

namespace qmstest {

inline cimhost::Instance interopInstance(const char* className) {
    cimhost::Instance i;
    i.path.nameSpace = "root/interop";
    i.path.className = className;
    return i;
}

// `source`: the filter's SourceNamespace; empty leaves it unset.
inline cimhost::Instance interopFilter(const std::string& name, const std::string& query,
                                       const std::string& source = "root/qms") {
    cimhost::Instance f = interopInstance("CIM_IndicationFilter");
    f.properties.set("Name", cimhost::Value::string(name));
    f.properties.set("Query", cimhost::Value::string(query));
    f.properties.set("QueryLanguage", cimhost::Value::string("WQL"));
    if (!source.empty()) f.properties.set("SourceNamespace", cimhost::Value::string(source));
    return f;
}

inline cimhost::Instance interopDestination(const std::string& name, const std::string& url) {
    cimhost::Instance d = interopInstance("CIM_ListenerDestinationCIMXML");
    d.properties.set("Name", cimhost::Value::string(name));
    d.properties.set("Destination", cimhost::Value::string(url));
    return d;
}

inline cimhost::Instance interopSubscription(const cimhost::ObjectPath& filter,
                                             const cimhost::ObjectPath& handler) {
    cimhost::Instance s = interopInstance("CIM_IndicationSubscription");
    s.properties.set("Filter", cimhost::Value::reference(filter));
    s.properties.set("Handler", cimhost::Value::reference(handler));
    return s;
}

// Providers that take every subscription.
struct AcceptAll : cimhost::IndicationProviders {
    cimhost::Status activate(const cimhost::FilterInfo&, bool) override { return cimhost::Status(); }
    cimhost::Status deactivate(const cimhost::FilterInfo&, bool) override { return cimhost::Status(); }
};

// What the CIMOM handed to listener destinations, in order, for a test to wait
// for from any thread.
class RecordingSink : public cimhost::DeliverySink {
public:
    void deliver(const cimhost::Instance& destination, const cimhost::ObjectPath& subscription,
                 const cimhost::Instance& indication) override {
        const cimhost::Value* url = destination.property("Destination");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            got_.push_back({url && !url->isNull() ? url->asText() : std::string(), subscription, indication});
        }
        changed_.notify_all();
    }
    // Waits until at least n deliveries are recorded; false on timeout.
    bool waitFor(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return got_.size() >= n; });
    }
    size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return got_.size();
    }
    // Delivery i's indication, the Destination URL it went to, and the
    // subscription it went through (empty when there is no delivery i).
    cimhost::Instance at(size_t i) const { return get(i).indication; }
    std::string destinationAt(size_t i) const { return get(i).destination; }
    cimhost::ObjectPath subscriptionAt(size_t i) const { return get(i).subscription; }

private:
    struct Delivery {
        std::string destination;
        cimhost::ObjectPath subscription;
        cimhost::Instance indication;
    };
    Delivery get(size_t i) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return i < got_.size() ? got_[i] : Delivery();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivery> got_;
};

}  // namespace qmstest
