// Every operation of the facade once against the agent simulator, its
// requests compared with wire_expectations.txt: a list written down apart
// from the command table, so that a slip in either shows here.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/RqbdSim.h"
#include "switchclient/SipJson.h"
#include "tolm/TOLMCalls.h"

using provider::TOLMCalls;
using provider::TOLMKey;

namespace {

constexpr unsigned kCab = 0x11, kObj = 0x22, kExt = 0x33, kNumber = 501;

// Arguments of the sweep, one per parameter type of the interface.
struct Arguments {
    TOLMKey key{kCab, kObj, kExt};
    cimple::String text{"text"};
    std::string out;
    std::vector<provider::LogMessage> entries;
    std::vector<cimple::String> infos;
    CDataStream stream;
    CDataStruct data;
    provider::PUChar gel;
};

// The argument for a parameter of any type of the interface: an lvalue for
// the outputs.
struct Argument {
    Arguments& a;
    operator TOLMKey&() const { return a.key; }
    operator unsigned() const { return kNumber; }
    operator int() const { return static_cast<int>(kNumber); }
    operator unsigned long long() const { return 0x100000002ull; }
    operator bool() const { return true; }
    operator cimple::String&() const { return a.text; }
    operator std::string&() const { return a.out; }
    operator std::vector<provider::LogMessage>&() const { return a.entries; }
    operator std::vector<cimple::String>&() const { return a.infos; }
    operator CDataStream&() const { return a.stream; }
    operator CDataStruct&() const { return a.data; }
    operator provider::PUChar&() const { return a.gel; }
    operator provider::TOLMEventsListener*() const { return nullptr; }
};

template <class R, class... A>
void invoke(TOLMCalls& calls, R (TOLMCalls::*op)(A...), Arguments& args) {
    try {
        (calls.*op)(static_cast<A>(Argument{args})...);
    } catch (...) {
        // Throwing members are part of the sweep; only their requests count.
    }
}

using Invoker = void (*)(TOLMCalls&, Arguments&);
const std::vector<std::pair<std::string, Invoker>>& everyOperation() {
    static const std::vector<std::pair<std::string, Invoker>> ops = {
#define QMS_TOLM(family, name, ...) \
    {#name, [](TOLMCalls& c, Arguments& a) { invoke(c, &TOLMCalls::name, a); }},
#include "tolm/TOLMCalls.def"
    };
    return ops;
}

struct Expectation {
    unsigned objId = kObj;
    std::vector<std::vector<std::string>> requests;  // OC OE OI CA [DA]
};

std::map<std::string, Expectation> readExpectations(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, Expectation> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t colon = line.find(" : ");
        std::istringstream head(line.substr(0, colon));
        std::string name, option;
        head >> name;
        Expectation e;
        while (head >> option)
            if (option.rfind("obj=", 0) == 0)
                e.objId = static_cast<unsigned>(std::stoul(option.substr(4), nullptr, 0));
        std::istringstream body(line.substr(colon + 3));
        std::vector<std::string> request;
        std::string token;
        while (body >> token) {
            if (token == "-") continue;
            if (token == ";") {
                e.requests.push_back(request);
                request.clear();
            } else {
                request.push_back(token);
            }
        }
        if (!request.empty()) e.requests.push_back(request);
        out[name] = e;
    }
    return out;
}

// An expected field as JSON text with the symbols (standing alone or as an
// object member's value) replaced.
std::string resolve(std::string token, const Expectation& e) {
    const std::pair<std::string, unsigned long long> symbols[] = {
        {"cab", kCab}, {"obj", e.objId}, {"ext", kExt}, {"arg", kNumber}, {"all", 0xFFFFFFFFull}};
    for (const auto& [name, value] : symbols) {
        if (token == name) return std::to_string(value);
        for (size_t at; (at = token.find(":" + name)) != std::string::npos;)
            token.replace(at + 1, name.size(), std::to_string(value));
    }
    if (token.rfind("0x", 0) == 0) token = std::to_string(std::stoull(token, nullptr, 16));
    return token;
}

std::string json(const rapidjson::Value& v) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    v.Accept(writer);
    return buffer.GetString();
}

// The recorded requests, without the channel's own handshake, as
// "OC OE OI CA [DA]" with absent fields as 0.
std::vector<std::string> recorded(const std::string& lines) {
    std::vector<std::string> out;
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        rapidjson::Document d;
        d.Parse(line.c_str());
        if (d.HasParseError() || !d.HasMember("OC") || d["OC"].GetUint() == 0xFFA0) continue;
        std::string r;
        for (const char* field : {"OC", "OE", "OI", "CA"})
            r += (r.empty() ? "" : " ") + (d.HasMember(field) ? json(d[field]) : std::string("0"));
        if (d.HasMember("DA")) r += " " + json(d["DA"]);
        out.push_back(r);
    }
    return out;
}

std::string expected(const Expectation& e, const std::vector<std::string>& request) {
    std::string r;
    for (const auto& token : request) r += (r.empty() ? "" : " ") + resolve(token, e);
    return r;
}

TEST(TolmWire, EveryOperationSendsWhatItsFamilySays) {
    qmstest::RqbdSim sim;
    ASSERT_EQ(sim.ctl({"scenario", "{\"cabinet\":17,\"defaultStatus\":0}"}).exitCode, 0);
    const auto expectations = readExpectations(QMS_TOLM_WIRE_EXPECTATIONS);
    ASSERT_GT(expectations.size(), 350u);

    // The event and account operations have tests of their own.
    const std::set<std::string> skipped = {"accountCheck", "enableEvents", "disableEvents", "setListener"};
    std::set<std::string> seen;
    ShPtr<TOLMCalls> calls = provider::newTOLMCalls("tolm-wire");
    size_t before = 0;
    for (const auto& op : everyOperation()) {
        seen.insert(op.first);
        if (skipped.count(op.first)) continue;
        const auto e = expectations.find(op.first);
        Expectation none;
        const Expectation& want = e == expectations.end() ? none : e->second;
        Arguments args;
        args.key.objId = want.objId;
        op.second(*calls, args);
        std::vector<std::string> wanted;
        for (const auto& r : want.requests) wanted.push_back(expected(want, r));
        // Only the requests recorded since the previous operation are its own.
        std::vector<std::string> all = recorded(sim.ctl({"requests"}).out);
        const std::vector<std::string> own(all.begin() + static_cast<long>(std::min(before, all.size())),
                                           all.end());
        before = all.size();
        // Without a line an operation is one whose reply is not decoded and
        // must not ask the agent at all.
        EXPECT_EQ(own, wanted) << op.first << (e == expectations.end() ? " (no expectation line)" : "");
    }
    for (const auto& e : expectations) EXPECT_TRUE(seen.count(e.first)) << "no such operation: " << e.first;
}

}  // namespace
