// A listener subscribed in the embedded CIMOM's interop namespace, as a
// client subscribes: for the benchmarks that run the module's road through
// the CIMOM.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "common/Interop.h"
#include "core/Cimom.h"

namespace qmsbench {

// Filter `name` with `query` on root/qms, a CIM-XML destination to `url`,
// and the subscription joining them. The paths made, subscription first (the
// order to delete them in); empty, with the reason on stderr, when the CIMOM
// refused one.
inline std::vector<cimhost::ObjectPath> subscribeListener(cimhost::Cimom& cimom, const std::string& name,
                                                          const std::string& query, const std::string& url) {
    std::vector<cimhost::ObjectPath> made(3);
    const auto create = [&](const cimhost::Instance& instance, cimhost::ObjectPath* path) {
        const cimhost::Status st = cimom.createInstance(instance, path);
        if (!st.ok()) std::fprintf(stderr, "%s: %s\n", instance.path.className.c_str(), st.message.c_str());
        return st.ok();
    };
    if (!create(qmstest::interopFilter(name, query), &made[1]) ||
        !create(qmstest::interopDestination(name, url), &made[2]) ||
        !create(qmstest::interopSubscription(made[1], made[2]), &made[0])) {
        for (const cimhost::ObjectPath& p : made)
            if (!p.className.empty()) cimom.deleteInstance(p);
        return {};
    }
    return made;
}

}  // namespace qmsbench
