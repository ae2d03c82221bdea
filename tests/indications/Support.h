// Instances in one line.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "core/Value.h"

namespace indications_test {

inline cimhost::Instance make(const std::string& className,
                              std::initializer_list<std::pair<const char*, cimhost::Value>> properties,
                              const std::string& nameSpace = std::string()) {
    cimhost::Instance inst;
    inst.path.className = className;
    inst.path.nameSpace = nameSpace;
    for (const auto& p : properties) inst.properties.set(p.first, p.second);
    return inst;
}

}  // namespace indications_test
