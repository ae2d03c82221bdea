// Tolm, the one implementation of TOLMCalls: every operation is one request
// to the agent through the CIM switch client, and the agent's events come back
// through onEvent.
//
// The operations are generated from TOLMCalls.def. Each family's body is
// written once below (QMS_TOLM_DEFINE_<family>); a row whose behaviour is its
// own is marked LONGHAND there and written out after the families.
#include "tolm/TOLMCalls.h"

#include <algorithm>
#include <cstdint>
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

unsigned long long replyNumber64(const SipJson& sip) {
    // GetCmdUIntData stops at 32 bits; the byte form keeps all of them.
    std::vector<unsigned char> bytes;
    if (!sip.GetCmdDataStream(cmdIndex(sip), bytes)) return 0;
    unsigned long long value = 0;
    for (size_t i = bytes.size() < 8 ? bytes.size() : 8; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

cimple::String replyText(const SipJson& sip) {
    std::string text;
    sip.GetCmdDataString(cmdIndex(sip), text, 0);
    return STDSTRINGToString(text);
}

// One result type each: how a number reply fills it. mask cuts a byte item.
void decodeNumber(const SipJson& sip, unsigned mask, PUInt& out) { out.set(replyNumber(sip) & mask); }
void decodeNumber(const SipJson& sip, unsigned mask, PUChar& out) {
    out.set(static_cast<unsigned char>(replyNumber(sip) & mask));
}
void decodeNumber(const SipJson& sip, unsigned mask, PBool& out) { out.set((replyNumber(sip) & mask) != 0); }
void decodeNumber(const SipJson& sip, unsigned, PUInt64& out) { out.set(replyNumber64(sip)); }
void decodeNumber(const SipJson& sip, unsigned, PDatetime& out) {
    out.set(toDatetime(static_cast<long>(replyNumber(sip))));
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
    size_t stop = begin;
    while (stop < end && data[stop] != 0) ++stop;
    if (next) *next = stop + 1;
    return cimple::String(reinterpret_cast<const char*>(data.data() + begin), stop - begin);
}

uint32_t le16(const std::vector<unsigned char>& data, size_t at) {
    return static_cast<uint32_t>(data.at(at)) | static_cast<uint32_t>(data.at(at + 1)) << 8;
}
uint32_t le32(const std::vector<unsigned char>& data, size_t at) {
    return le16(data, at) | le16(data, at + 2) << 16;
}

using CardCache = std::map<uint32_t, std::map<uint32_t, cimple::String>>;

class Tolm : public TOLMCalls, public ThreadedSwitchClient::EventListener {
public:
    explicit Tolm(const cimple::String& clientName);
    ~Tolm() override;

    void onEvent(SipJson& message) override;

#define QMS_TOLM(family, name, Result, params, opcode, oe, oi, ca, traceStyle) Result name params override;
#include "tolm/TOLMCalls.def"

private:
    // Sends sip; a failed request is traced with name and answers false, a
    // reply that fails check answers false without a trace.
    bool ask(SipJson& sip, const char* name, Check check);

    template <class Result>
    Result readNumber(const char* name, unsigned oc, unsigned oe, unsigned oi, unsigned ca, Check check,
                      unsigned mask = 0xFFFFFFFFu);
    PString readText(const char* name, unsigned oc, unsigned oe, unsigned oi, unsigned ca, Check check);
    PString readSystemInfoString(const char* name, unsigned item, unsigned index, unsigned cabNr);
    PStrings readMultiString(const char* name, unsigned oc, const TOLMKey& key, int messageCode);

    ShPtr<CimSwitchClient> client;
    TOLMEventsListener* listener = nullptr;
    // Controller-card information, filled by the controller-card session.
    CardCache cardInfo;
    CardCache cardLocation;
    CardCache cardComponent;
    CardCache cardController;
};

Tolm::Tolm(const cimple::String& clientName) : client(newCimSwitchClient(clientName, this)) {
    trace(5, "Tolm::Tolm()");
}

Tolm::~Tolm() {
    trace(5, "Tolm::~Tolm()");
    cardInfo.clear();
    cardLocation.clear();
    cardComponent.clear();
    cardController.clear();
    // client goes last: its destruction stops the threads that call back here.
}

bool Tolm::ask(SipJson& sip, const char* name, Check check) {
    // The client answers the reply's status; the statuses the agent uses for
    // a valid answer (12, 21, 255 besides 0) are left to the reply checks, so
    // that a reply with status 12 and data still counts.
    if (!acceptedStatus(client->request(sip, nullptr))) {
        trace(1, "%s(): request() failed", name);
        return false;
    }
    return passes(sip, check);
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
    return readText(name, 0x0C00, item, index, cabNr, Check::Status);
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

// The families below arrive with the query families. Until then each member
// answers its family's failure result and says so at level 1; the key-use
// columns are evaluated so that the rows keep compiling against their
// parameters.
#define QMS_TOLM_PENDING_BEGIN(name, params, opcode, oe, oi, ca, traceStyle) \
    QMS_TOLM_ENTRY_##traceStyle(name);                                       \
    (void)(opcode), (void)(oe), (void)(oi), (void)(ca);                      \
    trace(1, "%s(): not implemented", QMS_TOLM_NAME_##traceStyle(name))

// Answer null, empty, false or nothing.
#define QMS_TOLM_PENDING_RESULT(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                        \
        QMS_TOLM_PENDING_BEGIN(name, params, opcode, oe, oi, ca, traceStyle);         \
        return Result();                                                              \
    }
// Throw, as their requests do when they fail.
#define QMS_TOLM_PENDING_THROW(name, Result, params, opcode, oe, oi, ca, traceStyle)                       \
    Result Tolm::name params {                                                                             \
        QMS_TOLM_PENDING_BEGIN(name, params, opcode, oe, oi, ca, traceStyle);                              \
        traceAndThrow(                                                                                     \
            BaseException("TOLMCalls", __LINE__, QMS_TOLM_NAME_##traceStyle(name) "(): not implemented")); \
    }

#define QMS_TOLM_DEFINE_LOG_ONLY QMS_TOLM_PENDING_RESULT        // system message log only
#define QMS_TOLM_DEFINE_NAMED_COMMAND QMS_TOLM_PENDING_RESULT   // failure trace names the command
#define QMS_TOLM_DEFINE_STATUS_THROW QMS_TOLM_PENDING_THROW     // status reads that throw
#define QMS_TOLM_DEFINE_STATUS_TRACE QMS_TOLM_PENDING_RESULT    // status reads that trace and go on
#define QMS_TOLM_DEFINE_TEXT_OUT QMS_TOLM_PENDING_RESULT        // string into an argument
#define QMS_TOLM_DEFINE_ELEMENT_INFO QMS_TOLM_PENDING_RESULT    // element information by class
#define QMS_TOLM_DEFINE_CONF_BY_OBJECT QMS_TOLM_PENDING_RESULT  // configuration items chosen by objId
#define QMS_TOLM_DEFINE_CONF_STRING QMS_TOLM_PENDING_RESULT     // configuration strings
#define QMS_TOLM_DEFINE_IP_ADDRESS QMS_TOLM_PENDING_RESULT      // address bytes
#define QMS_TOLM_DEFINE_MAC_ADDRESS QMS_TOLM_PENDING_RESULT     // MAC address text
#define QMS_TOLM_DEFINE_WRITE_BYTE QMS_TOLM_PENDING_THROW       // configuration writes
#define QMS_TOLM_DEFINE_WRITE_TEXT QMS_TOLM_PENDING_THROW
#define QMS_TOLM_DEFINE_WRITE_NUMBER QMS_TOLM_PENDING_THROW
#define QMS_TOLM_DEFINE_WRITE_CHECKED QMS_TOLM_PENDING_RESULT  // writes answering bool
#define QMS_TOLM_DEFINE_ACTION QMS_TOLM_PENDING_RESULT         // actions: false
#define QMS_TOLM_DEFINE_STRUCTURED QMS_TOLM_PENDING_RESULT     // structured reads
#define QMS_TOLM_DEFINE_STRUCTURED_THROW QMS_TOLM_PENDING_THROW
// RAID rebuild methods answer the agent's error code, 10 when not asked.
#define QMS_TOLM_DEFINE_REBUILD(name, Result, params, opcode, oe, oi, ca, traceStyle) \
    Result Tolm::name params {                                                        \
        QMS_TOLM_PENDING_BEGIN(name, params, opcode, oe, oi, ca, traceStyle);         \
        return 10;                                                                    \
    }

// Pending members leave most parameters unread.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define QMS_TOLM(family, name, Result, params, opcode, oe, oi, ca, traceStyle) \
    QMS_TOLM_DEFINE_##family(name, Result, params, opcode, oe, oi, ca, traceStyle)
#include "tolm/TOLMCalls.def"
#pragma GCC diagnostic pop

// ---------------------------------------------------------------------------
// Core operations.

TOLMEventsListener* Tolm::setListener(TOLMEventsListener* el) {
    trace(5, "Tolm::setListener(%p): el=%p", static_cast<void*>(el), static_cast<void*>(listener));
    TOLMEventsListener* previous = listener;
    listener = el;
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
    TOLMEventsListener* const el = listener;
    if (!el) {
        trace(1, "Tolm::onEvent(): TOLMEventsListener not set");
        return;
    }

    if (opcode == kEventSystemLogEntry || opcode == kEventDriverMonitorEntry) {
        unsigned seqNr = 0;
        message.GetCmdUIntData(index, seqNr);
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

    // Walk the records. A length running past the data makes the next header
    // read throw out_of_range; a length of 0 could not advance, so the walk
    // ends there with the records before it.
    std::vector<size_t> starts;
    uint32_t remaining = static_cast<uint32_t>(data.size());
    size_t at = 0;
    while (remaining > kLogRecordHeader) {
        const uint32_t length = le16(data, at);
        if (length == 0) break;
        starts.push_back(at);
        remaining -= length;
        at += length;
    }
    if (starts.empty()) return 0;

    entries.resize(starts.size());
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t start = starts[i];
        const size_t end = std::min(data.size(), start + le16(data, start));
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
    if (!acceptedStatus(client->request(sip, nullptr)) || !sip.HasReplyData())
        traceAndThrow(BaseException("TOLMCalls", 3150, "getIdentificationCabinetNumber(): request() failed"));
    return replyNumber(sip);
}

}  // namespace

ShPtr<TOLMCalls> newTOLMCalls(const cimple::String& clientName) {
    return ShPtr<TOLMCalls>(new Tolm(clientName));
}

}  // namespace provider
