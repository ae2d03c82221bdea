#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <optional>
#include <string>
#include <vector>

#include "switchclient/SipJson.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A received reply whose command 0 holds the given members.
void LoadCommand(SipJson& message, const std::string& members) {
    message.LoadReceivedText("{\"SIP\":{\"V\":1,\"CMD\":[{" + members + "}]}}");
}

// ---------------------------------------------------------------------------
// Building and the wire text

TEST(SipJsonBuild, SkeletonAndRequestSerialiseExactly) {
    EXPECT_EQ(SipJson().ToString(), R"({"SIP":{"V":1,"CMD":[]}})");
    // Zero "OE"/"OI" omitted, no status for a request, "CA" written although 0.
    EXPECT_EQ(SipJson(0xE204, 0, 0, 0, SipJson::kNoStatus).ToString(),
              R"({"SIP":{"V":1,"CMD":[{"OC":57860,"CA":0}]}})");
    // Top-bit values stay unsigned.
    EXPECT_EQ(SipJson(0x80000001u, 2, 0xFFFFFFFEu, 4, 0).ToString(),
              R"({"SIP":{"V":1,"CMD":[{"OC":2147483649,"OE":2,"OI":4294967294,"CA":4,"ST":0}]}})");
}

// Sub-indices ("OI" as an object) go out with the RAID rebuild requests of
// the wire sweep.
TEST(SipJsonBuild, SetCmdParamReplacesInPlaceAndAppends) {
    SipJson message(0x10, 0, 7, 1, SipJson::kNoStatus);
    message.SetCmdParam("OC", 0x11);
    message.SetCmdParam("XX", 5, "");
    EXPECT_EQ(message.ToString(), R"({"SIP":{"V":1,"CMD":[{"OC":17,"OI":7,"CA":1,"XX":5}]}})");
}

TEST(SipJsonBuild, DataSettersReplaceInPlaceAndEscapeText) {
    SipJson message(1, 0, 0, 0, SipJson::kNoStatus);
    message.SetDataUIntValue(0xFFFFFFFFu, 3);
    message.SetDataByte(200, 4);
    EXPECT_EQ(message.ToString(), R"({"SIP":{"V":1,"CMD":[{"OC":1,"CA":0,"DA":200,"ST":4}]}})");
    message.SetReplyDataString("a\"b\\c\n\xC3\xA4", 0);
    EXPECT_EQ(message.ToString(),
              "{\"SIP\":{\"V\":1,\"CMD\":[{\"OC\":1,\"CA\":0,\"DA\":\"a\\\"b\\\\c\\n\xC3\xA4\",\"ST\":0}]}}");
    message.SetReplyDataString(nullptr, 1);
    EXPECT_EQ(message.ToString(), R"({"SIP":{"V":1,"CMD":[{"OC":1,"CA":0,"DA":"","ST":1}]}})");
    const unsigned char raw[] = {0, 255, 7};
    message.SetDataRaw(raw, sizeof raw);
    EXPECT_EQ(message.ToString(), R"({"SIP":{"V":1,"CMD":[{"OC":1,"CA":0,"DA":{"RAW":[0,255,7]},"ST":1}]}})");
}

TEST(SipJsonBuild, SettersLeaveANonObjectCommandAlone) {
    SipJson message;
    message.LoadReceivedText(R"({"SIP":{"V":1,"CMD":[5]}})");
    message.SetDataUIntValue(1, 0);
    message.SetReplyDataString("x", 0);
    message.SetCmdParam("A", 1);
    EXPECT_EQ(message.ToString(), R"({"SIP":{"V":1,"CMD":[5]}})");

    // A received text without a "CMD" array gets one when a command is built.
    message.LoadReceivedText(R"({"SIP":{"V":1,"CMD":"x"}})");
    message.SetCmd(message.GetCmd(), 1, 0, 0, 0, 0);
    EXPECT_EQ(message.ToString(), R"({"SIP":{"V":1,"CMD":[{"OC":1,"CA":0,"ST":0}]}})");
}

// ---------------------------------------------------------------------------
// Loading received texts

TEST(SipJsonLoad, AcceptsVersionOneWithWhateverElseItHolds) {
    SipJson message;
    message.LoadReceivedText(R"({"SIP":{"V":1,"CMD":[{"OC":1,"ST":0,"DA":2}],"X":[]},"Y":1})");
    EXPECT_EQ(message.GetCmdElemValue(0, "DA", 0), 2u);
    EXPECT_TRUE(message.HasReplyData());
    EXPECT_EQ(message.ToString(), R"({"SIP":{"V":1,"CMD":[{"OC":1,"ST":0,"DA":2}],"X":[]},"Y":1})");
}

TEST(SipJsonLoad, RejectedOrEmptyTextsLeaveTheSkeleton) {
    const std::string skeleton = R"({"SIP":{"V":1,"CMD":[]}})";
    for (const char* text : {
             R"({"SIP":{"V":2,"CMD":[{"OC":1,"ST":0,"DA":1}]}})",
             R"({"SIP":{"CMD":[{"OC":1,"ST":0,"DA":1}]}})",
             R"({"SIP":{"V":"1","CMD":[{"OC":1}]}})",
             R"({"SIP":[1]})",
             R"([{"SIP":{"V":1}}])",
             R"({"SIP":{"V":1,"CMD":[{"OC":1}]}} trailing)",
             R"({"SIP":{"V":1,"CMD":[{"OC":1})",
             "{\"SIP\":{\"V\":1,\"CMD\":[\"\xFF\"]}}garbage",
             "not json at all",
             "",
             static_cast<const char*>(nullptr),
         }) {
        SipJson message(1, 2, 3, 4, 0);
        message.LoadReceivedText(text);
        EXPECT_EQ(message.ToString(), skeleton) << text;
        EXPECT_EQ(message.GetCmdElemValue(0, "ST", SipJson::kMissingStatus), 22u) << text;
        EXPECT_FALSE(message.HasReplyData()) << text;
    }
}

TEST(SipJsonLoad, NestingBeyondTheLimitIsRejected) {
    auto nested = [](unsigned depth) {
        // "SIP" object and the root make two levels; "DA" adds the rest.
        std::string text = R"({"SIP":{"V":1,"CMD":[{"ST":0,"DA":)";
        const unsigned inner = depth - 4;
        text += std::string(inner, '[') + std::string(inner, ']') + "}]}}";
        return text;
    };
    SipJson message;
    message.LoadReceivedText(nested(SipJson::kMaxNesting));
    EXPECT_TRUE(message.HasReplyData());
    message.LoadReceivedText(nested(SipJson::kMaxNesting + 1));
    EXPECT_FALSE(message.HasReplyData());
    // Far beyond any stack: rejected, not a crash.
    message.LoadReceivedText(std::string(1 << 20, '['));
    EXPECT_EQ(message.ToString(), R"({"SIP":{"V":1,"CMD":[]}})");
}

// ---------------------------------------------------------------------------
// Readers against every kind of "DA"

struct DataCase {
    const char* da;
    int type;
    std::optional<unsigned> uintValue;
    std::optional<std::string> text;
    std::optional<Bytes> stream;
    bool hasData;  // with "ST":0
};

TEST(SipJsonRead, EveryDataTypeAgainstEveryReader) {
    const std::vector<DataCase> cases = {
        {"null", 0, {}, std::string(), {}, false},
        {"false", 1, 0u, {}, {}, true},
        {"true", 2, 1u, {}, {}, true},
        {"300", 6, 300u, {}, Bytes{0x2C, 0x01}, true},
        {"70000", 6, 70000u, {}, Bytes{0x70, 0x11, 0x01, 0x00}, true},
        {"5000000000", 6, {}, {}, Bytes{0x00, 0xF2, 0x05, 0x2A, 0x01, 0, 0, 0}, true},
        {"-1", 6, 0xFFFFFFFFu, {}, {}, true},
        {"-5000000000", 6, {}, {}, {}, true},
        {"1.5", 6, {}, {}, {}, true},
        {"\"ab\"", 5, {}, std::string("ab"), Bytes{'a', 'b', 0}, true},
        {"\"a\\u0000b\"", 5, {}, std::string("a\0b", 3), Bytes{'a', 0, 'b', 0}, true},
        {"[\"ab\",\"c\"]", 4, {}, {}, Bytes{'a', 'b', 0, 'c', 0, 0}, true},
        {"[\"ab\",7,\"c\"]", 4, {}, {}, Bytes{'a', 'b', 0, 'c', 0, 0}, true},
        {"[1,300,70000,5000000000]", 4, {}, {}, Bytes{}, true},
        {"[1,-1,2.5,\"x\"]", 4, {}, {}, Bytes{}, true},
        {"[]", 4, {}, {}, Bytes{}, true},
        {R"({"RAW":[52,18]})", 3, 0x1234u, std::string("4\x12"), Bytes{0x34, 0x12}, true},
        {R"({"RAW":[65,66,0,67]})", 3, 0x43004241u, std::string("AB"), Bytes{65, 66, 0, 67}, true},
        {R"({"RAW":[]})", 3, {}, {}, Bytes{}, true},
        {R"({"RAW":["A",66]})", 3, 0x4200u, {}, Bytes{}, true},
        {R"({"RAW":[300,-2,1.5]})", 3, 300u - 0x200u, std::string(",", 1), Bytes{0x2C, 0, 0}, true},
        {R"({"RAW":[0,65]})", 3, 0x4100u, std::string(), Bytes{0, 65}, true},
        {R"({"RAW":[1,2],"RAW":[300]})", 3, 0x0201u, std::string("\x01\x02"), Bytes{1, 2}, true},
        {R"({"RAW":7})", 3, {}, {}, Bytes{}, true},
        {R"({"X":{"Y":1}})", 3, {}, {}, Bytes{}, true},
    };
    for (const DataCase& c : cases) {
        SCOPED_TRACE(c.da);
        SipJson message;
        LoadCommand(message, std::string("\"ST\":0,\"DA\":") + c.da);
        EXPECT_EQ(message.GetCmdDataType(0), c.type);

        unsigned value = 0xDEAD;
        EXPECT_EQ(message.GetCmdUIntData(0, value), c.uintValue.has_value());
        EXPECT_EQ(value, c.uintValue.value_or(0xDEAD));

        std::string text;
        EXPECT_EQ(message.GetCmdDataString(0, text) ? std::optional(text) : std::nullopt, c.text);

        Bytes stream{9, 9};
        EXPECT_EQ(message.GetCmdDataStream(0, stream), c.stream.has_value());
        EXPECT_EQ(stream, c.stream.value_or(Bytes{9, 9}));

        EXPECT_EQ(message.HasReplyData(), c.hasData);
    }
}

TEST(SipJsonRead, StructuralMismatchGivesTheAbsentResult) {
    const std::vector<std::pair<std::string, int>> cases = {
        {R"({"SIP":{"V":1,"CMD":[{"ST":0,"DA":5}]}})", 1},   // index beyond the array
        {R"({"SIP":{"V":1,"CMD":[{"ST":0,"DA":5}]}})", -1},  // negative index
        {R"({"SIP":{"V":1,"CMD":[[5]]}})", 0},               // element not an object
        {R"({"SIP":{"V":1,"CMD":[{"ST":0}]}})", 0},          // no "DA"
        {R"({"SIP":{"V":1,"CMD":{"0":{"DA":5}}}})", 0},      // "CMD" not an array
        {R"({"SIP":{"V":1}})", 0},                           // no "CMD"
    };
    for (const auto& [text, index] : cases) {
        SCOPED_TRACE(text + " @" + std::to_string(index));
        SipJson message;
        message.LoadReceivedText(text);
        unsigned value = 7;
        std::string out = "x";
        Bytes stream{1};
        EXPECT_EQ(message.GetCmdDataType(index), 0);
        EXPECT_FALSE(message.GetCmdUIntData(index, value));
        EXPECT_FALSE(message.GetCmdDataString(index, out));
        EXPECT_FALSE(message.GetCmdDataStream(index, stream));
        EXPECT_EQ(value, 7u);
        EXPECT_EQ(out, "x");
        EXPECT_EQ(stream, Bytes{1});
        EXPECT_EQ(message.GetCmdElemValue(index, "ZZ", 99), 99u);
    }
}

TEST(SipJsonRead, ElementValuesParseNumbersAndPrefixedStrings) {
    SipJson message;
    LoadCommand(message,
                R"("H":"0x1F","h":"0X1f","O":"017","D":"17","Z":"0","X":"0x","G":"0x1G","N":4294967297,)"
                R"("M":-1,"F":2.5,"B":true,"A":[1],"S":"99999999999","E":"")");
    // "0x" is octal after its "0", parsing stops at the first non-digit, and
    // numbers keep their low 32 bits.
    const std::pair<const char*, unsigned> cases[] = {
        {"H", 31}, {"h", 31}, {"O", 15}, {"D", 17},          {"Z", 0},
        {"X", 0},  {"G", 1},  {"N", 1},  {"M", 0xFFFFFFFFu}, {"S", static_cast<unsigned>(99999999999ull)},
        {"E", 0},  {"F", 42}, {"B", 42}, {"A", 42},          {"missing", 42}};
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(message.GetCmdElemValue(0, name, 42), expected) << name;
    EXPECT_EQ(message.GetCmdElemValue(0, nullptr, 42), 42u);
}

// The unsigned value of raw bytes, and whether status and data make a reply.
TEST(SipJsonRead, RawBytesAsUnsignedValueAndReplyData) {
    const struct {
        const char* members;
        std::optional<unsigned> value;
        bool hasData;
    } cases[] = {
        {R"("DA":{"RAW":[511]})", 511, false},         // one element is taken whole
        {R"("DA":{"RAW":[511,511]})", 0xFFFF, false},  // masked to 16 bits
        {R"("DA":{"RAW":[1,2,3]})", 0x030201, false},  // missing fourth byte taken as 0
        {R"("DA":{"RAW":[1,2,3,4,5,6]})", 0x04030201, false},
        {R"("ST":12,"DA":false)", 0, true},
        {R"("ST":21,"DA":[])", {}, true},
        {R"("ST":"0","DA":1)", 1, true},
        {R"("ST":1,"DA":1)", 1, false},
        {R"("DA":1)", 1, false},
        {R"("ST":0,"DA":null)", {}, false},
        {R"("ST":4294967296,"DA":1)", 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.members);
        SipJson message;
        LoadCommand(message, c.members);
        unsigned value = 0xDEAD;
        EXPECT_EQ(message.GetCmdUIntData(0, value), c.value.has_value());
        EXPECT_EQ(value, c.value.value_or(0xDEAD));
        EXPECT_EQ(message.HasReplyData(), c.hasData);
    }
}

// Type flags and value of every node, so that a number read as Uint and one
// read as Uint64 or Int differ. A byte string of the message describes as the
// array of small numbers it stands for.
std::string Describe(const rapidjson::Value& v, const SipJson* message = nullptr) {
    const unsigned char* bytes = nullptr;
    size_t count = 0;
    std::string out;
    if (message != nullptr && message->GetRawBytes(v, bytes, count)) {
        for (size_t i = 0; i < count; ++i) out += "iuIU:" + std::to_string(bytes[i]) + ",";
        return "[" + out + "]";
    }
    if (v.IsObject()) {
        for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it)
            out += std::string(it->name.GetString()) + ":" + Describe(it->value, message) + ",";
        return "{" + out + "}";
    }
    if (v.IsArray()) {
        for (const auto& element : v.GetArray()) out += Describe(element, message) + ",";
        return "[" + out + "]";
    }
    if (v.IsNumber()) {
        std::string flags = std::string(v.IsInt() ? "i" : "") + (v.IsUint() ? "u" : "") +
                            (v.IsInt64() ? "I" : "") + (v.IsUint64() ? "U" : "") + (v.IsDouble() ? "d" : "");
        return flags + ":" +
               (v.IsDouble()   ? std::to_string(v.GetDouble())
                : v.IsUint64() ? std::to_string(v.GetUint64())
                               : std::to_string(v.GetInt64()));
    }
    if (v.IsString()) return "\"" + std::string(v.GetString()) + "\"";
    return std::to_string(static_cast<int>(v.GetType()));
}

// Runs of small numbers, and "RAW" byte arrays, are read beside the general
// parser; whatever the text, the loaded document reads and writes as the one
// the general parser makes of it, and a text it rejects is rejected.
TEST(SipJsonLoad, NumberArraysLoadAsTheGeneralParserReadsThem) {
    const std::vector<std::string> data = {
        R"({"RAW":[0,1,255,256,999999999]})",
        R"({"RAW":[1000000000,4294967295,4294967296,18446744073709551615]})",
        R"({"RAW":[]})",
        R"({"RAW":[7]})",
        R"({"RAW":[1, 2 ,3]})",
        R"({"RAW":[1,-2,3]})",
        R"({"RAW":[1,2.5,3e2]})",
        R"({"RAW":[1,"2",null,true]})",
        R"([[1,2],[3],[],[[4,5]]])",
        R"({"RAW":[1,2,]})",
        R"({"RAW":[01,2]})",
        R"({"RAW":[1,,2]})",
        R"({"RAW":[1,2]]})",
        R"({"RAW":[1,2})",
        R"({"RAW":[1,2)",
        R"({"RAW":[1 2]})",
        R"({"RAW":[0x1]})",
        R"({"RAW":[1,2]x})",
        R"({"RAW":[0,255],"RAW":[3],"X":[4]})",
        R"({"RAW":[255,256]})",
        R"({"RAW":{"RAW":[1]},"Y":{"RAW":[2]}})",
    };
    for (const std::string& da : data) {
        SCOPED_TRACE(da);
        const std::string text =
            R"({"SIP":{"V":1,"CMD":[{"OC":1,"ST":0,"DA":)" + da + R"(},{"DA":)" + da + "}]}}";
        rapidjson::Document reference;
        reference.Parse(text.c_str());
        SipJson message;
        message.LoadReceivedText(text);
        if (reference.HasParseError()) {
            EXPECT_TRUE(message.Document()["SIP"]["CMD"].Empty());
        } else {
            EXPECT_EQ(Describe(message.Document(), &message), Describe(reference));
            rapidjson::StringBuffer written;
            rapidjson::Writer<rapidjson::StringBuffer> writer(written);
            reference.Accept(writer);
            EXPECT_EQ(message.ToString(), written.GetString());
        }
    }
}

}  // namespace
