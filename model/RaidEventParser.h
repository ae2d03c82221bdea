// Reading the agent's RAID event text: a JSON object whose "Event" member is
// an array of event objects. The parser walks that array one event at a time
// and answers typed reads of the current event; it never throws, whatever the
// text, and a read that does not fit counts as an absent member.
#pragma once

#include <cimple/cimple.h>
#include <rapidjson/document.h>

#include <map>
#include <string>

namespace provider {

// The CIM keys of one RAID adapter and of its drives, as the instance
// providers of those classes report them.
struct AdapterMapping {
    // Name of the adapter's QMS_VRXHostRaidController.
    cimple::String name;
    // Logical drive number to the DeviceID of its QMS_VRXStoragePoolCompositeExtent.
    std::map<unsigned int, cimple::String> logicalDrives;
    // Physical drive number to the DeviceID of its QMS_VRXDiskExtent.
    std::map<unsigned int, cimple::String> physicalDrives;
};

using AdapterMappings = std::map<unsigned int, AdapterMapping>;

class RaidEventParser {
public:
    // What getSource found.
    enum Source { Adapter = 0, LogicalDrive = 1, PhysicalDrive = 2, NoSource = 3 };

    // Parses text unless it is empty; the current event is the first.
    // adapters is only read and must outlive the parser; null is taken as an
    // empty table.
    RaidEventParser(std::string text, const AdapterMappings* adapters);

    RaidEventParser(const RaidEventParser&) = delete;
    RaidEventParser& operator=(const RaidEventParser&) = delete;

    // The current event exists, is an object and holds the five members an
    // event needs: "AdapterNr", "Severity", "Message", "ErrorCode" and
    // "SequenceNum". Only their presence counts, not their types.
    bool isValid() const;
    // Moves to the next event when there is one; otherwise false and the
    // current event stays.
    bool hasNextEvent();
    unsigned int getCurrentEventNumber() const { return current_; }

    // The current event is an object holding a member of that name.
    bool checkParameter(const char* name) const;

    // Typed reads of the current event. Each answers false and leaves value
    // alone when the member is missing or does not fit: a number must be a
    // non-negative integer below 2^64 (negative, fractional and larger
    // numbers are refused rather than converted, so a garbled number never
    // passes for a real drive or sequence number); the 16-bit read also
    // refuses anything above 65534.
    bool getParameter(unsigned long long& value, const char* name) const;
    bool getParameter(unsigned short& value, const char* name) const;
    // The text up to its first NUL.
    bool getParameter(cimple::String& value, const char* name) const;

    bool getSeverity(unsigned short& value) const { return getParameter(value, "Severity"); }
    bool getErrorCode(unsigned short& value) const { return getParameter(value, "ErrorCode"); }
    bool getMessage(cimple::String& value) const { return getParameter(value, "Message"); }
    bool getSeqNr(unsigned long long& value) const { return getParameter(value, "SequenceNum"); }
    bool getTimestamp(unsigned long long& value) const { return getParameter(value, "Date"); }

    // The key of the element the current event is about, looked up in the
    // adapter table: the adapter's Name, or the DeviceID of the logical or
    // physical drive the event names. A logical drive wins over a physical
    // one; a drive number that the table does not know gives NoSource.
    // source is cleared first and may hold a partial result after NoSource.
    int getSource(cimple::String& source) const;

private:
    // The "Event" array when the document is an object holding one, else null.
    const rapidjson::Value* events() const;
    // The current event when it is an object, else null.
    const rapidjson::Value* currentEvent() const;
    const rapidjson::Value* member(const char* name) const;

    rapidjson::Document document_;
    unsigned int current_ = 0;
    const AdapterMappings* adapters_;
};

}  // namespace provider
