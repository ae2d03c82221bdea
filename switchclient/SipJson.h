// The agent message: one JSON document exchanged with the agent daemon rqbd.
//
// Every request, reply, pushed event and channel handshake has the shape
//
//   {"SIP":{"V":1,"CMD":[{"OC":..,"OE":..,"OI":..,"CA":..,"ST":..,"DA":..}]}}
//
// "OC" opcode, "OE" opcode extension, "OI" object index (a number, or an
// object of named sub-indices), "CA" cabinet number, "ST" status (absent in
// requests, 22 when missing from a reply), "DA" the data: a number, a flag, a
// text, an array of texts (a multi-string), an array of numbers, or raw bytes
// as {"RAW":[b0,b1,...]} (multi-byte integers little-endian).
//
// A SipJson is built on the caller's stack for one request and then receives
// the reply in place. All command accessors address the command at the
// command index, which is 0 after construction and after every received text.
//
// Readers never modify the document and never fail loudly: a structural
// mismatch ("SIP" not an object, no "CMD" array, index out of range, element
// not an object, no "DA") gives the reader's absent result (0, false or the
// supplied default). Setters act only when the current command is an object.
// Nothing here throws.
//
// Not thread-safe: one SipJson belongs to one thread at a time.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <string>
#include <vector>

// Byte buffer handed to SipJson::GetCmdDataStream. Starts empty with room for
// the small values most replies carry.
class CDataStream : public std::vector<unsigned char> {
public:
    CDataStream() { reserve(32); }
};

// Receives a deep copy of a structured "DA" (object or array) through
// SipJson::GetCmdDataStruct. The copy lives in this object's own allocator
// and stays valid after the SipJson it came from is gone.
class CDataStruct {
public:
    CDataStruct() : m_Doc(nullptr, 128) {}
    CDataStruct(const CDataStruct&) = delete;
    CDataStruct& operator=(const CDataStruct&) = delete;

    rapidjson::Value& Value() { return m_Doc; }
    const rapidjson::Value& Value() const { return m_Doc; }
    rapidjson::Document::AllocatorType& Allocator() { return m_Doc.GetAllocator(); }

    // True when the copy is an object with exactly one member whose value is
    // itself an object, e.g. {"Adapter":{...}}.
    bool IsSingleObject() const { return m_SingleObject; }
    void SetSingleObject(bool single) { m_SingleObject = single; }

private:
    rapidjson::Document m_Doc;
    bool m_SingleObject = false;
};

// Deep copies between RapidJSON values of different documents: member names
// and strings are copied into the destination's allocator, objects and arrays
// are copied element by element. The destination is replaced.
class CRapidJsonUtil {
public:
    // Any value. dst must not be src.
    static void CopyValue(const rapidjson::Value& src, rapidjson::Value& dst,
                          rapidjson::Document::AllocatorType& allocator);
    // dst becomes an object holding copies of src's members (none when src is
    // not an object).
    static void CopyObject(const rapidjson::Value& src, rapidjson::Value& dst,
                           rapidjson::Document::AllocatorType& allocator);
    // dst becomes an array holding copies of src's elements (none when src is
    // not an array).
    static void CopyArray(const rapidjson::Value& src, rapidjson::Value& dst,
                          rapidjson::Document::AllocatorType& allocator);
};

// Text conversion for data handed out of a message. The agent speaks UTF-8,
// so the text passes unchanged; a null pointer gives an empty text.
class CStringMapper {
public:
    static std::string StringToUTF8(const char* text);
    static std::string StringToUTF8(const char* text, size_t length);
};

class SipJson {
public:
    // "ST" value meaning "write no status" for the constructor and SetCmd.
    static constexpr unsigned kNoStatus = 0xFFFFFFFFu;
    // What a reader sees as the status of a command without "ST".
    static constexpr unsigned kMissingStatus = 22;
    // Nesting limit for received texts. Agent messages nest about six deep;
    // anything deeper is rejected before it can exhaust the stack of the
    // recursive parser, writer or copy.
    static constexpr unsigned kMaxNesting = 64;

    // The skeleton {"SIP":{"V":1,"CMD":[]}}, no command yet.
    SipJson();
    // The skeleton plus command 0 built by SetCmd(GetCmd(), oc, oe, oi, ca,
    // st). Requests pass st = kNoStatus.
    SipJson(unsigned oc, unsigned oe, unsigned oi, unsigned ca, unsigned st);

    SipJson(const SipJson&) = delete;
    SipJson& operator=(const SipJson&) = delete;

    // Discards the whole document (and the memory it used) and rebuilds the
    // skeleton. The command index is kept.
    void JsonInit();

    // The command at the command index. Appends empty objects to "CMD" until
    // the index exists ("CMD" is recreated as an empty array when a received
    // text left it missing or of another type). The reference stays valid
    // until the next call that changes "CMD".
    rapidjson::Value& GetCmd();

    // Rewrites command as {"OC":oc[,"OE":oe][,"OI":oi],"CA":ca[,"ST":st]}:
    // "OE" and "OI" only when non-zero, "ST" only when st != kNoStatus. All
    // values are stored as unsigned numbers.
    void SetCmd(rapidjson::Value& command, unsigned oc, unsigned oe, unsigned oi, unsigned ca, unsigned st);

    // On the current command. subName null or empty: member name = value
    // (replaced in place, else appended). Otherwise member name becomes an
    // object (an existing member of another type is removed and re-added as
    // an empty object) and subName = value is appended to it without looking
    // for an existing subName. A null name does nothing.
    void SetCmdParam(const char* name, unsigned value, const char* subName = nullptr);
    // On the current command: member name removed when present.
    void RemoveCmdParam(const char* name);

    // On the current command: "DA" and "ST" set (each replaced in place when
    // present, else appended).
    void SetDataUIntValue(unsigned value, unsigned status);
    void SetDataByte(unsigned char value, unsigned status);
    // "DA" = a copy of text (a null text writes an empty string).
    void SetReplyDataString(const char* text, unsigned status);
    // "DA" = {"RAW":[...]} with one number per byte; "ST" as above, or left
    // untouched when status is kNoStatus.
    void SetDataRaw(const unsigned char* data, size_t length, unsigned status = kNoStatus);

    // Readers. index is the command to read; a negative index is absent.

    // JSON type code of "DA" (null 0, false 1, true 2, object 3, array 4,
    // string 5, number 6); 0 when absent. For tracing.
    int GetCmdDataType(int index) const;
    // Size of "DA" in bytes: integer 8, floating 0, flag 1, string length+1,
    // multi-string sum of (length+1) plus 1, array of numbers the sum of each
    // element's width (1, 2, 4 or 8 by value), raw bytes their count, anything
    // else 0. The first element decides the kind of an array; later elements
    // of another kind count 0 (a negative or floating element of a number
    // array counts 8).
    size_t GetCmdDataSize(int index) const;
    // "DA" as an unsigned value: false 0, true 1, a number that fits 32 bits
    // (signed or unsigned; a negative one as its two's complement), raw bytes
    // little-endian (1 byte; 2 bytes masked to 16 bits; 3 bytes with the
    // missing high byte taken as 0; 4 or more bytes from the first four).
    // False for anything else; out is then unchanged.
    bool GetCmdUIntData(int index, unsigned& out) const;
    // Member name of the command as unsigned: missing or of another type
    // defaultValue; an integer its low 32 bits; a floating number
    // defaultValue; a string parsed as "0x.." hexadecimal, "0.." octal, else
    // decimal, truncated to 32 bits.
    unsigned GetCmdElemValue(int index, const char* name, unsigned defaultValue) const;
    // "DA" as text. string: the text (false for a non-zero offset); null: out
    // cleared, true; raw bytes: the bytes from offset on up to the first NUL
    // (false when there are not more than offset bytes or the first is not an
    // unsigned number; out is then cleared). False for anything else.
    bool GetCmdDataString(int index, std::string& out, size_t offset = 0) const;
    // "DA" as bytes; out is cleared first when the type is accepted. Raw
    // bytes: the low byte of each element (none when the first element is not
    // an unsigned number; a later non-unsigned element gives 0); multi-string:
    // each text and a NUL, then one more NUL; string: the text and a NUL;
    // unsigned number: little-endian in 1, 2, 4 or 8 bytes, the fewest that
    // hold it. False (out unchanged) for negative or floating numbers, flags,
    // null and missing data.
    bool GetCmdDataStream(int index, std::vector<unsigned char>& out) const;
    // Deep copy of an object or array "DA" into out, with its single-object
    // flag; false (out unchanged) for other types.
    bool GetCmdDataStruct(int index, CDataStruct& out) const;
    // Whether the current command carries usable data: "ST" is 0, 12, 21 or
    // 255 and "DA" is present and not null.
    bool HasReplyData() const;

    unsigned GetCmdIndex() const { return m_CmdIndex; }
    void SetCmdIndex(unsigned index) { m_CmdIndex = index; }

    // Loads a reply or event text received from the agent. The document is
    // first reduced to no command and the command index set to 0; an empty
    // (or null) text stops there. A text that does not parse, is nested
    // deeper than kMaxNesting, or whose root, "SIP" or "SIP"."V" == 1 is
    // missing, resets the document to the skeleton. The text is read up to
    // its first NUL.
    void LoadReceivedText(const char* text);
    void LoadReceivedText(const std::string& text) { LoadReceivedText(text.c_str()); }

    // The document as compact JSON (UTF-8, no whitespace, members in
    // insertion order). Returns false only if the writer rejects a value.
    bool ToString(std::string& out) const;
    std::string ToString() const;

    // Direct access for callers that build or read members not covered above
    // (e.g. RAID object indices). In a loaded text, a command's "DA"."RAW"
    // array of numbers 0..255 is held as a string of those bytes (see
    // GetRawBytes); ToString and GetCmdDataStruct give it back as the array.
    rapidjson::Document& Document() { return m_Doc; }
    const rapidjson::Document& Document() const { return m_Doc; }

    // Whether value is a "RAW" array that this message holds as bytes; if so,
    // bytes and count say where they are (valid as long as the document).
    bool GetRawBytes(const rapidjson::Value& value, const unsigned char*& bytes, size_t& count) const;

private:
    void BuildSkeleton();
    // The command at index for reading, or nullptr when absent.
    const rapidjson::Value* FindCmd(int index) const;
    // Its "DA", or nullptr.
    const rapidjson::Value* FindData(int index) const;
    // The current command when it is an object, else nullptr.
    rapidjson::Value* EditableCmd();
    void SetMember(rapidjson::Value& object, const char* name, rapidjson::Value& value);
    // Whether text lies in the block of the loaded text's byte strings.
    bool InRawBlock(const char* text, size_t length) const;

    rapidjson::Document m_Doc;
    unsigned m_CmdIndex = 0;
    // The byte strings of the loaded text's "RAW" arrays, in m_Doc's
    // allocator; nullptr when it holds none.
    const char* m_RawBlock = nullptr;
    size_t m_RawBlockSize = 0;
};
