// What every agent request pays for its message: building a request and
// writing it as compact JSON, and loading a reply and reading its status and
// data (a text, and a raw block of the size of a log entry header).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "switchclient/SipJson.h"

namespace {

void BM_SipJsonBuildRequest(benchmark::State& state) {
    std::string text;
    for (auto _ : state) {
        SipJson request(0x0B10, 0x0002, 0x1234, 1, SipJson::kNoStatus);
        request.SetCmdParam("OI", 0, "AdapterIdx");
        request.SetDataUIntValue(42, 0);
        request.ToString(text);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SipJsonBuildRequest);

void BM_SipJsonReadStringReply(benchmark::State& state) {
    const std::string reply =
        R"({"SIP":{"V":1,"CMD":[{"OC":2834,"OE":2,"CA":1,"ST":0,"DA":"Fan 2 of the system board failed"}]}})";
    std::string text;
    for (auto _ : state) {
        SipJson message;
        message.LoadReceivedText(reply);
        const unsigned status = message.GetCmdElemValue(0, "ST", SipJson::kMissingStatus);
        const bool got = message.HasReplyData() && message.GetCmdDataString(0, text);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(got);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SipJsonReadStringReply);

void BM_SipJsonReadRawReply(benchmark::State& state) {
    std::string reply = R"({"SIP":{"V":1,"CMD":[{"OC":2833,"CA":1,"ST":0,"DA":{"RAW":[)";
    for (int i = 0; i < 200; ++i) {
        reply += (i ? "," : "") + std::to_string((i * 37) & 0xFF);
    }
    reply += "]}}]}}";
    CDataStream bytes;
    for (auto _ : state) {
        SipJson message;
        message.LoadReceivedText(reply);
        const bool got = message.HasReplyData() && message.GetCmdDataStream(0, bytes);
        benchmark::DoNotOptimize(got);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SipJsonReadRawReply);

}  // namespace

BENCHMARK_MAIN();
