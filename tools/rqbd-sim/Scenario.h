// What the simulated agent knows about its server, loaded from a scenario file
// (format: README.md), and how it answers one request command from that.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace rqbdsim {

// Opcodes the simulator serves itself or pushes.
enum Opcode : uint32_t {
    kOpChannelInit = 0xFFA0,
    kOpCabinetNumber = 0xE204,
    kOpHostName = 0xE107,
    kOpSystemTime = 0xE104,
    kOpReadConfig = 0xE001,
    kOpSystemInfo = 0x0C00,
    kOpLogNrEntries = 0x0B13,
    kOpLogReadChunk = 0x0B10,
    kOpLogResolution = 0x0B17,
    kOpLogCause = 0x0B1A,
    kOpLogSummary = 0x0B23,
    kOpDrvMonNrEvents = 0x1810,
    kOpDrvMonText = 0x1815,
    kOpDrvMonSeverity = 0x1816,
    kOpDrvMonId = 0x1817,
    kOpDrvMonComponent = 0x1818,
    kOpDrvMonTimestamp = 0x181A,
    kEvLogArguments = 0x0B16,
    kEvLogEntry = 0x0B11,
    kEvDrvMonEntry = 0x181B,
    kEvRaid = 0x21C1,
};

// Configuration items of kOpReadConfig.
enum ConfigItem : uint32_t { kConfTimeZone = 0x020E, kConfAccountCheck = 0x3812, kConfUserGroup = 0x3813 };

constexpr uint32_t kItemChassisSerial = 0x0600;
constexpr uint32_t kAllCabinets = 0xFFFFFFFF;

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One entry of the system message log.
struct LogEntry {
    uint32_t number = 0;
    uint8_t severity = 0;
    uint16_t messageNumber = 0;
    uint8_t attributes = 0;
    int32_t time = 0;  // seconds since 1970 in the agent's local time, as the record carries it
    std::string text;
    std::vector<std::string> args;  // insertion strings pushed with the entry's event
};

// Explanations the agent keeps per message number.
struct MessageTexts {
    std::vector<std::string> resolution;
    std::vector<std::string> cause;
    std::string summary;
    bool hasResolution = false, hasCause = false, hasSummary = false;
};

struct DriverMonitorEntry {
    uint32_t number = 0;
    uint32_t time = 0;  // seconds since 1970, UTC
    uint32_t severity = 0;
    uint32_t id = 0;
    uint32_t component = 0;
    std::string text;
};

// A row of the reply table: matches OC and whichever of OE, OI, CA it names.
struct TableReply {
    uint32_t oc = 0;
    bool hasOe = false, hasCa = false;
    uint32_t oe = 0, ca = 0;
    std::string oi;  // compact JSON of the wanted "OI"; empty: any
    uint32_t st = 0;
    std::string da;  // compact JSON of "DA"; empty: the reply carries none
};

class Scenario {
public:
    Scenario() = default;

    // Parses a scenario document. Throws ScenarioError naming the offending
    // member; nothing partial is returned.
    static Scenario fromJson(const std::string& text);

    // Fills reply (an object, allocated from alloc) with the answer to one
    // request command: its "OC", "OE", "OI", "CA" echoed as received, then
    // "ST" and, where there is one, "DA". The reply table is consulted first,
    // then the built-in answers, then defaultStatus.
    void answer(const rapidjson::Value& request, rapidjson::Value& reply,
                rapidjson::Document::AllocatorType& alloc) const;

    // The 16-bit message number as the agent keys its texts in requests:
    // high byte to bits 16..23, low byte kept.
    static uint32_t packMessageCode(uint16_t messageNumber);

    // One record of a log chunk, as the chunk reply carries it.
    static std::vector<uint8_t> encodeRecord(const LogEntry& entry);

    // Payload of the insertion-strings event that precedes a new entry.
    static std::vector<uint8_t> encodeArguments(uint32_t number, const std::vector<std::string>& args);

    const LogEntry* findLogEntry(uint32_t number) const;
    void upsertLogEntry(const LogEntry& entry);

    // The RAID event text named `name` in the scenario, or null.
    const std::string* raidEvent(const std::string& name) const;

    uint32_t cabinet() const { return cabinet_; }

private:
    bool cabinetMatches(uint32_t ca) const { return ca == cabinet_ || ca == kAllCabinets; }
    const TableReply* findTableReply(const rapidjson::Value& request) const;
    bool answerBuiltIn(const rapidjson::Value& request, rapidjson::Value& reply,
                       rapidjson::Document::AllocatorType& alloc) const;

    uint32_t cabinet_ = 0;
    std::string serial_ = "SIM0000000";
    std::string hostName_ = "rqbd-sim";
    bool timeNow_ = true;
    uint32_t systemTime_ = 0;
    uint32_t timeZone_ = 0;
    uint32_t accountCheck_ = 0;
    std::string userGroup_;
    uint32_t defaultStatus_ = 1;
    uint32_t chunkSize_ = 4;
    bool hasLogCount_ = false, hasDrvMonCount_ = false;
    uint32_t logCount_ = 0, drvMonCount_ = 0;
    std::map<uint32_t, LogEntry> log_;
    std::map<uint32_t, MessageTexts> texts_;  // keyed by packed message code
    std::map<uint32_t, DriverMonitorEntry> drvMon_;
    std::map<std::string, std::string> raidEvents_;
    std::vector<TableReply> table_;
};

// Reads a member that may be given as a number or as a "0x..." / decimal
// string. Throws ScenarioError with `what` when it is neither.
uint64_t readNumber(const rapidjson::Value& value, const char* what);

// Compact JSON text of a value.
std::string toJson(const rapidjson::Value& value);

}  // namespace rqbdsim
