#include "model/RaidEventParser.h"

namespace provider {
namespace {

constexpr unsigned long long kLargest16BitRead = 65534;

// The key in a drive map, or null.
const cimple::String* lookUp(const std::map<unsigned int, cimple::String>& drives, unsigned short number) {
    const auto found = drives.find(number);
    return found == drives.end() ? nullptr : &found->second;
}

}  // namespace

RaidEventParser::RaidEventParser(std::string text, const AdapterMappings* adapters) : adapters_(adapters) {
    // An empty text would parse as an error anyway; leaving the document
    // null says the same without asking the parser. The iterative parser
    // accepts and refuses exactly what the recursive one does, but a text of
    // a million opening brackets costs it heap, not the event thread's stack.
    if (!text.empty()) document_.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
}

const rapidjson::Value* RaidEventParser::events() const {
    if (document_.HasParseError() || !document_.IsObject()) return nullptr;
    // FindMember returns the first of duplicate names, which is the one that
    // counts.
    const auto found = document_.FindMember("Event");
    if (found == document_.MemberEnd() || !found->value.IsArray()) return nullptr;
    return &found->value;
}

const rapidjson::Value* RaidEventParser::currentEvent() const {
    const rapidjson::Value* list = events();
    if (!list || current_ >= list->Size()) return nullptr;
    const rapidjson::Value& event = (*list)[current_];
    return event.IsObject() ? &event : nullptr;
}

const rapidjson::Value* RaidEventParser::member(const char* name) const {
    const rapidjson::Value* event = currentEvent();
    if (!event || !name) return nullptr;
    const auto found = event->FindMember(name);
    return found == event->MemberEnd() ? nullptr : &found->value;
}

bool RaidEventParser::isValid() const {
    for (const char* required : {"AdapterNr", "Severity", "Message", "ErrorCode", "SequenceNum"}) {
        if (!checkParameter(required)) return false;
    }
    return true;
}

bool RaidEventParser::hasNextEvent() {
    const rapidjson::Value* list = events();
    if (!list || static_cast<unsigned long long>(current_) + 1 >= list->Size()) return false;
    ++current_;
    return true;
}

bool RaidEventParser::checkParameter(const char* name) const { return member(name) != nullptr; }

bool RaidEventParser::getParameter(unsigned long long& value, const char* name) const {
    const rapidjson::Value* found = member(name);
    // IsUint64 holds only for integers written without fraction or exponent
    // that fit; RapidJSON keeps everything else as a signed or double value.
    if (!found || !found->IsUint64()) return false;
    value = found->GetUint64();
    return true;
}

bool RaidEventParser::getParameter(unsigned short& value, const char* name) const {
    unsigned long long wide = 0;
    if (!getParameter(wide, name) || wide > kLargest16BitRead) return false;
    value = static_cast<unsigned short>(wide);
    return true;
}

bool RaidEventParser::getParameter(cimple::String& value, const char* name) const {
    const rapidjson::Value* found = member(name);
    if (!found || !found->IsString()) return false;
    value = cimple::String(found->GetString());
    return true;
}

int RaidEventParser::getSource(cimple::String& source) const {
    source.clear();
    unsigned short adapterNr = 0;
    if (!getParameter(adapterNr, "AdapterNr") || !adapters_) return NoSource;
    const auto adapter = adapters_->find(adapterNr);
    if (adapter == adapters_->end()) return NoSource;
    const AdapterMapping& mapping = adapter->second;
    source = mapping.name;
    int code = Adapter;

    unsigned short driveNr = 0;
    if (getParameter(driveNr, "PhyDriveNr")) {
        const cimple::String* deviceId = lookUp(mapping.physicalDrives, driveNr);
        if (deviceId) source = *deviceId;
        code = deviceId ? PhysicalDrive : NoSource;
    }
    if (!getParameter(driveNr, "LogDriveNr")) return code;
    const cimple::String* deviceId = lookUp(mapping.logicalDrives, driveNr);
    if (!deviceId) return NoSource;
    source = *deviceId;
    return LogicalDrive;
}

}  // namespace provider
