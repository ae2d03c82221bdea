#include "Scenario.h"

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace rqbdsim {

using rapidjson::Value;
using Alloc = rapidjson::Document::AllocatorType;

namespace {

// Largest text that still fits a record's 16-bit length with header and NUL.
constexpr size_t kMaxRecordText = 0xFFFF - 17;

uint32_t memberOr(const Value& cmd, const char* name, uint32_t fallback) {
    auto it = cmd.FindMember(name);
    if (it == cmd.MemberEnd()) return fallback;
    if (it->value.IsUint64()) return static_cast<uint32_t>(it->value.GetUint64());
    if (it->value.IsInt64()) return static_cast<uint32_t>(it->value.GetInt64());
    return fallback;
}

// The request's data as one unsigned value (number, or RAW bytes little-endian).
bool requestValue(const Value& cmd, uint32_t& out) {
    auto it = cmd.FindMember("DA");
    if (it == cmd.MemberEnd()) return false;
    const Value& da = it->value;
    if (da.IsUint64()) {
        out = static_cast<uint32_t>(da.GetUint64());
        return true;
    }
    if (da.IsInt64()) {
        out = static_cast<uint32_t>(da.GetInt64());
        return true;
    }
    if (da.IsObject() && da.HasMember("RAW") && da["RAW"].IsArray()) {
        const Value& raw = da["RAW"];
        uint32_t v = 0;
        for (rapidjson::SizeType i = 0; i < raw.Size() && i < 4; ++i) {
            if (!raw[i].IsUint()) return false;
            v |= (raw[i].GetUint() & 0xFF) << (8 * i);
        }
        out = v;
        return raw.Size() > 0;
    }
    return false;
}

const Value& member(const Value& obj, const char* name) {
    static const Value null;
    auto it = obj.FindMember(name);
    return it == obj.MemberEnd() ? null : it->value;
}

std::string readString(const Value& v, const std::string& what) {
    if (!v.IsString()) throw ScenarioError(what + ": expected a string");
    return std::string(v.GetString(), v.GetStringLength());
}

std::vector<std::string> readStrings(const Value& v, const std::string& what) {
    if (!v.IsArray()) throw ScenarioError(what + ": expected an array of strings");
    std::vector<std::string> out;
    for (const Value& s : v.GetArray()) out.push_back(readString(s, what));
    return out;
}

template <typename T>
T readBounded(const Value& v, const std::string& what, uint64_t max) {
    uint64_t n = readNumber(v, what.c_str());
    if (n > max) throw ScenarioError(what + ": value " + std::to_string(n) + " out of range");
    return static_cast<T>(n);
}

template <typename T>
T optionalBounded(const Value& obj, const char* name, const std::string& where, uint64_t max, T fallback) {
    const Value& v = member(obj, name);
    return v.IsNull() ? fallback : readBounded<T>(v, where + "." + name, max);
}

void setString(Value& reply, const char* name, const std::string& text, Alloc& alloc) {
    reply.AddMember(rapidjson::StringRef(name),
                    Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), alloc), alloc);
}

void setStrings(Value& reply, const std::vector<std::string>& list, Alloc& alloc) {
    Value array(rapidjson::kArrayType);
    for (const auto& s : list)
        array.PushBack(Value(s.c_str(), static_cast<rapidjson::SizeType>(s.size()), alloc), alloc);
    reply.AddMember("DA", array, alloc);
}

void setRaw(Value& reply, const std::vector<uint8_t>& bytes, Alloc& alloc) {
    Value raw(rapidjson::kArrayType);
    raw.Reserve(static_cast<rapidjson::SizeType>(bytes.size()), alloc);
    for (uint8_t b : bytes) raw.PushBack(Value(static_cast<unsigned>(b)), alloc);
    Value da(rapidjson::kObjectType);
    da.AddMember("RAW", raw, alloc);
    reply.AddMember("DA", da, alloc);
}

void putLe(std::vector<uint8_t>& out, size_t at, uint32_t value, int width) {
    for (int i = 0; i < width; ++i) out[at + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}

}  // namespace

uint64_t readNumber(const Value& value, const char* what) {
    if (value.IsUint64()) return value.GetUint64();
    if (value.IsString()) {
        const char* s = value.GetString();
        if (*s && *s != '-' && *s != '+' && *s != ' ') {
            char* end = nullptr;
            errno = 0;
            unsigned long long n = std::strtoull(s, &end, 0);
            if (errno == 0 && end && *end == '\0') return n;
        }
    }
    throw ScenarioError(std::string(what) + ": expected a non-negative number or a numeric string");
}

std::string toJson(const Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

uint32_t Scenario::packMessageCode(uint16_t n) {
    return ((static_cast<uint32_t>(n) << 8) & 0xFF0000) | (n & 0xFF);
}

std::vector<uint8_t> Scenario::encodeRecord(const LogEntry& e) {
    const size_t textLength = e.text.size() < kMaxRecordText ? e.text.size() : kMaxRecordText;
    std::vector<uint8_t> r(16 + textLength + 1, 0);
    putLe(r, 0, static_cast<uint32_t>(r.size()), 2);
    r[3] = e.severity;
    putLe(r, 4, e.messageNumber, 2);
    r[6] = e.attributes;
    putLe(r, 8, static_cast<uint32_t>(e.time), 4);
    putLe(r, 12, e.number, 4);
    std::copy(e.text.begin(), e.text.begin() + textLength, r.begin() + 16);
    return r;
}

std::vector<uint8_t> Scenario::encodeArguments(uint32_t number, const std::vector<std::string>& args) {
    // Bytes 0..24 are a header whose only filled field is the entry number;
    // the argument count sits at 25 and the strings follow.
    std::vector<uint8_t> out(26, 0);
    putLe(out, 0, number, 4);
    out[25] = static_cast<uint8_t>(args.size() > 255 ? 255 : args.size());
    for (size_t i = 0; i < out[25]; ++i) {
        out.insert(out.end(), args[i].begin(), args[i].end());
        out.push_back(0);
    }
    return out;
}

const LogEntry* Scenario::findLogEntry(uint32_t number) const {
    auto it = log_.find(number);
    return it == log_.end() ? nullptr : &it->second;
}

void Scenario::upsertLogEntry(const LogEntry& entry) { log_[entry.number] = entry; }

const std::string* Scenario::raidEvent(const std::string& name) const {
    auto it = raidEvents_.find(name);
    return it == raidEvents_.end() ? nullptr : &it->second;
}

Scenario Scenario::fromJson(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError()) {
        throw ScenarioError(std::string("scenario is not valid JSON at offset ") +
                            std::to_string(doc.GetErrorOffset()) + ": " +
                            rapidjson::GetParseError_En(doc.GetParseError()));
    }
    if (!doc.IsObject()) throw ScenarioError("scenario: the root must be an object");

    Scenario s;
    s.cabinet_ = optionalBounded<uint32_t>(doc, "cabinet", "scenario", 0xFFFFFFFF, 0);
    if (doc.HasMember("chassisSerialNumber"))
        s.serial_ = readString(doc["chassisSerialNumber"], "chassisSerialNumber");
    if (doc.HasMember("hostName")) s.hostName_ = readString(doc["hostName"], "hostName");
    const Value& time = member(doc, "systemTime");
    if (!time.IsNull() && !(time.IsString() && std::string(time.GetString()) == "now")) {
        s.timeNow_ = false;
        s.systemTime_ = readBounded<uint32_t>(time, "systemTime", 0xFFFFFFFF);
    }
    s.timeZone_ = optionalBounded<uint32_t>(doc, "timeZone", "scenario", 0xFF, 0);
    const Value& account = member(doc, "account");
    if (!account.IsNull()) {
        if (!account.IsObject()) throw ScenarioError("account: expected an object");
        s.accountCheck_ = optionalBounded<uint32_t>(account, "check", "account", 0xFF, 0);
        if (account.HasMember("userGroup"))
            s.userGroup_ = readString(account["userGroup"], "account.userGroup");
    }
    s.defaultStatus_ = optionalBounded<uint32_t>(doc, "defaultStatus", "scenario", 0xFFFFFFFF, 1);
    s.chunkSize_ = optionalBounded<uint32_t>(doc, "chunkSize", "scenario", 1000, 4);
    if (s.chunkSize_ == 0) throw ScenarioError("chunkSize: must be at least 1");
    if (doc.HasMember("systemLogCount")) {
        s.hasLogCount_ = true;
        s.logCount_ = readBounded<uint32_t>(doc["systemLogCount"], "systemLogCount", 0xFFFFFFFF);
    }
    if (doc.HasMember("driverMonitorCount")) {
        s.hasDrvMonCount_ = true;
        s.drvMonCount_ = readBounded<uint32_t>(doc["driverMonitorCount"], "driverMonitorCount", 0xFFFFFFFF);
    }

    const Value& log = member(doc, "systemLog");
    if (!log.IsNull()) {
        if (!log.IsArray()) throw ScenarioError("systemLog: expected an array");
        for (rapidjson::SizeType i = 0; i < log.Size(); ++i) {
            const std::string where = "systemLog[" + std::to_string(i) + "]";
            const Value& e = log[i];
            if (!e.IsObject() || !e.HasMember("number"))
                throw ScenarioError(where + ": expected an object with a number");
            LogEntry entry;
            entry.number = readBounded<uint32_t>(e["number"], where + ".number", 0xFFFFFFFF);
            entry.severity = optionalBounded<uint8_t>(e, "severity", where, 0xFF, 0);
            entry.messageNumber = optionalBounded<uint16_t>(e, "messageNumber", where, 0xFFFF, 0);
            entry.attributes = optionalBounded<uint8_t>(e, "attributes", where, 0xFF, 0);
            entry.time = static_cast<int32_t>(optionalBounded<uint32_t>(e, "time", where, 0xFFFFFFFF, 0));
            if (e.HasMember("text")) entry.text = readString(e["text"], where + ".text");
            if (e.HasMember("args")) entry.args = readStrings(e["args"], where + ".args");
            s.log_[entry.number] = entry;
        }
    }

    const Value& texts = member(doc, "messageTexts");
    if (!texts.IsNull()) {
        if (!texts.IsArray()) throw ScenarioError("messageTexts: expected an array");
        for (rapidjson::SizeType i = 0; i < texts.Size(); ++i) {
            const std::string where = "messageTexts[" + std::to_string(i) + "]";
            const Value& t = texts[i];
            if (!t.IsObject() || !t.HasMember("messageNumber"))
                throw ScenarioError(where + ": expected an object with a messageNumber");
            MessageTexts m;
            uint16_t n = readBounded<uint16_t>(t["messageNumber"], where + ".messageNumber", 0xFFFF);
            if ((m.hasResolution = t.HasMember("resolution")))
                m.resolution = readStrings(t["resolution"], where + ".resolution");
            if ((m.hasCause = t.HasMember("cause"))) m.cause = readStrings(t["cause"], where + ".cause");
            if ((m.hasSummary = t.HasMember("summary")))
                m.summary = readString(t["summary"], where + ".summary");
            s.texts_[packMessageCode(n)] = m;
        }
    }

    const Value& drv = member(doc, "driverMonitor");
    if (!drv.IsNull()) {
        if (!drv.IsArray()) throw ScenarioError("driverMonitor: expected an array");
        for (rapidjson::SizeType i = 0; i < drv.Size(); ++i) {
            const std::string where = "driverMonitor[" + std::to_string(i) + "]";
            const Value& e = drv[i];
            if (!e.IsObject() || !e.HasMember("number"))
                throw ScenarioError(where + ": expected an object with a number");
            DriverMonitorEntry d;
            d.number = readBounded<uint32_t>(e["number"], where + ".number", 0xFFFFFFFF);
            d.time = optionalBounded<uint32_t>(e, "time", where, 0xFFFFFFFF, 0);
            d.severity = optionalBounded<uint32_t>(e, "severity", where, 0xFFFFFFFF, 0);
            d.id = optionalBounded<uint32_t>(e, "id", where, 0xFFFFFFFF, 0);
            d.component = optionalBounded<uint32_t>(e, "component", where, 0xFFFFFFFF, 0);
            if (e.HasMember("text")) d.text = readString(e["text"], where + ".text");
            s.drvMon_[d.number] = d;
        }
    }

    const Value& raid = member(doc, "raidEvents");
    if (!raid.IsNull()) {
        if (!raid.IsObject()) throw ScenarioError("raidEvents: expected an object of named event documents");
        for (auto& m : raid.GetObject()) {
            s.raidEvents_[m.name.GetString()] =
                m.value.IsString() ? readString(m.value, "") : toJson(m.value);
        }
    }

    const Value& replies = member(doc, "replies");
    if (!replies.IsNull()) {
        if (!replies.IsArray()) throw ScenarioError("replies: expected an array");
        for (rapidjson::SizeType i = 0; i < replies.Size(); ++i) {
            const std::string where = "replies[" + std::to_string(i) + "]";
            const Value& r = replies[i];
            if (!r.IsObject() || !r.HasMember("OC"))
                throw ScenarioError(where + ": expected an object with OC");
            TableReply t;
            t.oc = readBounded<uint32_t>(r["OC"], where + ".OC", 0xFFFFFFFF);
            if ((t.hasOe = r.HasMember("OE")))
                t.oe = readBounded<uint32_t>(r["OE"], where + ".OE", 0xFFFFFFFF);
            if ((t.hasCa = r.HasMember("CA")))
                t.ca = readBounded<uint32_t>(r["CA"], where + ".CA", 0xFFFFFFFF);
            if (r.HasMember("OI")) {
                // Object indices of RAID commands are matched as written;
                // plain ones as the number they denote.
                const Value& oi = r["OI"];
                t.oi = oi.IsObject() ? toJson(oi)
                                     : std::to_string(readBounded<uint32_t>(oi, where + ".OI", 0xFFFFFFFF));
            }
            t.st = optionalBounded<uint32_t>(r, "ST", where, 0xFFFFFFFF, 0);
            if (r.HasMember("DA")) t.da = toJson(r["DA"]);
            s.table_.push_back(std::move(t));
        }
    }
    return s;
}

const TableReply* Scenario::findTableReply(const Value& request) const {
    const uint32_t oc = memberOr(request, "OC", 0);
    const uint32_t oe = memberOr(request, "OE", 0);
    const uint32_t ca = memberOr(request, "CA", 0);
    std::string oi = "0";
    auto it = request.FindMember("OI");
    if (it != request.MemberEnd())
        oi = it->value.IsObject() ? toJson(it->value) : std::to_string(memberOr(request, "OI", 0));
    for (const TableReply& t : table_) {
        if (t.oc != oc) continue;
        if (t.hasOe && t.oe != oe) continue;
        if (t.hasCa && t.ca != ca) continue;
        if (!t.oi.empty() && t.oi != oi) continue;
        return &t;
    }
    return nullptr;
}

void Scenario::answer(const Value& request, Value& reply, Alloc& alloc) const {
    reply.SetObject();
    for (const char* name : {"OC", "OE", "OI", "CA"}) {
        auto it = request.FindMember(name);
        if (it != request.MemberEnd())
            reply.AddMember(rapidjson::StringRef(name), Value(it->value, alloc), alloc);
    }
    if (const TableReply* t = findTableReply(request)) {
        reply.AddMember("ST", Value(t->st), alloc);
        if (!t->da.empty()) {
            rapidjson::Document da(&alloc);
            da.Parse(t->da.c_str(), t->da.size());
            reply.AddMember("DA", Value(da, alloc), alloc);
        }
        return;
    }
    if (!answerBuiltIn(request, reply, alloc)) reply.AddMember("ST", Value(defaultStatus_), alloc);
}

bool Scenario::answerBuiltIn(const Value& request, Value& reply, Alloc& alloc) const {
    const uint32_t oc = memberOr(request, "OC", 0);
    const uint32_t oe = memberOr(request, "OE", 0);
    const uint32_t oi = memberOr(request, "OI", 0);
    const uint32_t ca = memberOr(request, "CA", 0);
    auto ok = [&]() { reply.AddMember("ST", Value(0u), alloc); };
    auto number = [&](uint32_t v) {
        ok();
        reply.AddMember("DA", Value(v), alloc);
        return true;
    };
    auto text = [&](const std::string& t) {
        ok();
        setString(reply, "DA", t, alloc);
        return true;
    };

    // The server's own cabinet number is asked before the caller knows it.
    if (oc == kOpCabinetNumber) return number(cabinet_);
    if (!cabinetMatches(ca)) return false;

    switch (oc) {
        case kOpHostName:
            return text(hostName_);
        case kOpSystemTime:
            return number(timeNow_ ? static_cast<uint32_t>(std::time(nullptr)) : systemTime_);
        case kOpReadConfig:
            if (oe == kConfTimeZone) return number(timeZone_);
            if (oe == kConfAccountCheck) return number(accountCheck_);
            if (oe == kConfUserGroup) return text(userGroup_);
            return false;
        case kOpSystemInfo:
            if (oe == kItemChassisSerial && oi == 0) return text(serial_);
            return false;
        case kOpLogNrEntries:
            return number(hasLogCount_ ? logCount_ : (log_.empty() ? 0 : log_.rbegin()->first + 1));
        case kOpDrvMonNrEvents:
            return number(hasDrvMonCount_ ? drvMonCount_
                                          : (drvMon_.empty() ? 0 : drvMon_.rbegin()->first + 1));
        case kOpLogReadChunk: {
            uint32_t first = 0;
            if (oi != 0 || !requestValue(request, first)) return false;
            // A chunk starts at the asked entry and runs on through the newer ones.
            std::vector<uint8_t> data;
            uint32_t count = 0;
            for (auto it = log_.lower_bound(first); it != log_.end() && count < chunkSize_; ++it, ++count) {
                auto record = encodeRecord(it->second);
                data.insert(data.end(), record.begin(), record.end());
            }
            if (count == 0) return false;
            ok();
            setRaw(reply, data, alloc);
            return true;
        }
        case kOpLogResolution:
        case kOpLogCause:
        case kOpLogSummary: {
            uint32_t code = 0;
            if (oi != 0 || !requestValue(request, code)) return false;
            auto it = texts_.find(code);
            if (it == texts_.end()) return false;
            const MessageTexts& m = it->second;
            if (oc == kOpLogSummary) return m.hasSummary && text(m.summary);
            const bool has = oc == kOpLogResolution ? m.hasResolution : m.hasCause;
            if (!has) return false;
            ok();
            setStrings(reply, oc == kOpLogResolution ? m.resolution : m.cause, alloc);
            return true;
        }
        case kOpDrvMonText:
        case kOpDrvMonSeverity:
        case kOpDrvMonId:
        case kOpDrvMonComponent:
        case kOpDrvMonTimestamp: {
            auto it = drvMon_.find(oi);
            if (it == drvMon_.end()) return false;
            const DriverMonitorEntry& d = it->second;
            switch (oc) {
                case kOpDrvMonText:
                    return text(d.text);
                case kOpDrvMonSeverity:
                    return number(d.severity);
                case kOpDrvMonId:
                    return number(d.id);
                case kOpDrvMonComponent:
                    return number(d.component);
                default:
                    return number(d.time);
            }
        }
        default:
            return false;
    }
}

}  // namespace rqbdsim
