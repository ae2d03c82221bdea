// Instances in one line, and the indication the WQL tests and fuzz target
// match queries against.
#pragma once

#include <cstdint>
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

// An indication holding every kind of value a comparison meets.
inline cimhost::Instance everyKindOfValue() {
    using cimhost::Value;
    cimhost::ObjectPath system{"root/qms", "", "QMS_VRXComputerSystem", {}};
    system.keys.set("Name", Value::string("host-1"));
    return make("QMS_VRXLogEntryArrived",
                {{"PerceivedSeverity", Value::uint16(5)},
                 {"SequenceNumber", Value::sint64(-3)},
                 {"Message", Value::string("disk 'A' failed")},
                 {"IndicationTime", Value::datetime("20240102030405.000000+000")},
                 {"RecommendedActions", Value::array(CMPI_string, {Value::string("x")})},
                 {"OtherSeverity", Value::null(CMPI_string)},
                 {"Flag", Value::boolean(true)},
                 {"Ratio", Value::real32(0.5f)},
                 {"Precise", Value::real64(-1e300)},
                 {"Huge", Value::uint64(UINT64_MAX)},
                 {"Letter", Value::char16('A')},
                 {"Source", Value::reference(system)}},
                "root/qms");
}

}  // namespace indications_test
