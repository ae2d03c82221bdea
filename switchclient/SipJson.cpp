#include "switchclient/SipJson.h"

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using rapidjson::SizeType;
using rapidjson::Value;

constexpr size_t kParseStackCapacity = 128;
constexpr size_t kTextBufferCapacity = 256;

// The low byte of a RAW element. Elements are expected to be 0..255; a
// negative, floating or non-number element is corrupt and reads as 0 rather
// than as some arbitrary conversion of it.
unsigned char RawByte(const Value& element) {
    return element.IsUint64() ? static_cast<unsigned char>(element.GetUint64() & 0xFF) : 0;
}

// A RAW element as a 32-bit quantity for GetCmdUIntData, where a byte may
// legitimately carry more than 8 bits.
uint32_t RawWord(const Value& element) {
    if (element.IsUint64()) {
        return static_cast<uint32_t>(element.GetUint64());
    }
    if (element.IsInt64()) {
        return static_cast<uint32_t>(static_cast<uint64_t>(element.GetInt64()));
    }
    return 0;
}

size_t WidthOf(uint64_t value) {
    if (value <= 0xFF) {
        return 1;
    }
    if (value <= 0xFFFF) {
        return 2;
    }
    if (value <= 0xFFFFFFFFu) {
        return 4;
    }
    return 8;
}

const Value* FindRaw(const Value& data) {
    if (!data.IsObject()) {
        return nullptr;
    }
    Value::ConstMemberIterator raw = data.FindMember("RAW");
    return raw != data.MemberEnd() ? &raw->value : nullptr;
}

// Reads one number of a run of small unsigned numbers "d,d,...,d" that
// ends an array: 1 to 9 digits without a leading zero, so that it is one the
// reader would hand over as Uint. Returns the position behind it, or nullptr
// when at holds no such number.
const char* ReadRunNumber(const char* at, unsigned& value) {
    const char* p = at;
    value = 0;
    while (static_cast<unsigned>(*p - '0') <= 9) value = value * 10 + static_cast<unsigned>(*p++ - '0');
    const size_t digits = static_cast<size_t>(p - at);
    if (digits == 0 || digits > 9 || (digits > 1 && *at == '0')) return nullptr;
    return p;
}

// Reads the run of numbers that fills an array, from at (behind its '[') to
// its ']', handing each number to take. Returns the position of the ']', or
// nullptr when the text is no such run or take refused a number.
template <typename Take>
const char* ReadRun(const char* at, Take take) {
    for (;;) {
        unsigned value = 0;
        at = ReadRunNumber(at, value);
        if (at == nullptr || !take(value)) return nullptr;
        if (*at == ']') return at;
        if (*at != ',') return nullptr;
        ++at;
    }
}

// A character's digit value, or a value above 9 for any other character.
unsigned Digit(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; }

// Reads the run of bytes that fills a "RAW" array, "b,b,...,b" with every b a
// number 0..255 as the reader would hand it over as Uint (no leading zero),
// from at (behind the '[') into to, which it advances; to must have room for
// half as many bytes as the text has characters from at. Returns the position
// of the ']', or nullptr when the text is no such run. Thousands of bytes come
// in a log chunk: the digits are taken one by one rather than in a loop.
const char* ReadByteRun(const char* at, char*& to) {
    for (;;) {
        // The text ends in a NUL, so a character behind a digit can be read.
        unsigned value = Digit(at[0]);
        if (value > 9) return nullptr;
        const unsigned second = Digit(at[1]);
        if (second > 9) {
            at += 1;
        } else if (value == 0) {
            return nullptr;
        } else {
            const unsigned third = Digit(at[2]);
            if (third > 9) {
                value = value * 10 + second;
                at += 2;
            } else {
                value = value * 100 + second * 10 + third;
                if (value > 0xFF || Digit(at[3]) <= 9) return nullptr;
                at += 3;
            }
        }
        *to++ = static_cast<char>(value);
        if (*at != ',') return *at == ']' ? at : nullptr;
        ++at;
    }
}

// SAX filter in front of the document builder for received texts.
//
// It stops the parse once objects and arrays nest deeper than the limit.
//
// It reads the byte arrays of commands' "DA"."RAW" (thousands of numbers for
// a log chunk) straight from the text into one block of the document's
// allocator, and hands the builder one string value over those bytes instead
// of an array of number values: building and copying the array was most of
// the cost of a large reply. Only arrays of numbers 0..255 written as the
// agent writes them qualify; any other "RAW" array is built as before, so a
// reader still sees every odd element as it is. SipJson tells the byte
// strings from texts by their place in the block.
//
// Other runs of small numbers that fill an array are handed to the builder
// straight from the text, as the reader would hand them over: the reader's
// general number parse costs most of a large array.
template <typename Handler>
class ReceivedTextFilter {
public:
    ReceivedTextFilter(Handler& next, rapidjson::StringStream& stream, const char* end)
        : m_Next(next), m_Stream(stream), m_End(end) {}

    // The block that holds the byte strings (nullptr when there are none).
    const char* RawBlock() const { return m_RawBlock; }
    size_t RawBlockSize() const { return m_RawBlockSize; }

    bool Null() { return Scalar() && m_Next.Null(); }
    bool Bool(bool b) { return Scalar() && m_Next.Bool(b); }
    bool Int(int i) { return Scalar() && m_Next.Int(i); }
    bool Uint(unsigned u) { return Scalar() && m_Next.Uint(u); }
    bool Int64(int64_t i) { return Scalar() && m_Next.Int64(i); }
    bool Uint64(uint64_t u) { return Scalar() && m_Next.Uint64(u); }
    bool Double(double d) { return Scalar() && m_Next.Double(d); }
    bool RawNumber(const char* s, SizeType length, bool copy) {
        return Scalar() && m_Next.RawNumber(s, length, copy);
    }
    bool String(const char* s, SizeType length, bool copy) {
        return Scalar() && m_Next.String(s, length, copy);
    }
    bool Key(const char* s, SizeType length, bool copy) {
        // The names of the steps of the way, by the level they lead to.
        static const char* const kSteps[kRawLevel + 1] = {nullptr, nullptr, "SIP", "CMD",
                                                          nullptr, "DA",    "RAW"};
        const char* const step = m_OnPath == m_Depth && m_Depth < kRawLevel ? kSteps[m_Depth + 1] : nullptr;
        m_StepKey = step != nullptr && length == std::strlen(step) && std::memcmp(s, step, length) == 0;
        return m_Next.Key(s, length, copy);
    }
    bool StartObject() { return Open(false) && m_Next.StartObject(); }
    bool EndObject(SizeType members) {
        Close();
        return m_Next.EndObject(members);
    }
    bool StartArray() {
        if (!Open(true)) return false;
        // The reader has taken the '['; what it would read next is ours.
        if (m_AtRaw && TakeRawBytes()) {
            m_TookBytes = true;
            return true;
        }
        if (!m_Next.StartArray()) return false;
        TakeRun();
        return true;
    }
    bool EndArray(SizeType elements) {
        Close();
        // Only the array just taken can end right here.
        if (m_TookBytes) {
            m_TookBytes = false;
            return true;
        }
        const SizeType taken = m_Taken;
        m_Taken = 0;
        return m_Next.EndArray(elements + taken);
    }

private:
    // The way to the bytes, by level: the root object (1), its "SIP" object,
    // that one's "CMD" array, an object in it (a command), the command's
    // "DA" object, and that one's "RAW" array (6).
    static constexpr unsigned kRawLevel = 6;

    bool Scalar() {
        m_StepKey = false;
        return true;
    }

    // Opens an object or array; false beyond the nesting limit.
    bool Open(bool array) {
        const unsigned level = ++m_Depth;
        const bool keyed = level != 1 && level != 4;
        const bool step = m_OnPath == level - 1 && level <= kRawLevel && m_StepKey == keyed &&
                          array == (level == 3 || level == kRawLevel);
        m_StepKey = false;
        m_AtRaw = step && level == kRawLevel;
        if (step && !m_AtRaw) m_OnPath = level;
        return level <= SipJson::kMaxNesting;
    }
    void Close() {
        if (m_OnPath == m_Depth) --m_OnPath;
        --m_Depth;
        m_AtRaw = false;
    }

    // Reads the numbers of the array just opened into the block and hands the
    // builder the string over them; false, with nothing handed over, when
    // they are not all bytes written as the agent writes them.
    bool TakeRawBytes() {
        if (m_RawBlock == nullptr) {
            // Every byte takes a digit and a ',' or ']' of the text: the rest
            // of the text bounds the bytes of all the arrays still to come.
            const size_t room = static_cast<size_t>(m_End - m_Stream.src_) / 2 + 2;
            if (room > std::numeric_limits<SizeType>::max()) return false;
            m_RawBlock = static_cast<char*>(m_Next.GetAllocator().Malloc(room));
            if (m_RawBlock == nullptr) return false;
            m_RawBlockSize = room;
            m_RawUsed = m_RawBlock;
        }
        // Every byte takes two characters or more, and a NUL follows the
        // bytes so that they end as a text does. The block was sized for
        // that, and this checks it once rather than at every byte.
        char* const first = m_RawUsed;
        const size_t room = static_cast<size_t>(m_RawBlock + m_RawBlockSize - first);
        if (room < static_cast<size_t>(m_End - m_Stream.src_) / 2 + 1) return false;
        char* to = first;
        const char* close = ReadByteRun(m_Stream.src_, to);
        if (close == nullptr) return false;
        *to = '\0';
        m_RawUsed = to + 1;
        m_Stream.src_ = close;
        return m_Next.String(first, static_cast<SizeType>(to - first), false);
    }

    void TakeRun() {
        // Checked whole first: a number on the builder's stack cannot be
        // taken back once the run turns out to be none.
        const char* close = ReadRun(m_Stream.src_, [](unsigned) { return true; });
        if (close == nullptr) return;
        SizeType taken = 0;
        ReadRun(m_Stream.src_, [&](unsigned value) {
            m_Next.Uint(value);
            ++taken;
            return true;
        });
        m_Stream.src_ = close;
        m_Taken = taken;
    }

    Handler& m_Next;
    rapidjson::StringStream& m_Stream;
    const char* m_End;
    unsigned m_Depth = 0;
    unsigned m_OnPath = 0;   // how many of the open levels, from the root, are on the way
    bool m_StepKey = false;  // the last key names the next step of the way
    bool m_AtRaw = false;    // the array just opened is a "RAW" on the way
    bool m_TookBytes = false;
    SizeType m_Taken = 0;
    char* m_RawBlock = nullptr;
    size_t m_RawBlockSize = 0;
    char* m_RawUsed = nullptr;
};

// Parses text (length characters, NUL-terminated) into doc with the default
// flags through the filter above; false on a syntax error or too deep a
// nesting (doc is then unspecified). block and blockSize receive the block of
// the byte strings.
bool ParseReceived(rapidjson::Document& doc, const char* text, size_t length, const char*& block,
                   size_t& blockSize) {
    bool parsed = false;
    auto generator = [&](rapidjson::Document& handler) {
        rapidjson::StringStream stream(text);
        ReceivedTextFilter<rapidjson::Document> filter(handler, stream, text + length);
        rapidjson::Reader reader;
        parsed = !reader.Parse(stream, filter).IsError();
        block = filter.RawBlock();
        blockSize = filter.RawBlockSize();
        return parsed;
    };
    doc.Populate(generator);
    return parsed;
}

// Hands a document to a writer with its byte strings (those inBlock knows)
// written as the arrays of numbers they stand for.
template <typename Writer, typename InBlock>
class RawWriter {
public:
    RawWriter(Writer& next, InBlock inBlock) : m_Next(next), m_InBlock(inBlock) {}

    bool Null() { return m_Next.Null(); }
    bool Bool(bool b) { return m_Next.Bool(b); }
    bool Int(int i) { return m_Next.Int(i); }
    bool Uint(unsigned u) { return m_Next.Uint(u); }
    bool Int64(int64_t i) { return m_Next.Int64(i); }
    bool Uint64(uint64_t u) { return m_Next.Uint64(u); }
    bool Double(double d) { return m_Next.Double(d); }
    bool RawNumber(const char* s, SizeType length, bool copy) { return m_Next.RawNumber(s, length, copy); }
    bool String(const char* s, SizeType length, bool copy) {
        if (!m_InBlock(s, length)) return m_Next.String(s, length, copy);
        if (!m_Next.StartArray()) return false;
        for (SizeType i = 0; i < length; ++i) {
            if (!m_Next.Uint(static_cast<unsigned char>(s[i]))) return false;
        }
        return m_Next.EndArray(length);
    }
    bool Key(const char* s, SizeType length, bool copy) { return m_Next.Key(s, length, copy); }
    bool StartObject() { return m_Next.StartObject(); }
    bool EndObject(SizeType members) { return m_Next.EndObject(members); }
    bool StartArray() { return m_Next.StartArray(); }
    bool EndArray(SizeType elements) { return m_Next.EndArray(elements); }

private:
    Writer& m_Next;
    InBlock m_InBlock;
};

}  // namespace

// ---------------------------------------------------------------------------

void CRapidJsonUtil::CopyValue(const Value& src, Value& dst, rapidjson::Document::AllocatorType& allocator) {
    if (src.IsObject()) {
        CopyObject(src, dst, allocator);
    } else if (src.IsArray()) {
        CopyArray(src, dst, allocator);
    } else if (src.IsString()) {
        dst.SetString(src.GetString(), src.GetStringLength(), allocator);
    } else {
        dst.CopyFrom(src, allocator);
    }
}

void CRapidJsonUtil::CopyObject(const Value& src, Value& dst, rapidjson::Document::AllocatorType& allocator) {
    dst.SetObject();
    if (!src.IsObject()) {
        return;
    }
    for (Value::ConstMemberIterator it = src.MemberBegin(); it != src.MemberEnd(); ++it) {
        Value name(it->name.GetString(), it->name.GetStringLength(), allocator);
        Value value;
        CopyValue(it->value, value, allocator);
        dst.AddMember(name, value, allocator);
    }
}

void CRapidJsonUtil::CopyArray(const Value& src, Value& dst, rapidjson::Document::AllocatorType& allocator) {
    dst.SetArray();
    if (!src.IsArray()) {
        return;
    }
    dst.Reserve(src.Size(), allocator);
    for (const Value& element : src.GetArray()) {
        Value copy;
        CopyValue(element, copy, allocator);
        dst.PushBack(copy, allocator);
    }
}

std::string CStringMapper::StringToUTF8(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

std::string CStringMapper::StringToUTF8(const char* text, size_t length) {
    return text != nullptr ? std::string(text, length) : std::string();
}

// ---------------------------------------------------------------------------

SipJson::SipJson() : m_Doc(nullptr, kParseStackCapacity) { BuildSkeleton(); }

SipJson::SipJson(unsigned oc, unsigned oe, unsigned oi, unsigned ca, unsigned st)
    : m_Doc(nullptr, kParseStackCapacity) {
    BuildSkeleton();
    SetCmd(GetCmd(), oc, oe, oi, ca, st);
}

void SipJson::BuildSkeleton() {
    rapidjson::Document::AllocatorType& allocator = m_Doc.GetAllocator();
    Value sip(rapidjson::kObjectType);
    sip.AddMember("V", Value(1u), allocator);
    sip.AddMember("CMD", Value(rapidjson::kArrayType), allocator);
    m_Doc.SetObject();
    m_Doc.AddMember("SIP", sip, allocator);
}

void SipJson::JsonInit() {
    // A fresh document, so the memory pool of the old content goes with it;
    // otherwise a reused message would grow with every reload.
    rapidjson::Document fresh(nullptr, kParseStackCapacity);
    m_Doc.Swap(fresh);
    m_RawBlock = nullptr;
    m_RawBlockSize = 0;
    BuildSkeleton();
}

Value& SipJson::GetCmd() {
    if (!m_Doc.IsObject() || !m_Doc.HasMember("SIP") || !m_Doc["SIP"].IsObject()) {
        JsonInit();
    }
    rapidjson::Document::AllocatorType& allocator = m_Doc.GetAllocator();
    Value& sip = m_Doc["SIP"];
    Value::MemberIterator cmd = sip.FindMember("CMD");
    if (cmd == sip.MemberEnd()) {
        sip.AddMember("CMD", Value(rapidjson::kArrayType), allocator);
        cmd = sip.FindMember("CMD");
    } else if (!cmd->value.IsArray()) {
        cmd->value.SetArray();
    }
    Value& commands = cmd->value;
    while (commands.Size() <= m_CmdIndex) {
        commands.PushBack(Value(rapidjson::kObjectType), allocator);
    }
    return commands[m_CmdIndex];
}

void SipJson::SetCmd(Value& command, unsigned oc, unsigned oe, unsigned oi, unsigned ca, unsigned st) {
    rapidjson::Document::AllocatorType& allocator = m_Doc.GetAllocator();
    command.SetObject();
    command.AddMember("OC", Value(oc), allocator);
    if (oe != 0) {
        command.AddMember("OE", Value(oe), allocator);
    }
    if (oi != 0) {
        command.AddMember("OI", Value(oi), allocator);
    }
    command.AddMember("CA", Value(ca), allocator);
    if (st != kNoStatus) {
        command.AddMember("ST", Value(st), allocator);
    }
}

Value* SipJson::EditableCmd() {
    Value& command = GetCmd();
    return command.IsObject() ? &command : nullptr;
}

void SipJson::SetMember(Value& object, const char* name, Value& value) {
    Value::MemberIterator member = object.FindMember(name);
    if (member != object.MemberEnd()) {
        member->value = value;  // moves
    } else {
        object.AddMember(Value(name, m_Doc.GetAllocator()), value, m_Doc.GetAllocator());
    }
}

void SipJson::RemoveCmdParam(const char* name) {
    Value* command = name != nullptr ? EditableCmd() : nullptr;
    if (command != nullptr) command->RemoveMember(name);
}

void SipJson::SetCmdParam(const char* name, unsigned value, const char* subName) {
    Value* command = name != nullptr ? EditableCmd() : nullptr;
    if (command == nullptr) {
        return;
    }
    rapidjson::Document::AllocatorType& allocator = m_Doc.GetAllocator();
    Value number(value);
    if (subName == nullptr || *subName == '\0') {
        SetMember(*command, name, number);
        return;
    }
    Value::MemberIterator member = command->FindMember(name);
    if (member != command->MemberEnd() && !member->value.IsObject()) {
        command->RemoveMember(member);
        member = command->MemberEnd();
    }
    if (member == command->MemberEnd()) {
        command->AddMember(Value(name, allocator), Value(rapidjson::kObjectType), allocator);
        member = command->FindMember(name);
    }
    member->value.AddMember(Value(subName, allocator), number, allocator);
}

void SipJson::SetDataUIntValue(unsigned value, unsigned status) {
    Value* command = EditableCmd();
    if (command == nullptr) {
        return;
    }
    Value data(value);
    Value st(status);
    SetMember(*command, "DA", data);
    SetMember(*command, "ST", st);
}

void SipJson::SetDataByte(unsigned char value, unsigned status) { SetDataUIntValue(value, status); }

void SipJson::SetReplyDataString(const char* text, unsigned status) {
    Value* command = EditableCmd();
    if (command == nullptr) {
        return;
    }
    Value data(text != nullptr ? text : "", m_Doc.GetAllocator());
    Value st(status);
    SetMember(*command, "DA", data);
    SetMember(*command, "ST", st);
}

void SipJson::SetDataRaw(const unsigned char* bytes, size_t length, unsigned status) {
    Value* command = EditableCmd();
    if (command == nullptr) {
        return;
    }
    rapidjson::Document::AllocatorType& allocator = m_Doc.GetAllocator();
    Value raw(rapidjson::kArrayType);
    if (bytes != nullptr) {
        raw.Reserve(static_cast<SizeType>(length), allocator);
        for (size_t i = 0; i < length; ++i) {
            raw.PushBack(Value(static_cast<unsigned>(bytes[i])), allocator);
        }
    }
    Value data(rapidjson::kObjectType);
    data.AddMember("RAW", raw, allocator);
    SetMember(*command, "DA", data);
    if (status != kNoStatus) {
        Value st(status);
        SetMember(*command, "ST", st);
    }
}

// ---------------------------------------------------------------------------

const Value* SipJson::FindCmd(int index) const {
    if (index < 0 || !m_Doc.IsObject()) {
        return nullptr;
    }
    Value::ConstMemberIterator sip = m_Doc.FindMember("SIP");
    if (sip == m_Doc.MemberEnd() || !sip->value.IsObject()) {
        return nullptr;
    }
    Value::ConstMemberIterator cmd = sip->value.FindMember("CMD");
    if (cmd == sip->value.MemberEnd() || !cmd->value.IsArray()) {
        return nullptr;
    }
    if (static_cast<SizeType>(index) >= cmd->value.Size()) {
        return nullptr;
    }
    const Value& command = cmd->value[static_cast<SizeType>(index)];
    return command.IsObject() ? &command : nullptr;
}

const Value* SipJson::FindData(int index) const {
    const Value* command = FindCmd(index);
    if (command == nullptr) {
        return nullptr;
    }
    Value::ConstMemberIterator data = command->FindMember("DA");
    return data != command->MemberEnd() ? &data->value : nullptr;
}

int SipJson::GetCmdDataType(int index) const {
    const Value* data = FindData(index);
    return data != nullptr ? static_cast<int>(data->GetType()) : 0;
}

size_t SipJson::GetCmdDataSize(int index) const {
    const Value* data = FindData(index);
    if (data == nullptr) {
        return 0;
    }
    switch (data->GetType()) {
        case rapidjson::kNumberType:
            // The parser marks every integer as 64-bit representable.
            return data->IsInt64() || data->IsUint64() ? 8 : 0;
        case rapidjson::kFalseType:
        case rapidjson::kTrueType:
            return 1;
        case rapidjson::kStringType:
            return static_cast<size_t>(data->GetStringLength()) + 1;
        case rapidjson::kObjectType: {
            const Value* raw = FindRaw(*data);
            const unsigned char* bytes = nullptr;
            size_t count = 0;
            if (raw != nullptr && GetRawBytes(*raw, bytes, count)) return count;
            return raw != nullptr && raw->IsArray() ? raw->Size() : 0;
        }
        case rapidjson::kArrayType: {
            if (data->Empty()) {
                return 0;
            }
            size_t size = 0;
            if ((*data)[0].IsString()) {
                for (const Value& element : data->GetArray()) {
                    size += element.IsString() ? static_cast<size_t>(element.GetStringLength()) + 1 : 0;
                }
                return size + 1;
            }
            if ((*data)[0].IsNumber()) {
                for (const Value& element : data->GetArray()) {
                    if (element.IsUint64()) {
                        size += WidthOf(element.GetUint64());
                    } else if (element.IsNumber()) {
                        size += 8;
                    }
                }
            }
            return size;
        }
        default:
            return 0;
    }
}

bool SipJson::GetCmdUIntData(int index, unsigned& out) const {
    const Value* data = FindData(index);
    if (data == nullptr) {
        return false;
    }
    switch (data->GetType()) {
        case rapidjson::kFalseType:
            out = 0;
            return true;
        case rapidjson::kTrueType:
            out = 1;
            return true;
        case rapidjson::kNumberType:
            if (data->IsUint()) {
                out = data->GetUint();
                return true;
            }
            if (data->IsInt()) {
                out = static_cast<unsigned>(data->GetInt());
                return true;
            }
            return false;
        case rapidjson::kObjectType: {
            const Value* raw = FindRaw(*data);
            const unsigned char* bytes = nullptr;
            size_t count = 0;
            if (raw != nullptr && !GetRawBytes(*raw, bytes, count) && raw->IsArray()) {
                count = raw->Size();
            }
            if (count == 0) {
                return false;
            }
            auto word = [&](SizeType i) { return bytes != nullptr ? bytes[i] : RawWord((*raw)[i]); };
            switch (count) {
                case 1:
                    out = word(0);
                    break;
                case 2:
                    out = ((word(0) & 0xFF) | (word(1) << 8)) & 0xFFFF;
                    break;
                case 3:
                    // A 3-byte value is read as a 4-byte one whose high byte is 0.
                    out = word(0) + (word(1) << 8) + (word(2) << 16);
                    break;
                default:
                    out = word(0) + (word(1) << 8) + (word(2) << 16) + (word(3) << 24);
                    break;
            }
            return true;
        }
        default:
            return false;
    }
}

unsigned SipJson::GetCmdElemValue(int index, const char* name, unsigned defaultValue) const {
    const Value* command = FindCmd(index);
    if (command == nullptr || name == nullptr) {
        return defaultValue;
    }
    Value::ConstMemberIterator member = command->FindMember(name);
    if (member == command->MemberEnd()) {
        return defaultValue;
    }
    const Value& value = member->value;
    if (value.IsUint64()) {
        return static_cast<unsigned>(value.GetUint64());
    }
    if (value.IsInt64()) {
        return static_cast<unsigned>(static_cast<uint64_t>(value.GetInt64()));
    }
    if (value.IsString()) {
        const char* text = value.GetString();
        const size_t length = std::strlen(text);
        unsigned long long parsed;
        if (length > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            parsed = std::strtoull(text + 2, nullptr, 16);
        } else if (length >= 2 && text[0] == '0') {
            parsed = std::strtoull(text + 1, nullptr, 8);
        } else {
            parsed = std::strtoull(text, nullptr, 10);
        }
        return static_cast<unsigned>(parsed);
    }
    return defaultValue;
}

bool SipJson::GetCmdDataString(int index, std::string& out, size_t offset) const {
    const Value* data = FindData(index);
    if (data == nullptr) {
        return false;
    }
    switch (data->GetType()) {
        case rapidjson::kStringType:
            if (offset != 0) {
                return false;
            }
            out.assign(data->GetString(), data->GetStringLength());
            return true;
        case rapidjson::kNullType:
            out.clear();
            return true;
        case rapidjson::kObjectType: {
            out.clear();
            const Value* raw = FindRaw(*data);
            const unsigned char* bytes = nullptr;
            size_t count = 0;
            if (raw != nullptr && GetRawBytes(*raw, bytes, count)) {
                if (count <= offset) {
                    return false;
                }
                const unsigned char* const from = bytes + offset;
                const void* const nul = std::memchr(from, 0, count - offset);
                const size_t length = nul != nullptr
                                          ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - from)
                                          : count - offset;
                out.assign(reinterpret_cast<const char*>(from), length);
                return true;
            }
            if (raw == nullptr || !raw->IsArray() || raw->Size() <= offset || !(*raw)[0].IsUint64()) {
                return false;
            }
            for (SizeType i = static_cast<SizeType>(offset); i < raw->Size(); ++i) {
                const unsigned char byte = RawByte((*raw)[i]);
                if (byte == 0) {
                    break;
                }
                out.push_back(static_cast<char>(byte));
            }
            return true;
        }
        default:
            return false;
    }
}

bool SipJson::GetCmdDataStream(int index, std::vector<unsigned char>& out) const {
    const Value* data = FindData(index);
    if (data == nullptr) {
        return false;
    }
    switch (data->GetType()) {
        case rapidjson::kObjectType: {
            out.clear();
            const Value* raw = FindRaw(*data);
            const unsigned char* bytes = nullptr;
            size_t count = 0;
            if (raw != nullptr && GetRawBytes(*raw, bytes, count)) {
                out.assign(bytes, bytes + count);
                return true;
            }
            if (raw == nullptr || !raw->IsArray() || raw->Empty() || !(*raw)[0].IsUint64()) {
                return true;
            }
            out.resize(raw->Size());
            unsigned char* to = out.data();
            for (const Value& element : raw->GetArray()) {
                *to++ = RawByte(element);
            }
            return true;
        }
        case rapidjson::kArrayType: {
            out.clear();
            if (data->Empty() || !(*data)[0].IsString()) {
                return true;
            }
            for (const Value& element : data->GetArray()) {
                if (element.IsString()) {
                    const std::string text =
                        CStringMapper::StringToUTF8(element.GetString(), element.GetStringLength());
                    out.insert(out.end(), text.begin(), text.end());
                    out.push_back(0);
                }
            }
            out.push_back(0);
            return true;
        }
        case rapidjson::kStringType: {
            out.clear();
            const std::string text = CStringMapper::StringToUTF8(data->GetString(), data->GetStringLength());
            out.assign(text.begin(), text.end());
            out.push_back(0);
            return true;
        }
        case rapidjson::kNumberType: {
            if (!data->IsUint64()) {
                return false;
            }
            out.clear();
            uint64_t value = data->GetUint64();
            const size_t width = WidthOf(value);
            for (size_t i = 0; i < width; ++i) {
                out.push_back(static_cast<unsigned char>(value & 0xFF));
                value >>= 8;
            }
            return true;
        }
        default:
            return false;
    }
}

bool SipJson::GetCmdDataStruct(int index, CDataStruct& out) const {
    const Value* data = FindData(index);
    if (data == nullptr || !(data->IsObject() || data->IsArray())) {
        return false;
    }
    if (&out.Value() == data) {
        return true;
    }
    CRapidJsonUtil::CopyValue(*data, out.Value(), out.Allocator());
    if (data->IsObject()) {
        // The copy took byte strings as texts; they go back to arrays. The
        // copy holds the members in the same order.
        Value::MemberIterator to = out.Value().MemberBegin();
        for (Value::ConstMemberIterator from = data->MemberBegin(); from != data->MemberEnd(); ++from, ++to) {
            const unsigned char* bytes = nullptr;
            size_t count = 0;
            if (!GetRawBytes(from->value, bytes, count)) {
                continue;
            }
            to->value.SetArray();
            to->value.Reserve(static_cast<SizeType>(count), out.Allocator());
            for (size_t i = 0; i < count; ++i) {
                to->value.PushBack(Value(static_cast<unsigned>(bytes[i])), out.Allocator());
            }
        }
    }
    const Value& copy = out.Value();
    out.SetSingleObject(copy.IsObject() && copy.MemberCount() == 1 && copy.MemberBegin()->value.IsObject());
    return true;
}

bool SipJson::InRawBlock(const char* text, size_t length) const {
    if (m_RawBlock == nullptr || text == nullptr) {
        return false;
    }
    // Addresses compared as numbers: text may lie in any other allocation.
    const uintptr_t at = reinterpret_cast<uintptr_t>(text);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(m_RawBlock);
    return at >= begin && at - begin < m_RawBlockSize && length < m_RawBlockSize - (at - begin);
}

bool SipJson::GetRawBytes(const Value& value, const unsigned char*& bytes, size_t& count) const {
    if (!value.IsString() || !InRawBlock(value.GetString(), value.GetStringLength())) {
        return false;
    }
    bytes = reinterpret_cast<const unsigned char*>(value.GetString());
    count = value.GetStringLength();
    return true;
}

bool SipJson::HasReplyData() const {
    const int index = static_cast<int>(m_CmdIndex);
    const unsigned status = GetCmdElemValue(index, "ST", kMissingStatus);
    if (status != 0 && status != 12 && status != 21 && status != 255) {
        return false;
    }
    const Value* data = FindData(index);
    if (data == nullptr || data->IsNull()) {
        return false;
    }
    if (data->IsNumber() || data->IsBool() || data->IsObject() || data->IsArray()) {
        return true;
    }
    return GetCmdDataSize(index) != 0;
}

// ---------------------------------------------------------------------------

void SipJson::LoadReceivedText(const char* text) {
    m_CmdIndex = 0;
    const Value* cmd = nullptr;
    if (m_Doc.IsObject() && m_Doc.HasMember("SIP") && m_Doc["SIP"].IsObject() &&
        m_Doc["SIP"].HasMember("CMD")) {
        cmd = &m_Doc["SIP"]["CMD"];
    }
    if (cmd != nullptr && cmd->IsArray()) {
        // The byte strings all lie in commands.
        m_Doc["SIP"]["CMD"].Clear();
        m_RawBlock = nullptr;
        m_RawBlockSize = 0;
    } else {
        JsonInit();
    }
    if (text == nullptr || *text == '\0') {
        return;
    }
    // Parsed into a document of its own and swapped in only when accepted,
    // so the old content's memory is released either way.
    const size_t length = std::strlen(text);
    rapidjson::Document received(nullptr, kParseStackCapacity);
    const char* rawBlock = nullptr;
    size_t rawBlockSize = 0;
    bool accepted = ParseReceived(received, text, length, rawBlock, rawBlockSize) && received.IsObject();
    if (accepted) {
        Value::ConstMemberIterator sip = received.FindMember("SIP");
        accepted = sip != received.MemberEnd() && sip->value.IsObject();
        if (accepted) {
            Value::ConstMemberIterator version = sip->value.FindMember("V");
            accepted = version != sip->value.MemberEnd() && version->value.IsUint64() &&
                       version->value.GetUint64() == 1;
        }
    }
    if (accepted) {
        m_Doc.Swap(received);
        m_RawBlock = rawBlock;
        m_RawBlockSize = rawBlockSize;
    } else {
        JsonInit();
    }
}

bool SipJson::ToString(std::string& out) const {
    rapidjson::StringBuffer buffer(nullptr, kTextBufferCapacity);
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    bool written;
    if (m_RawBlock == nullptr) {
        written = m_Doc.Accept(writer);
    } else {
        auto inBlock = [this](const char* text, SizeType length) { return InRawBlock(text, length); };
        RawWriter<rapidjson::Writer<rapidjson::StringBuffer>, decltype(inBlock)> raw(writer, inBlock);
        written = m_Doc.Accept(raw);
    }
    out.assign(buffer.GetString(), buffer.GetSize());
    return written;
}

std::string SipJson::ToString() const {
    std::string text;
    ToString(text);
    return text;
}
