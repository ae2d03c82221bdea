// The three instances a client creates in the interop namespace to subscribe:
// a WQL filter, a CIM-XML listener destination and the subscription joining
// them, for the tests that create them through the embedded CIMOM or its
// indication service.
#pragma once

#include <string>

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

}  // namespace qmstest
