// Classes of the host's repository as CIM-XML CLASS elements: properties,
// references and methods with their parameters, and the qualifiers a client
// needs to use them (Key, Association, Indication, IN, OUT).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cimple {
struct Meta_Class;
}

namespace cimhost {
namespace server {

struct ClassOptions {
    bool localOnly = true;  // leave out what the superclass declares
    bool includeQualifiers = true;
    bool includeClassOrigin = false;
    std::optional<std::vector<std::string>> propertyList;  // unset: all
};

void appendClass(std::string& out, const cimple::Meta_Class& meta, const ClassOptions& options);

}  // namespace server
}  // namespace cimhost
