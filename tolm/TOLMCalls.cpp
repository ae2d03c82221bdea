// Tolm, the one implementation of TOLMCalls: every operation is one request
// to the agent through the CIM switch client, and the agent's events come back
// through onEvent.
//
// The operations are generated from TOLMCalls.def. Each family's body is
// written once below (QMS_TOLM_DEFINE_<family>); a row whose behaviour is its
// own is marked LONGHAND there and written out after the families.
#include "tolm/TOLMCalls.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "support/provider_trace.h"
#include "support/provider_utils.h"
#include "switchclient/CimSwitchClient.h"
#include "switchclient/SipJson.h"

namespace provider {
namespace {

// The "CA" of values that belong to the server as a whole.
constexpr unsigned kAll = 0xFFFFFFFFu;

// Agent event opcodes the module acts on.
constexpr unsigned kEventSystemLogEntry = 0x0B11;
constexpr unsigned kEventDriverMonitorEntry = 0x181B;
constexpr unsigned kEventLogArguments = 0x0B16;
constexpr unsigned kEventRaid = 0x21C1;

// Smallest log record: its 16-byte header and an empty text.
constexpr size_t kLogRecordHeader = 16;

enum class Check {
    Data,            // the reply carries usable data
    Status,          // the reply's status is accepted
    StatusThenData,  // both
};

bool acceptedStatus(unsigned st) { return st == 0 || st == 12 || st == 21 || st == 255; }

bool statusAccepted(const SipJson& sip) {
    return acceptedStatus(
        sip.GetCmdElemValue(static_cast<int>(sip.GetCmdIndex()), "ST", SipJson::kMissingStatus));
}

bool passes(const SipJson& sip, Check check) {
    switch (check) {
        case Check::Data:
            return sip.HasReplyData();
        case Check::Status:
            return statusAccepted(sip);
        case Check::StatusThenData:
            return statusAccepted(sip) && sip.HasReplyData();
    }
    return false;
}

int cmdIndex(const SipJson& sip) { return static_cast<int>(sip.GetCmdIndex()); }

// The reply's number; data the agent sent in another form counts as 0.
unsigned replyNumber(const SipJson& sip) {
    unsigned value = 0;
    sip.GetCmdUIntData(cmdIndex(sip), value);
    return value;
}

// Data that is no number (a text, a list, a number beyond 32 bits) leaves
// the result null.
bool replyNumber(const SipJson& sip, unsigned& value) { return sip.GetCmdUIntData(cmdIndex(sip), value); }

bool replyNumber64(const SipJson& sip, unsigned long long& value) {
    // GetCmdUIntData stops at 32 bits; the byte form of a number or of raw
    // bytes keeps all of them.
    constexpr int kObject = 3, kNumber = 6;
    const int type = sip.GetCmdDataType(cmdIndex(sip));
    std::vector<unsigned char> bytes;
    if ((type != kNumber && type != kObject) || !sip.GetCmdDataStream(cmdIndex(sip), bytes) || bytes.empty())
        return false;
    value = 0;
    for (size_t i = bytes.size() < 8 ? bytes.size() : 8; i-- > 0;) value = (value << 8) | bytes[i];
    return true;
}

// The reply's text; data that is none (missing, a number, a list) is the
// empty text: the agent answered, just not in words.
cimple::String replyText(const SipJson& sip) {
    std::string text;
    if (!sip.GetCmdDataString(cmdIndex(sip), text, 0)) text.clear();
    return STDSTRINGToString(text);
}

// The number a status read answers: the reply's data also beside a refused
// status, 0 without.
unsigned statusReadValue(const SipJson& sip) {
    unsigned value = 0;
    sip.GetCmdUIntData(cmdIndex(sip), value);
    return value;
}

// The agent's statuses for an object that is absent (19) or cannot be read
// (25): status reads go on with them.
bool objectAbsent(unsigned st) { return st == 19 || st == 25; }

// One result type each: how a number reply fills it. mask cuts a byte item.
void decodeNumber(const SipJson& sip, unsigned mask, PUInt& out) {
    unsigned n;
    if (replyNumber(sip, n)) out.set(n & mask);
}
void decodeNumber(const SipJson& sip, unsigned mask, PUChar& out) {
    unsigned n;
    if (replyNumber(sip, n)) out.set(static_cast<unsigned char>(n & mask));
}
void decodeNumber(const SipJson& sip, unsigned mask, PBool& out) {
    unsigned n;
    if (replyNumber(sip, n)) out.set((n & mask) != 0);
}
void decodeNumber(const SipJson& sip, unsigned, PUInt64& out) {
    unsigned long long n;
    if (replyNumber64(sip, n)) out.set(n);
}
void decodeNumber(const SipJson& sip, unsigned, PDatetime& out) {
    unsigned n;
    if (replyNumber(sip, n)) out.set(toDatetime(static_cast<long>(n)));
}

// A string read as the row's result: the text itself, or a date made of it.
PString fromString(const PString& text, PString*) { return text; }
PDatetime fromString(const PString& text, PDatetime*) {
    PDatetime out;
    if (!text.is_null()) out.set(toDatetime(text.value));
    return out;
}

// A zero-terminated text from begin, ending at its terminator or at end.
cimple::String textAt(const std::vector<unsigned char>& data, size_t begin, size_t end,
                      size_t* next = nullptr) {
    // A log entry's text runs to thousands of bytes: memchr looks for the
    // terminator a word at a time.
    const void* nul = begin < end ? std::memchr(data.data() + begin, 0, end - begin) : nullptr;
    const size_t stop = nul != nullptr
                            ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - data.data())
                            : std::max(begin, end);
    if (next) *next = stop + 1;
    return cimple::String(reinterpret_cast<const char*>(data.data() + begin), stop - begin);
}

uint32_t le16(const std::vector<unsigned char>& data, size_t at) {
    return static_cast<uint32_t>(data.at(at)) | static_cast<uint32_t>(data.at(at + 1)) << 8;
}
uint32_t le32(const std::vector<unsigned char>& data, size_t at) {
    return le16(data, at) | le16(data, at + 2) << 16;
}

// Number values of configuration writes go out as the command's "DA" number.
void setNumberData(SipJson& sip, unsigned value) { sip.SetDataUIntValue(value, 0); }
void setNumberData(SipJson& sip, unsigned long long value) {
    sip.SetDataUIntValue(0, 0);
    rapidjson::Value& command = sip.GetCmd();
    if (command.IsObject() && command.HasMember("DA")) command["DA"].SetUint64(value);
}

// Address bytes as they come.
PBytes ipAddress(const SipJson& sip) {
    std::vector<unsigned char> bytes;
    if (!sip.GetCmdDataStream(cmdIndex(sip), bytes)) {
        trace(1, "getIp(): sip.GetDataStream() failed");
        return PBytes();
    }
    cimple::Array<unsigned char> address;
    for (unsigned char b : bytes) address.append(b);
    return PBytes(address);
}

// Every byte as two upper-case hex digits; an address whose first six bytes
// are 0 is no address.
PString macAddress(const SipJson& sip) {
    std::vector<unsigned char> bytes;
    if (!sip.GetCmdDataStream(cmdIndex(sip), bytes)) {
        trace(1, "getMacAddress(): sip.GetDataStream() failed");
        return PString();
    }
    const auto head = bytes.begin() + static_cast<long>(std::min<size_t>(bytes.size(), 6));
    if (std::all_of(bytes.begin(), head, [](unsigned char b) { return b == 0; })) return PString();
    std::string text;
    char digits[3];
    for (unsigned char b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += digits;
    }
    return PString(STDSTRINGToString(text));
}

// Element information: the index of each attribute in a controller card's
// information, as the attribute's place in the element reads.
int elementInfoIndex(unsigned attribute) {
    switch (attribute) {
        case 0x0A:
            return 0;  // manufacturer
        case 0x08:
            return 1;  // name
        case 0x01:
            return 2;  // part number
        case 0x0F:
            return 3;  // description
        case 0x0B:
            return 4;  // manufacture date
        case 0x05:
            return 5;  // version
        case 0x00:
            return 6;  // serial number
    }
    return -1;
}

bool isControllerCardClass(unsigned unitClass) {
    return unitClass == 12 || unitClass == 13 || unitClass == 14 || unitClass == 166;
}

using CardCache = std::map<uint32_t, std::map<uint32_t, cimple::String>>;

class Tolm : public TOLMCalls, public ThreadedSwitchClient::EventListener {
public:
    explicit Tolm(const cimple::String& clientName);
    explicit Tolm(const ShPtr<CimSwitchClient>& link);
    ~Tolm() override;

    void onEvent(SipJson& message) override;

#define QMS_TOLM(family, name, Result, params, opcode, oe, oi, ca, traceStyle) Result name params override;
#include "tolm/TOLMCalls.def"

private:
    // What became of a request. Refused: the agent answered with a status
    // that is not accepted. Lost: the link failed (it says so through the
    // error code), so sip holds no reply and whatever status or data it
    // carries is not the agent's.
    enum class Sent { Accepted, Refused, Lost };
    Sent send(SipJson& sip);
    // Sends sip; a failed request is traced with name and answers false, a
    // reply that fails check answers false without a trace.
    bool ask(SipJson& sip, const char* name, Check check);
    // Sends sip with the status-tree node as its data; a failed request is
    // traced with name and the node.
    bool askNode(SipJson& sip, const char* name, const cimple::String& node);
    // Sends sip; true when the request went through. A failure is traced
    // with name unless name is null.
    bool sent(SipJson& sip, const char* name);

    template <class Result>
    Result readNumber(const char* name, unsigned oc, unsigned oe, unsigned oi, unsigned ca, Check check,
                      unsigned mask = 0xFFFFFFFFu);
    PString readText(const char* name, unsigned oc, unsigned oe, unsigned oi, unsigned ca, Check check);
    PString readSystemInfoString(const char* name, unsigned item, unsigned index, unsigned cabNr);
    // The same without the entry trace, for callers that wrote their own.
    PString readSystemInfo(const char* name, unsigned item, unsigned index, unsigned cabNr);
    PStrings readMultiString(const char* name, unsigned oc, const TOLMKey& key, int messageCode);
    unsigned readStatus(const char* name, unsigned oc, unsigned oe, unsigned oi, unsigned ca);
    PString elementInfo(const char* name, const TOLMKey& key, unsigned attribute);
    bool getControllerCardInfoString(const TOLMKey& key, int infoIndex, cimple::String& text) const;
    int doExecuteRebuildMethod(unsigned opcode, unsigned method, const TOLMKey& key, const char* name);

    ShPtr<CimSwitchClient> client;
    // Set on CIMOM threads, read on the event thread. A listener replaced
    // while an event is delivered may still get that one event: setListener
    // cannot wait for it, since the event thread may itself be waiting for
    // the thread that replaces the listener.
    std::atomic<TOLMEventsListener*> listener{nullptr};
    // Controller-card information, filled by the controller-card session.
    CardCache cardInfo;
    CardCache cardLocation;
    CardCache cardComponent;
    CardCache cardController;
};

Tolm::Tolm(const cimple::String& clientName) : client(newCimSwitchClient(clientName, this)) {
    trace(5, "Tolm::Tolm()");
}

Tolm::Tolm(const ShPtr<CimSwitchClient>& link) : client(link) { trace(5, "Tolm::Tolm()"); }

Tolm::~Tolm() {
    trace(5, "Tolm::~Tolm()");
    cardInfo.clear();
    cardLocation.clear();
    cardComponent.clear();
    cardController.clear();
    // client goes last: its destruction stops the threads that call back here.
}

Tolm::Sent Tolm::send(SipJson& sip) {
    // The error code is asked for on every request: a status found in the
    // message after a failed link may be one the request carried itself (data
    // sets "ST" 0) or one written for the failure, and must never pass for
    // the agent's own (19 would read as "object absent").
    long error = 0;
    const unsigned status = client->request(sip, &error);
    if (error != 0) return Sent::Lost;
    // The client answers the reply's status; the statuses the agent uses for
    // a valid answer (12, 21, 255 besides 0) are left to the reply checks, so
    // that a reply with status 12 and data still counts.
    return acceptedStatus(status) ? Sent::Accepted : Sent::Refused;
}

bool Tolm::sent(SipJson& sip, const char* name) {
    if (send(sip) == Sent::Accepted) return true;
    if (name) trace(1, "%s(): request() failed", name);
    return false;
}

bool Tolm::ask(SipJson& sip, const char* name, Check check) { return sent(sip, name) && passes(sip, check); }

bool Tolm::askNode(SipJson& sip, const char* name, const cimple::String& node) {
    sip.SetReplyDataString(node.c_str(), 0);
    if (send(sip) != Sent::Accepted) {
        trace(1, "%s(%s): request() failed", name, node.c_str());
        return false;
    }
    return passes(sip, Check::Data);
}

template <class Result>
Result Tolm::readNumber(const char* name, unsigned oc, unsigned oe, unsigned oi, unsigned ca, Check check,
                        unsigned mask) {
    SipJson sip(oc, oe, oi, ca, SipJson::kNoStatus);
    Result result;
    if (ask(sip, name, check)) decodeNumber(sip, mask, result);
    return result;
}

PString Tolm::readText(const char* name, unsigned oc, unsigned oe, unsigned oi, unsigned ca, Check check) {
    SipJson sip(oc, oe, oi, ca, SipJson::kNoStatus);
    PString result;
    if (ask(sip, name, check)) result.set(replyText(sip));
    return result;
}

PString Tolm::readSystemInfoString(const char* name, unsigned item, unsigned index, unsigned cabNr) {
    trace(5, "Tolm::%s()", name);
    return readSystemInfo(name, item, index, cabNr);
}

PString Tolm::readSystemInfo(const char* name, unsigned item, unsigned index, unsigned cabNr) {
    return readText(name, 0x0C00, item, index, cabNr, Check::Status);
}

unsigned Tolm::readStatus(const char* name, unsigned oc, unsigned oe, unsigned oi, unsigned ca) {
    SipJson sip(oc, oe, oi, ca, SipJson::kNoStatus);
    const Sent outcome = send(sip);
    if (outcome == Sent::Lost ||
        (outcome == Sent::Refused &&
         !objectAbsent(sip.GetCmdElemValue(cmdIndex(sip), "ST", SipJson::kMissingStatus))))
        traceAndThrow(BaseException("TOLMCalls", __LINE__,
                                    STDSTRINGToString(std::string(name) + "(): request() failed")));
    return statusReadValue(sip);
}

// The unit class is the key's opCdExt; controller cards keep their
// information in the card caches, everything else is a system-information
// string.
PString Tolm::elementInfo(const char* name, const TOLMKey& key, unsigned attribute) {
    const char* field = name + std::strlen("getElement");
    PString text;
    if (isControllerCardClass(key.opCdExt)) {
        cimple::String found;
        if (getControllerCardInfoString(key, elementInfoIndex(attribute), found)) text.set(found);
    } else {
        text = readSystemInfo(name, key.opCdExt * 256 + attribute, key.objId, key.cabNr);
    }
    if (text.is_null()) {
        trace(5, "%s():%s not found", name, field);
        return PString();
    }
    return text.value.size() ? text : PString();
}

// A card's information, by cabinet and then by the card's index and the
// field. Only a controller-card session fills the cache, and its scan is not
// decoded yet, so nothing is found until then.
bool Tolm::getControllerCardInfoString(const TOLMKey& key, int infoIndex, cimple::String& text) const {
    const auto cabinet = cardInfo.find(key.cabNr);
    if (infoIndex < 0 || cabinet == cardInfo.end()) return false;
    const auto entry = cabinet->second.find(key.objId << 8 | static_cast<unsigned>(infoIndex));
    if (entry == cabinet->second.end()) return false;
    text = entry->second;
    return true;
}

int Tolm::doExecuteRebuildMethod(unsigned opcode, unsigned method, const TOLMKey& key, const char* name) {
    trace(5, "Tolm::%s()", name);
    SipJson sip(opcode, method, 0, key.cabNr, SipJson::kNoStatus);
    sip.SetCmdParam("OI", key.opCdExt, "AdapterIdx");
    sip.SetCmdParam("OI", key.objId, opcode == 0x21E0 ? "LDriveIdx" : "PDriveIdx");
    if (send(sip) != Sent::Accepted) {
        trace(1, "%s: request() failed", name);
        return 10;
    }
    const int code = static_cast<int>(sip.GetCmdElemValue(cmdIndex(sip), "EC", 0));
    trace(5, "%s: returned: %d", name, code);
    return code;
}

// ---------------------------------------------------------------------------
// Entry traces and trace names by the row's trace column.

#define QMS_TOLM_ENTRY_T_PLAIN(name) trace(5, "Tolm::" #name "()")
#define QMS_TOLM_ENTRY_T_CAB_OBJ(name) trace(5, "Tolm::" #name "(cabNr=%x, objId=%x)", key.cabNr, key.objId)
#define QMS_TOLM_ENTRY_T_CAB_OBJ_EXT(name) \
    trace(5, "Tolm::" #name "(cabNr=%x, objId=%x, opCdExt=%x)", key.cabNr, key.objId, key.opCdExt)
#define QMS_TOLM_ENTRY_T_CAB_EXT(name) \
    trace(5, "Tolm::" #name "(cabNr=%x, opCdExt=%x)", key.cabNr, key.opCdExt)
#define QMS_TOLM_ENTRY_T_ARG(name) trace(5, "Tolm::" #name "(%x)", static_cast<unsigned>(arg))
#define QMS_TOLM_ENTRY_T_TEXT(name) trace(5, "Tolm::" #name "(%s)", text.c_str())
#define QMS_TOLM_ENTRY_T_SEQ(name) trace(5, "Tolm::" #name "(%x)", seqNr)
#define QMS_TOLM_ENTRY_T_CM(name) trace(5, "Tolm::CM_" #name "()")

#define QMS_TOLM_NAME_T_PLAIN(name) #name
#define QMS_TOLM_NAME_T_CAB_OBJ(name) #name
#define QMS_TOLM_NAME_T_CAB_OBJ_EXT(name) #name
#define QMS_TOLM_NAME_T_CAB_EXT(name) #name
#define QMS_TOLM_NAME_T_ARG(name) #name
#define QMS_TOLM_NAME_T_TEXT(name) #name
#define QMS_TOLM_NAME_T_SEQ(name) #name
#define QMS_TOLM_NAME_T_CM(name) "CM_" #name

// ---------------------------------------------------------------------------
// The families.

// Number reads with the data check.
#define QMS_TOLM_DEFINE_NUMBER_DATA(name, Result, params, opcode, oe, oi, ca, traceStyle)             \
    Result Tolm::name params {                                                                        \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                            \
        return readNumber<Result>(QMS_TOLM_NAME_##traceStyle(name), opcode, oe, oi, ca, Check::Data); \
    }

// Number reads with the status check, then the data check.
#define QMS_TOLM_DEFINE_NUMBER_STATUS(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                              \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                  \
        return readNumber<Result>(QMS_TOLM_NAME_##traceStyle(name), opcode, oe, oi, ca,     \
                                  Check::StatusThenData);                                   \
    }

// String reads with the data check.
#define QMS_TOLM_DEFINE_STRING_DATA(name, Result, params, opcode, oe, oi, ca, traceStyle)   \
    Result Tolm::name params {                                                              \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                  \
        return readText(QMS_TOLM_NAME_##traceStyle(name), opcode, oe, oi, ca, Check::Data); \
    }

// String reads with the status check only: an accepted status without data
// answers an empty text.
#define QMS_TOLM_DEFINE_STRING_STATUS(name, Result, params, opcode, oe, oi, ca, traceStyle)   \
    Result Tolm::name params {                                                                \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                    \
        return readText(QMS_TOLM_NAME_##traceStyle(name), opcode, oe, oi, ca, Check::Status); \
    }

// System-information strings (opcode 0x0C00, "OE" the unit class times 256
// plus the attribute); a date attribute is converted from the text.
#define QMS_TOLM_DEFINE_SYSINFO(name, Result, params, opcode, oe, oi, ca, traceStyle)              \
    Result Tolm::name params {                                                                     \
        static_assert(opcode == 0x0C00, "system-information strings are all read with 0x0C00");    \
        return fromString(readSystemInfoString(#name, oe, oi, ca), static_cast<Result*>(nullptr)); \
    }

// Configuration items of one byte: the number's low 8 bits.
#define QMS_TOLM_DEFINE_CONF_BYTE(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                          \
        QMS_TOLM_ENTRY_##traceStyle(name);                                              \
        return readNumber<Result>(#name, opcode, oe, oi, ca, Check::Data, 0xFFu);       \
    }

// Configuration items of a word or more: the whole number.
#define QMS_TOLM_DEFINE_CONF_WORD(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                          \
        QMS_TOLM_ENTRY_##traceStyle(name);                                              \
        return readNumber<Result>(#name, opcode, oe, oi, ca, Check::Data);              \
    }

// Fixed answers: an empty text that is not null, without asking the agent.
#define QMS_TOLM_DEFINE_FIXED(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                      \
        QMS_TOLM_ENTRY_##traceStyle(name);                                          \
        return Result(cimple::String());                                            \
    }

// Written out beside the table.
#define QMS_TOLM_DEFINE_LONGHAND(name, Result, params, opcode, oe, oi, ca, traceStyle)

// Reads of the system message log only: any other log has a fixed answer.
constexpr unsigned kOtherLog_getMaxNumberLogEntries = 0;
constexpr unsigned kOtherLog_getLogAvailable = 1;
#define QMS_TOLM_DEFINE_LOG_ONLY(name, Result, params, opcode, oe, oi, ca, traceStyle)                \
    Result Tolm::name params {                                                                        \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                            \
        if (key.objId != 0) return Result(kOtherLog_##name);                                          \
        return readNumber<Result>(QMS_TOLM_NAME_##traceStyle(name), opcode, oe, oi, ca, Check::Data); \
    }

// Number reads with the status check, then the data check, whose failure
// trace names the agent command.
#define QMS_TOLM_DEFINE_NAMED_COMMAND(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                              \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                  \
        SipJson sip(opcode, oe, oi, ca, SipJson::kNoStatus);                                \
        Result result;                                                                      \
        if (!sent(sip, nullptr)) {                                                          \
            trace(1, "%s(): request(CM_%s) failed", #name, &(#name)[3]);                    \
            return result;                                                                  \
        }                                                                                   \
        if (passes(sip, Check::StatusThenData)) decodeNumber(sip, 0xFFFFFFFFu, result);     \
        return result;                                                                      \
    }

// Status reads that throw unless the agent's status says the object is
// absent (19) or not readable (25); no data answers 0.
#define QMS_TOLM_DEFINE_STATUS_THROW(name, Result, params, opcode, oe, oi, ca, traceStyle)            \
    Result Tolm::name params {                                                                        \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                            \
        return static_cast<Result>(readStatus(QMS_TOLM_NAME_##traceStyle(name), opcode, oe, oi, ca)); \
    }

// Counts that trace any failure and go on as the status reads do: with what
// the agent's reply holds, 0 without data or without a reply.
#define QMS_TOLM_DEFINE_STATUS_TRACE(name, Result, params, opcode, oe, oi, ca, traceStyle)                   \
    Result Tolm::name params {                                                                               \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                                   \
        SipJson sip(opcode, oe, oi, ca, SipJson::kNoStatus);                                                 \
        const Sent outcome = send(sip);                                                                      \
        if (outcome != Sent::Accepted) trace(1, "%s(): request() failed", QMS_TOLM_NAME_##traceStyle(name)); \
        return Result(outcome == Sent::Lost ? 0u : statusReadValue(sip));                                    \
    }

// A string with the status check, written into the text argument; the
// argument keeps its value on any failure.
#define QMS_TOLM_DEFINE_TEXT_OUT(name, Result, params, opcode, oe, oi, ca, traceStyle)                      \
    Result Tolm::name params {                                                                              \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                                  \
        const PString read = readText(QMS_TOLM_NAME_##traceStyle(name), opcode, oe, oi, ca, Check::Status); \
        if (!read.is_null()) text = StringToSTDSTRING(read.value);                                          \
    }

// Element information chosen by the key's unit class (opCdExt); the row's
// "OE" column holds the attribute. The entry trace is written here once, for
// the controller cards as for the rest.
#define QMS_TOLM_DEFINE_ELEMENT_INFO(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                             \
        static_assert(opcode == 0x0C00, "element information is read with 0x0C00");        \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                 \
        (void)(oi), (void)(ca);                                                            \
        return fromString(elementInfo(#name, key, oe), static_cast<Result*>(nullptr));     \
    }

// Configuration strings: a failed request, a refused status or no data give null.
#define QMS_TOLM_DEFINE_CONF_STRING(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                            \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                \
        return readText(#name, opcode, oe, oi, ca, Check::StatusThenData);                \
    }

// Network addresses: the reply's bytes, or their hexadecimal text.
#define QMS_TOLM_DEFINE_IP_ADDRESS(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                           \
        QMS_TOLM_ENTRY_##traceStyle(name);                                               \
        SipJson sip(opcode, oe, oi, ca, SipJson::kNoStatus);                             \
        if (!ask(sip, QMS_TOLM_NAME_##traceStyle(name), Check::Data)) return Result();   \
        return ipAddress(sip);                                                           \
    }
#define QMS_TOLM_DEFINE_MAC_ADDRESS(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                            \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                \
        SipJson sip(opcode, oe, oi, ca, SipJson::kNoStatus);                              \
        if (!ask(sip, QMS_TOLM_NAME_##traceStyle(name), Check::Data)) return Result();    \
        return macAddress(sip);                                                           \
    }

// Configuration writes: the value as request data; anything but a sent
// request with an accepted reply status throws.
#define QMS_TOLM_DEFINE_WRITE(name, opcode, oe, oi, ca, traceStyle, setData)                       \
    {                                                                                              \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                         \
        SipJson sip(opcode, oe, oi, ca, SipJson::kNoStatus);                                       \
        setData;                                                                                   \
        if (send(sip) != Sent::Accepted || !statusAccepted(sip))                                   \
            traceAndThrow(BaseException("TOLMCalls", __LINE__,                                     \
                                        QMS_TOLM_NAME_##traceStyle(name) "(): request() failed")); \
    }
#define QMS_TOLM_DEFINE_WRITE_BYTE(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params QMS_TOLM_DEFINE_WRITE(name, opcode, oe, oi, ca, traceStyle, \
                                                   sip.SetDataByte(static_cast<unsigned char>(value), 0))
#define QMS_TOLM_DEFINE_WRITE_TEXT(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params QMS_TOLM_DEFINE_WRITE(name, opcode, oe, oi, ca, traceStyle, \
                                                   sip.SetReplyDataString(value.c_str(), 0))
#define QMS_TOLM_DEFINE_WRITE_NUMBER(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params QMS_TOLM_DEFINE_WRITE(name, opcode, oe, oi, ca, traceStyle,   \
                                                   setNumberData(sip, value))

// Byte writes answering whether the request went through, without a status check.
#define QMS_TOLM_DEFINE_WRITE_CHECKED(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                              \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                  \
        SipJson sip(opcode, oe, oi, ca, SipJson::kNoStatus);                                \
        sip.SetDataByte(static_cast<unsigned char>(value), 0);                              \
        return sent(sip, QMS_TOLM_NAME_##traceStyle(name));                                 \
    }

// Actions: true when the request went through. SEND0 and SEND1 add one byte
// of request data.
#define QMS_TOLM_DEFINE_ACTION_WITH(name, Result, params, opcode, oe, oi, ca, traceStyle, setData) \
    Result Tolm::name params {                                                                     \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                         \
        SipJson sip(opcode, oe, oi, ca, SipJson::kNoStatus);                                       \
        setData;                                                                                   \
        return static_cast<Result>(sent(sip, QMS_TOLM_NAME_##traceStyle(name)));                   \
    }
#define QMS_TOLM_DEFINE_ACTION(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    QMS_TOLM_DEFINE_ACTION_WITH(name, Result, params, opcode, oe, oi, ca, traceStyle, (void)0)
#define QMS_TOLM_DEFINE_ACTION_SEND0(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    QMS_TOLM_DEFINE_ACTION_WITH(name, Result, params, opcode, oe, oi, ca, traceStyle, sip.SetDataByte(0, 0))
#define QMS_TOLM_DEFINE_ACTION_SEND1(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    QMS_TOLM_DEFINE_ACTION_WITH(name, Result, params, opcode, oe, oi, ca, traceStyle, sip.SetDataByte(1, 0))

// RAID rebuild methods: the row's "OE" is the method.
#define QMS_TOLM_DEFINE_REBUILD(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                        \
        (void)(oi), (void)(ca);                                                       \
        return doExecuteRebuildMethod(opcode, oe, key, #name);                        \
    }

// Status-tree nodes, named by their text (the row's "text" parameter), which
// goes out as the request's data: a number or a text, with the data check.
#define QMS_TOLM_DEFINE_TREE_NUMBER(name, Result, params, opcode, oe, oi, ca, traceStyle)                 \
    Result Tolm::name params {                                                                            \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                                \
        SipJson sip(opcode, oe, oi, ca, SipJson::kNoStatus);                                              \
        Result result;                                                                                    \
        if (askNode(sip, QMS_TOLM_NAME_##traceStyle(name), text)) decodeNumber(sip, 0xFFFFFFFFu, result); \
        return result;                                                                                    \
    }
#define QMS_TOLM_DEFINE_TREE_TEXT(name, Result, params, opcode, oe, oi, ca, traceStyle)       \
    Result Tolm::name params {                                                                \
        QMS_TOLM_ENTRY_##traceStyle(name);                                                    \
        SipJson sip(opcode, oe, oi, ca, SipJson::kNoStatus);                                  \
        Result result;                                                                        \
        if (askNode(sip, QMS_TOLM_NAME_##traceStyle(name), text)) result.set(replyText(sip)); \
        return result;                                                                        \
    }

// The structured reads whose reply layout is not settled with the agent
// (the status tree's combined status, controller cards and their caches,
// update-manager jobs, the PCI and power data): they send nothing and give
// their failure result, null, empty, false or nothing, saying so at level 1.
#define QMS_TOLM_UNDECODED_BEGIN(name, opcode, oe, oi, ca, traceStyle) \
    QMS_TOLM_ENTRY_##traceStyle(name);                                 \
    (void)(opcode), (void)(oe), (void)(oi), (void)(ca);                \
    trace(1, "%s(): not implemented", QMS_TOLM_NAME_##traceStyle(name))
#define QMS_TOLM_DEFINE_STRUCTURED(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                           \
        QMS_TOLM_UNDECODED_BEGIN(name, opcode, oe, oi, ca, traceStyle);                  \
        return Result();                                                                 \
    }
// Those whose failure is an exception throw the failed-request exception.
#define QMS_TOLM_DEFINE_STRUCTURED_THROW(name, Result, params, opcode, oe, oi, ca, traceStyle)              \
    Result Tolm::name params {                                                                              \
        QMS_TOLM_UNDECODED_BEGIN(name, opcode, oe, oi, ca, traceStyle);                                     \
        traceAndThrow(                                                                                      \
            BaseException("TOLMCalls", __LINE__, QMS_TOLM_NAME_##traceStyle(name) "(): request() failed")); \
    }

// Undecoded members leave their other parameters unread.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define QMS_TOLM(family, name, Result, params, opcode, oe, oi, ca, traceStyle) \
    QMS_TOLM_DEFINE_##family(name, Result, params, opcode, oe, oi, ca, traceStyle)
#include "tolm/TOLMCalls.def"
#pragma GCC diagnostic pop

// ---------------------------------------------------------------------------
// Core operations.

TOLMEventsListener* Tolm::setListener(TOLMEventsListener* el) {
    TOLMEventsListener* const previous = listener.exchange(el, std::memory_order_acq_rel);
    trace(5, "Tolm::setListener(%p): el=%p", static_cast<void*>(el), static_cast<void*>(previous));
    return previous;
}

bool Tolm::enableEvents() {
    trace(5, "Tolm::enableEvents()");
    return client->enableEvents(true, nullptr);
}

bool Tolm::disableEvents() {
    trace(5, "Tolm::disableEvents()");
    return client->enableEvents(false, nullptr);
}

bool Tolm::accountCheck() {
    trace(5, "Tolm::accountCheck()");
    if (client->accountCheck()) return true;
    traceAndThrow(CimErrorException("TOLMCalls", 637, "accountCheck(): current User is not Quarnet Admin",
                                    CIM_ERR_ACCESS_DENIED));
}

void Tolm::onEvent(SipJson& message) {
    const int index = cmdIndex(message);
    const unsigned opcode = message.GetCmdElemValue(index, "OC", 0);
    trace(5, "Tolm::onEvent(): OpCode=%x", opcode);
    if (opcode != kEventSystemLogEntry && opcode != kEventDriverMonitorEntry &&
        opcode != kEventLogArguments && opcode != kEventRaid) {
        trace(1, "Tolm::onEvent(): unknown OpCode=%x", opcode);
        return;
    }
    if (!message.HasReplyData()) {
        trace(1, "Tolm::onEvent(): !sip.HasReplyData()");
        return;
    }
    // Read once: the model may change the listener from another thread.
    TOLMEventsListener* const el = listener.load(std::memory_order_acquire);
    if (!el) {
        trace(1, "Tolm::onEvent(): TOLMEventsListener not set");
        return;
    }

    if (opcode == kEventSystemLogEntry || opcode == kEventDriverMonitorEntry) {
        // An entry number that is no number names no entry; taking it as 0
        // would announce an entry the agent never reported.
        unsigned seqNr = 0;
        if (!message.GetCmdUIntData(index, seqNr)) {
            trace(1, "Tolm::onEvent(): no entry number");
            return;
        }
        trace(5, "Tolm::onEvent(): nSeqNr=%x", seqNr);
        if (opcode == kEventSystemLogEntry) {
            trace(5, "Tolm::onEvent(): %p->onSystemMessageLogEntry(%x)", static_cast<void*>(el), opcode);
            el->onSystemMessageLogEntry(seqNr);
        } else {
            trace(5, "Tolm::onEvent(): %p->onDriverMonitorLogEntry(%x)", static_cast<void*>(el), opcode);
            el->onDriverMonitorLogEntry(seqNr);
        }
        return;
    }

    if (opcode == kEventLogArguments) {
        // Byte 25 counts the insertion strings that follow from byte 26.
        constexpr size_t kCountAt = 25;
        std::vector<unsigned char> data;
        message.GetCmdDataStream(index, data);
        cimple::Array<cimple::String> args;
        if (data.size() > kCountAt + 2) {
            const size_t wanted = data[kCountAt];
            size_t at = kCountAt + 1;
            while (args.size() < wanted && data.size() > at && data.size() - at > 1)
                args.append(textAt(data, at, data.size(), &at));
        }
        trace(5, "Tolm::onEvent(): %p->onLogMessageArguments(%d)", static_cast<void*>(el),
              static_cast<int>(args.size()));
        el->onLogMessageArguments(args);
        return;
    }

    std::string msg;
    message.GetCmdDataString(index, msg, 0);
    trace(5, "Tolm::onRaidEvent(): msg=%s", msg.c_str());
    el->onRaidEvent(msg);
}

// ---------------------------------------------------------------------------
// Log and identity reads that differ from their families.

// Log 1 is the driver monitor, whose size has a request of its own.
PUInt Tolm::getLogMessageNrEntries(const TOLMKey& key) {
    trace(5, "Tolm::getLogMessageNrEntries()");
    if (key.objId != 0) return getDrvMonNumberEvents(key);
    return readNumber<PUInt>("getLogMessageNrEntries", 0x0B13, 0, 0, key.cabNr, Check::Data);
}

// Answers only for the driver-monitor log (objId 1).
PUInt Tolm::getDrvMonNumberEvents(const TOLMKey& key) {
    trace(5, "Tolm::getDrvMonNumberEvents()");
    if (key.objId != 1) return PUInt();
    return readNumber<PUInt>("getDrvMonNumberEvents", 0x1810, 0, 0, key.cabNr, Check::Data);
}

// A chunk of log records, each (little-endian): length 2, -, severity, message
// number 2, attributes, -, local time 4, sequence number 4, text.
unsigned int Tolm::getLogMessageReadChunk(const TOLMKey& key, unsigned int seqNr,
                                          std::vector<LogMessage>& entries) {
    trace(5, "Tolm::getLogMessageReadChunk(%x)", seqNr);
    SipJson sip(0x0B10, key.opCdExt, key.objId, key.cabNr, SipJson::kNoStatus);
    sip.SetDataUIntValue(seqNr, 0);
    if (!ask(sip, "getLogMessageReadChunk", Check::Data)) return 0;

    std::vector<unsigned char> data;
    if (!sip.GetCmdDataStream(cmdIndex(sip), data)) {
        trace(1, "getLogMessageReadChunk(): sip.GetDataStream() failed");
        return 0;
    }
    if (data.size() <= kLogRecordHeader) return 0;

    const PUInt zone = getConfTimeZone();
    const int offsetMinutes = zone.is_null() ? 0 : static_cast<int>(zone.value * 60);

    // Walk the records. A length of 0 could not advance, and a length running
    // past the data makes the rest unreadable; either ends the walk with the
    // records before it, so that one broken record does not cost the
    // indications of the others.
    std::vector<size_t> starts;
    size_t at = 0;
    while (data.size() - at > kLogRecordHeader) {
        const size_t length = le16(data, at);
        if (length == 0) break;
        if (length > data.size() - at) {
            trace(1, "getLogMessageReadChunk(): record at byte %zu runs past the %zu bytes of data", at,
                  data.size());
            break;
        }
        starts.push_back(at);
        at += length;
    }
    if (starts.empty()) return 0;

    entries.resize(starts.size());
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t start = starts[i];
        const size_t end = start + le16(data, start);
        LogMessage& entry = entries[i];
        entry.seqNr = le32(data, start + 12);
        entry.messageId = le16(data, start + 4);
        entry.severity = data.at(start + 3);
        entry.timestamp =
            toDatetime(static_cast<long>(static_cast<int32_t>(le32(data, start + 8))), offsetMinutes);
        entry.bit0Flag = (data.at(start + 6) & 1) != 0;
        entry.text =
            start + kLogRecordHeader < end ? textAt(data, start + kLogRecordHeader, end) : cimple::String();
    }
    return static_cast<unsigned int>(entries.size());
}

// Resolution and cause texts come as zero-terminated strings one after the
// other, ended by an empty one or by the end of the data.
PStrings Tolm::readMultiString(const char* name, unsigned oc, const TOLMKey& key, int messageCode) {
    trace(5, "Tolm::%s()", name);
    PStrings result;
    if (key.objId != 0) return result;
    SipJson sip(oc, key.opCdExt, 0, key.cabNr, SipJson::kNoStatus);
    sip.SetDataUIntValue(static_cast<unsigned>(messageCode), 0);
    if (!ask(sip, name, Check::Data)) return result;
    std::vector<unsigned char> data;
    if (!sip.GetCmdDataStream(cmdIndex(sip), data)) {
        trace(1, "%s(): sip.GetDataStream() failed", name);
        return result;
    }
    cimple::Array<cimple::String> texts;
    size_t at = 0;
    if (!data.empty()) {
        do {
            texts.append(textAt(data, at, data.size(), &at));
        } while (at < data.size() && data[at] != 0);
    }
    result.set(texts);
    return result;
}

PStrings Tolm::getLogMessageResolutionRead(const TOLMKey& key, int messageCode) {
    return readMultiString("getLogMessageResolutionRead", 0x0B17, key, messageCode);
}

PStrings Tolm::getLogMessageCauseRead(const TOLMKey& key, int messageCode) {
    return readMultiString("getLogMessageCauseRead", 0x0B1A, key, messageCode);
}

PString Tolm::getLogMessageActionSummary(const TOLMKey& key, int messageCode) {
    trace(5, "Tolm::getLogMessageActionSummary()");
    PString result;
    if (key.objId != 0) return result;
    SipJson sip(0x0B23, key.opCdExt, 0, key.cabNr, SipJson::kNoStatus);
    sip.SetDataUIntValue(static_cast<unsigned>(messageCode), 0);
    if (ask(sip, "getLogMessageActionSummary", Check::Data)) result.set(replyText(sip));
    return result;
}

// Component indices are 16 bits; the comparison is signed, so numbers from
// 0x80000000 up pass as they are.
PUInt Tolm::getDrvMonEventComponentIndex(const TOLMKey& key) {
    trace(5, "Tolm::getDrvMonEventComponentIndex()");
    PUInt result =
        readNumber<PUInt>("getDrvMonEventComponentIndex", 0x1818, 0, key.objId, key.cabNr, Check::Data);
    if (!result.is_null() && static_cast<int32_t>(result.value) > 0xFFFF) result.clear();
    return result;
}

// No null here: without its own cabinet the module cannot name the server.
unsigned int Tolm::getIdentificationCabinetNumber() {
    trace(5, "Tolm::getIdentificationCabinetNumber()");
    SipJson sip(0xE204, 0, 0, 0, SipJson::kNoStatus);
    if (send(sip) != Sent::Accepted || !sip.HasReplyData())
        traceAndThrow(BaseException("TOLMCalls", 3150, "getIdentificationCabinetNumber(): request() failed"));
    return replyNumber(sip);
}

// ---------------------------------------------------------------------------
// Query-family members that differ from their families.

// A configuration byte as a flag; a log other than the system message log
// never wraps, so it answers true without asking.
PBool Tolm::getConfMessageLogNoWrap(const TOLMKey& key) {
    trace(5, "Tolm::getConfMessageLogNoWrap()");
    if (key.objId != 0) return PBool(true);
    return readNumber<PBool>("getConfMessageLogNoWrap", 0xE001, 0x0007, 0, key.cabNr, Check::Data, 0xFFu);
}

// No request of its own: a watchdog is present when its enable item reads.
bool Tolm::getConfWatchdogPresent(const TOLMKey& key) {
    trace(5, "Tolm::getConfWatchdogPresent()");
    return !getConfWatchdogEnable(key).is_null();
}

// A status read that also traces its answer.
unsigned char Tolm::getPowerSupplyStatus(const TOLMKey& key) {
    trace(5, "Tolm::getPowerSupplyStatus()");
    const auto status =
        static_cast<unsigned char>(readStatus("getPowerSupplyStatus", 0x0501, 0, key.objId, key.cabNr));
    trace(5, "Tolm::getPowerSupplyStatus() = %d", status);
    return status;
}

// Clears both logs, the system message log first; only asked for log 0.
bool Tolm::doClearLog(const TOLMKey& key) {
    trace(5, "Tolm::doClearLog()");
    if (key.objId != 0) return true;
    for (unsigned log = 0; log < 2; ++log) {
        SipJson sip(0x0B03, 0, log, key.cabNr, SipJson::kNoStatus);
        if (!sent(sip, nullptr)) {
            trace(1, "doClearLog(%u): request() failed", log);
            return false;
        }
    }
    return true;
}

// A write answering bool, with the value as an unsigned number; only the
// system message log has a language.
bool Tolm::setConfCIMRecordLogLanguage(const TOLMKey& key, unsigned int value) {
    trace(5, "Tolm::setConfCIMRecordLogLanguage()");
    if (key.objId != 0) return false;
    SipJson sip(0xE002, 0x000E, 0, key.cabNr, SipJson::kNoStatus);
    sip.SetDataUIntValue(value, 0);
    return sent(sip, "setConfCIMRecordLogLanguage");
}

// The agent has no writable item for it.
void Tolm::setConfAlarmPALVOId(const cimple::String&) {
    trace(5, "Tolm::setConfAlarmPALVOId(): not implemented");
}

// The server's cabinet first, then the extension cabinets the agent
// detected, as 16-bit little-endian numbers.
std::vector<unsigned int> Tolm::getCabNrs() {
    trace(5, "Tolm::getCabNrs()");
    SipJson first(0xE204, 0, 0, 0, SipJson::kNoStatus);
    if (!sent(first, nullptr) || !first.HasReplyData())
        traceAndThrow(BaseException("TOLMCalls", __LINE__, "getCabNrs(): request() failed"));
    const unsigned server = replyNumber(first);
    trace(1, "Tolm::getCabNrs(): ServerCabinetNr=%x", server);
    std::vector<unsigned int> cabinets{server};

    SipJson second(0x0220, 0, 0, server, SipJson::kNoStatus);
    std::vector<unsigned char> data;
    if (!ask(second, "getCabNrs", Check::Data) || !second.GetCmdDataStream(cmdIndex(second), data) ||
        data.size() % 2 != 0)
        data.clear();
    trace(1, "Tolm::getCabNrs(): NumDetectedSECabinets=%d", static_cast<int>(data.size() / 2));
    for (size_t at = 0; at < data.size(); at += 2) {
        cabinets.push_back(le16(data, at));
        trace(1, "Tolm::getCabNrs(): seCabinetNr=%x", cabinets.back());
    }
    return cabinets;
}

// Lower and upper threshold as signed 16-bit little-endian numbers; a reply
// of one to three bytes throws out_of_range.
std::vector<int> Tolm::getVoltageThresholds(const TOLMKey& key) {
    trace(5, "Tolm::getVoltageThresholds(cabNr=%x, objId=%x)", key.cabNr, key.objId);
    SipJson sip(0x0523, 0, key.objId, key.cabNr, SipJson::kNoStatus);
    std::vector<unsigned char> data;
    if (!ask(sip, "getVoltageThresholds", Check::Data) || !sip.GetCmdDataStream(cmdIndex(sip), data) ||
        data.empty())
        return {};
    return {static_cast<int16_t>(le16(data, 0)), static_cast<int16_t>(le16(data, 2))};
}

// The component's PCI address (bus, device, function in bits 16-23, 8-15,
// 0-7 of objId) as the agent's address text; all three 0xFF address none.
PUInt Tolm::getDrvMonComponentStatusByAddress(const TOLMKey& key) {
    trace(5, "Tolm::getDrvMonComponentStatusByAddress()");
    const unsigned bus = key.objId >> 16 & 0xFF, device = key.objId >> 8 & 0xFF, function = key.objId & 0xFF;
    char address[48] = "";
    if (bus != 0xFF || device != 0xFF || function != 0xFF)
        std::snprintf(address, sizeof address, "TYPE_PCI&BUS_%u&DEV_%u&FUNC_%u", bus, device, function);
    SipJson sip(0x1808, 0, 0, key.cabNr, SipJson::kNoStatus);
    sip.SetReplyDataString(address, 0);
    PUInt result;
    if (ask(sip, "getDrvMonComponentStatusByAddress", Check::Data)) decodeNumber(sip, 0xFFu, result);
    return result;
}

}  // namespace

ShPtr<TOLMCalls> newTOLMCalls(const cimple::String& clientName) {
    return ShPtr<TOLMCalls>(new Tolm(clientName));
}

ShPtr<TOLMCalls> newTOLMCalls(const ShPtr<CimSwitchClient>& client) {
    return ShPtr<TOLMCalls>(new Tolm(client));
}

}  // namespace provider
