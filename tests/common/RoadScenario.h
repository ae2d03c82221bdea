// What the agent of tests/integration/road.json holds, as the indications
// its events must become. Every road that hosts the module (the embedded
// CIMOM, a real one) pushes these events and compares what arrives against
// these tables, so the expected values are written once.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qmstest {

// Property name -> its CIM text as the roads render values: "\"text\"",
// "5", "{\"a\", \"b\"}", "20250615150640.000000+120".
typedef std::map<std::string, std::string> Properties;

// `base` with `more` added or overriding.
Properties with(Properties base, const Properties& more);

// What every indication of an agent event of this scenario carries, with
// `own` added or overriding.
Properties agentIndication(const std::string& eventId, const Properties& own = {});
// The same for a log entry, which also names the log record it came from.
Properties logEntry(const std::string& eventId, const Properties& own = {});

// One push to the simulator (`rqbd-sim ctl` arguments) and the indications
// it must produce, in order.
struct RoadStep {
    const char* what;
    std::vector<std::string> push;
    std::vector<Properties> expected;
};

// System-log and driver-monitor entries: found, announced without their
// arguments event, missing from the log, and the arguments a missing entry
// leaves for the next one.
std::vector<RoadStep> logEntrySteps();
// One RAID text with two events, the second without date and with a
// severity outside the agent's range.
RoadStep raidStep();

}  // namespace qmstest
