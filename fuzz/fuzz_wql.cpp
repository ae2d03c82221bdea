// A filter's query as a CIM client writes it: parsed, and when it parses,
// matched against an indication holding every kind of value a comparison meets.
#include <cstdint>
#include <string>

#include "core/Classes.h"
#include "core/IndicationService.h"

using namespace cimhost;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Instance indication = [] {
        Instance inst;
        inst.path.className = "QMS_VRXLogEntryArrived";
        inst.path.nameSpace = "root/qms";
        ObjectPath system{"root/qms", "", "QMS_VRXComputerSystem", {}};
        system.keys.set("Name", Value::string("host-1"));
        NamedValues& p = inst.properties;
        p.set("PerceivedSeverity", Value::uint16(5));
        p.set("SequenceNumber", Value::sint64(-3));
        p.set("Message", Value::string("disk 'A' failed"));
        p.set("IndicationTime", Value::datetime("20240102030405.000000+000"));
        p.set("RecommendedActions", Value::array(CMPI_string, {Value::string("x")}));
        p.set("OtherSeverity", Value::null(CMPI_string));
        p.set("Flag", Value::boolean(true));
        p.set("Ratio", Value::real32(0.5f));
        p.set("Precise", Value::real64(-1e300));
        p.set("Huge", Value::uint64(UINT64_MAX));
        p.set("Letter", Value::char16('A'));
        p.set("Source", Value::reference(system));
        return inst;
    }();

    std::string error;
    const auto query = WqlQuery::parse(std::string(reinterpret_cast<const char*>(data), size), &error);
    if (!query) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    query->matches(indication, ClassRepository::builtin());
    return 0;
}
