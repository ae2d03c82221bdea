#include "common/RoadScenario.h"

namespace qmstest {

Properties with(Properties base, const Properties& more) {
    for (const auto& p : more) base[p.first] = p.second;
    return base;
}

Properties agentIndication(const std::string& eventId, const Properties& own) {
    return with({{"EventID", "\"" + eventId + "\""},
                 {"MessageID", "\"" + eventId + "\""},
                 {"AlertingElementFormat", "2"},
                 {"AlertType", "1"},
                 {"OtherAlertType", "\"Log Entry Arrived\""},
                 {"ProbableCause", "1"},
                 {"OwningEntity", "\"Norvane\""},
                 {"SystemCreationClassName", "\"QMS_VRXComputerSystem\""},
                 {"SystemName", "\"ROAD0001\""},
                 {"HostAddress", "\"road-test.example.net\""}},
                own);
}

Properties logEntry(const std::string& eventId, const Properties& own) {
    return with(agentIndication(eventId, own),
                {{"AlertingManagedElement", "\"QMS_VRXLogEntry.InstanceID=\\\"" + eventId + "\\\"\""}});
}

std::vector<RoadStep> logEntrySteps() {
    const std::string announce20 = R"({"OC":2833,"CA":3,"ST":0,"DA":32})";
    // The agent has no summary text for entry 0x20: Summary stays NULL.
    const Properties entry20 =
        logEntry("LogMessage_20", {
                                      {"EventTime", "20250615150740.000000+120"},
                                      {"Message", "\"Power supply 'PSU2' lost input\""},
                                      {"PerceivedSeverity", "6"},
                                      {"ErrorCode", "65538"},  // 0x010002
                                      {"RecommendedActions", "{}"},
                                      {"ProbableCauseDescription", "\"\""},
                                      {"MessageArguments", "{}"},
                                  });
    return {
        // Entry 0x1f with its insertion strings (event 0x0B16, then 0x0B11).
        {"system-log entry 0x1f",
         {"push-syslog", "31"},
         {logEntry("LogMessage_1f",
                   {
                       // The record's local time (2 hours east) with its offset.
                       {"EventTime", "20250615150640.000000+120"},
                       {"Message", "\"Fan 'FAN1 SYS' failed\""},
                       {"PerceivedSeverity", "5"},
                       {"ErrorCode", "11206861"},  // 0xAB00CD from message number 0xABCD
                       {"RecommendedActions", "{\"Check the fan cable\", \"Replace the fan\"}"},
                       {"Summary", "\"Fan failure\""},
                       {"ProbableCauseDescription", "\"Fan worn out|Fan cable loose|Fan blocked\""},
                       {"MessageArguments", "{\"FAN1 SYS\", \"0\"}"},
                   })}},
        // The strings of 0x1f were consumed, so its array is empty, not a
        // repeat.
        {"system-log entry 0x20 without arguments event", {"push-raw", announce20}, {entry20}},
        // An entry the log does not hold: the strings sent with it stay
        // unused...
        {"system-log entry 0x63 that the log does not hold",
         {"push-syslog", "99", "--args", "stale,strings"},
         {logEntry("LogMessage_63")}},
        {"driver-monitor entry 0x1f",
         {"push-drvmon", "31"},
         {logEntry("DriverMonitorMessage_1f",
                   {
                       {"EventTime", "20250615150820.000000+000"},
                       {"Message", "\"Network adapter eth1: link down\""},
                       {"PerceivedSeverity", "4"},
                       {"ErrorCode", "4259863"},  // 0x410017
                       {"AssociationKey", "\"1801-002A\""},
                   })}},
        // ...and go with the next entry that is found.
        {"system-log entry 0x20 with the strings left from 0x63",
         {"push-raw", announce20},
         {with(entry20, {{"MessageArguments", "{\"stale\", \"strings\"}"}})}},
    };
}

RoadStep raidStep() {
    return {
        "two RAID events in one text",
        {"push-raid",
         R"({"Event":[)"
         R"({"AdapterNr":0,"PhyDriveNr":4,"Severity":2,"Message":"Physical drive 4 failed","ErrorCode":5,)"
         R"("SequenceNum":255,"Date":1750000200},)"
         R"({"AdapterNr":0,"LogDriveNr":1,"Severity":7,"Message":"Logical drive 1 degraded","ErrorCode":6,)"
         R"("SequenceNum":4096}]})"},
        {agentIndication("RaidMessage_ff",
                         {
                             {"Message", "\"Physical drive 4 failed\""},
                             {"PerceivedSeverity", "5"},
                             {"ErrorCode", "4521989"},  // 0x450005
                             {"EventTime", "20250615151000.000000+000"},
                         }),
         // Severity 7 and no date: those two properties stay NULL.
         agentIndication("RaidMessage_1000", {
                                                 {"Message", "\"Logical drive 1 degraded\""},
                                                 {"ErrorCode", "4521990"},  // 0x450006
                                             })}};
}

}  // namespace qmstest
