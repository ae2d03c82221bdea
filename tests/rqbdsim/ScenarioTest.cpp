// The simulator's answers, checked in-process against the byte layouts the
// module decodes.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "tools/rqbd-sim/Frame.h"
#include "tools/rqbd-sim/Scenario.h"

using rqbdsim::Scenario;

namespace {

const char kScenario[] = R"({
  "cabinet": 2, "chunkSize": 2,
  "systemLog": [
    {"number": 5, "severity": 3, "messageNumber": "0xABCD", "attributes": 3, "time": 1000, "text": "five"},
    {"number": 6, "text": ""},
    {"number": 7, "text": "seven"}]
})";

struct Reply {
    rapidjson::Document doc;
    unsigned st() const { return doc["ST"].GetUint(); }
    const rapidjson::Value& da() const { return doc["DA"]; }
    std::vector<uint8_t> raw() const {
        std::vector<uint8_t> out;
        for (const auto& v : doc["DA"]["RAW"].GetArray()) out.push_back(static_cast<uint8_t>(v.GetUint()));
        return out;
    }
};

Reply ask(const Scenario& s, const std::string& command) {
    rapidjson::Document request;
    request.Parse(command.c_str());
    Reply r;
    r.doc.SetObject();
    s.answer(request, r.doc, r.doc.GetAllocator());
    return r;
}

uint32_t le(const std::vector<uint8_t>& b, size_t at, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    return v;
}

}  // namespace

// The fields of a record are read back through the module on the log-entry
// road; here which records a chunk holds.
TEST(ScenarioTest, ChunkHoldsRecordsFromTheAskedEntryUpToTheChunkSize) {
    Scenario s = Scenario::fromJson(kScenario);
    Reply r = ask(s, R"({"OC":2832,"CA":2,"DA":5,"ST":0})");
    ASSERT_EQ(r.st(), 0u);
    std::vector<uint8_t> b = r.raw();
    // "five" makes a record of 21 bytes, and entry 6 the smallest possible
    // one; entry 7 is beyond the chunk.
    ASSERT_EQ(le(b, 0, 2), 21u);
    ASSERT_EQ(b.size(), 21u + 17u);
    EXPECT_EQ(le(b, 21, 2), 17u);
    EXPECT_EQ(le(b, 21 + 12, 4), 6u);

    EXPECT_EQ(le(ask(s, R"({"OC":2832,"CA":2,"DA":7})").raw(), 12, 4), 7u);
    EXPECT_EQ(ask(s, R"({"OC":2832,"CA":2,"DA":8})").st(), 1u) << "past the newest entry";
    EXPECT_EQ(ask(s, R"({"OC":2832,"OI":1,"CA":2,"DA":5})").st(), 1u) << "only the system log has chunks";
    EXPECT_EQ(ask(s, R"({"OC":2835,"CA":2})").da().GetUint(), 8u) << "count is the highest number + 1";
}

TEST(ScenarioTest, BadScenariosNameWhatIsWrong) {
    const std::pair<const char*, const char*> cases[] = {
        {"{", "not valid JSON"},
        {"[]", "root"},
        {R"({"cabinet":-1})", "cabinet"},
        {R"({"systemLog":[{"number":1,"messageNumber":70000}]})", "systemLog[0].messageNumber"},
        {R"({"replies":[{"DA":1}]})", "replies[0]"},
        {R"({"timeZone":"0x1g"})", "timeZone"},
    };
    for (const auto& [text, expected] : cases) {
        try {
            Scenario::fromJson(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const rqbdsim::ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << text << ": " << e.what();
        }
    }
    EXPECT_EQ(ask(Scenario::fromJson(R"({"cabinet":"0x10"})"), R"({"OC":57860})").da().GetUint(), 16u);
}

TEST(FrameTest, DecoderCutsFramesAcrossArbitrarySplitsAndStopsAtNul) {
    std::string stream = rqbdsim::encodeFrame("abc") + rqbdsim::encodeFrame("");
    stream += std::string("\x05\x00\x00\x00xy\0zz", 9);
    rqbdsim::FrameDecoder d;
    std::vector<std::string> texts;
    std::string text;
    for (char ch : stream) {
        d.feed(&ch, 1);
        while (d.next(text) == rqbdsim::FrameDecoder::Result::Frame) texts.push_back(text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"abc", "", "xy"}));
    EXPECT_EQ(d.pending(), 0u);
    EXPECT_EQ(rqbdsim::encodeFrame("0123456789").size(), 15u);

    rqbdsim::FrameDecoder huge;
    huge.feed("\xff\xff\xff\x7f", 4);
    EXPECT_EQ(huge.next(text), rqbdsim::FrameDecoder::Result::Oversized);
}
