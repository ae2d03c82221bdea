// A RAID event text as the agent pushes it, through the parser and the
// building of each event's indication, as the model walks it.
#include <cstdint>
#include <string>

#include "model/RaidEventIndication.h"
#include "model/RaidEventParser.h"
#include "support/provider_utils.h"

using namespace provider;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const AdapterMappings adapters = {
        {0, AdapterMapping{"RAID-0", {{0, "LD-0"}, {1, "LD-1"}}, {{4, "PD-4"}}}},
        {1, AdapterMapping{"RAID-1", {}, {{0, "PD-0"}}}}};
    static cimple::QMS_VRXComputerSystem* const system = [] {
        auto* cs = cimple::QMS_VRXComputerSystem::create(true);
        cs->CreationClassName.set("QMS_VRXComputerSystem");
        cs->Name.set("host-1");
        return cs;
    }();
    static const cimple::Property<cimple::String> hostAddress(cimple::String("192.0.2.1"));

    RaidEventParser parser(std::string(reinterpret_cast<const char*>(data), size), &adapters);
    // Every event, including ones after an invalid one, so later events are reached.
    for (;;) {
        unsigned long long seq = 0;
        unsigned short severity = 0;
        cimple::String text;
        parser.getSeqNr(seq);
        parser.getSeverity(severity);
        parser.getMessage(text);
        parser.getSource(text);
        parser.checkParameter("Date");
        try {
            createRaidEventIndication(parser, *system, hostAddress);
        } catch (const BaseException&) {
            if (parser.isValid()) __builtin_trap();  // only invalid events may be refused
        }
        if (!parser.hasNextEvent()) break;
    }
    return 0;
}
