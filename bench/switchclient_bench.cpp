// The request road: one call of the agent command facade (request build,
// task-thread hand-over, exchange, reply parse and decoding of the reply
// data) against a bare blocking client's round trip of the very same frame
// on its own socket to the same simulator.
//
// BM_RequestRoad alternates the two per iteration, in one process, each side
// timed apart (ratio = facade / bare). The argument is
// the length of the log-entry text the reply carries: 0 asks for the cabinet
// number (a bare number comes back), otherwise the call is the facade's log
// chunk read (0x0B10) of an entry whose text is that long, answered as a
// "RAW" byte array, which the facade decodes into a log entry; that call also
// asks for the time zone, so the bare side sends both frames too.
//
// BM_FacadeOnly and BM_BareOnly run one side alone, with a fixed iteration
// count taken from QMS_BENCH_ITERATIONS (default: the library decides), so
// that system calls and instructions per request can be had from two runs
// of different counts: see bench/count_per_operation.sh.
//
// `sleeps` (`sleeps_pair` for both sides together) is how often the
// process's threads went to sleep per call: about one per agent request
// when the task thread's hand-overs are watched for (the worker's wait for
// the reply), about three when they sleep.
//
// Needs a test build (QMS_TEST_BUILD): the simulator serves under a private
// root that the module's system paths are redirected to.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "common/RqbdSim.h"
#include "switchclient/CimSwitchClient.h"
#include "switchclient/SipJson.h"
#include "tolm/TOLMCalls.h"

namespace {

qmstest::RqbdSim* g_sim = nullptr;

constexpr unsigned kOpcodeCabinetNumber = 0xE204;
constexpr unsigned kOpcodeLogReadChunk = 0x0B10;
constexpr unsigned kOpcodeConfRead = 0xE001;
constexpr unsigned kConfTimeZone = 0x020E;
// Log entries of the scenario, one per text length measured.
constexpr int64_t kTextLengths[] = {0, 100, 4096};

// The request for a text of textLength bytes, built as the facade builds it.
std::unique_ptr<SipJson> newRequest(int64_t textLength) {
    if (textLength == 0) {
        auto message = std::make_unique<SipJson>();
        message->GetCmd();
        message->SetCmdParam("OC", kOpcodeCabinetNumber);
        return message;
    }
    auto message = std::make_unique<SipJson>(kOpcodeLogReadChunk, 0, 0, 0, SipJson::kNoStatus);
    message->SetDataUIntValue(static_cast<unsigned>(textLength), 0);
    return message;
}

// One entry per length, numbered by its length; a chunk holds one entry.
std::string writeScenario() {
    std::string log;
    for (const int64_t length : kTextLengths) {
        if (length == 0) continue;
        if (!log.empty()) log += ",";
        log += "{\"number\":" + std::to_string(length) +
               ",\"severity\":2,\"messageNumber\":4660,\"attributes\":1,\"time\":1700000000,\"text\":\"" +
               std::string(static_cast<size_t>(length), 'x') + "\"}";
    }
    const std::string path = "/tmp/switchclient_bench." + std::to_string(getpid()) + ".json";
    std::ofstream(path) << "{\"cabinet\":0,\"chunkSize\":1,\"systemLog\":[" << log << "]}";
    return path;
}

// A plain blocking client: nothing but the framing and one handshake.
class BareClient {
public:
    explicit BareClient(const std::string& path) {
        fd_ = qmsbench::connectUnix(path);
        if (fd_ < 0) return;
        std::string raw;
        static const char name[] = "bare-bench";
        for (size_t i = 0; i < 218; ++i) {
            const unsigned byte = i < sizeof name ? static_cast<unsigned char>(name[i]) : 0;
            raw += (i ? "," : "") + std::to_string(byte);
        }
        std::string reply;
        ok_ = exchange(R"({"SIP":{"V":1,"CMD":[{"OC":65440,"OE":4352,"CA":0,"DA":{"RAW":[)" + raw + "]}}]}}",
                       reply);
    }
    ~BareClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return ok_; }

    bool exchange(const std::string& text, std::string& reply) {
        const uint32_t length = static_cast<uint32_t>(text.size() + 1);
        std::string frame(reinterpret_cast<const char*>(&length), 4);
        frame += text;
        frame.push_back('\0');
        if (!writeAll(frame.data(), frame.size())) return false;
        uint32_t replyLength = 0;
        if (!readAll(&replyLength, 4) || replyLength > (1u << 24)) return false;
        reply.resize(replyLength);
        return readAll(&reply[0], replyLength);
    }

private:
    bool writeAll(const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = send(fd_, data, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    bool readAll(void* buffer, size_t size) {
        char* at = static_cast<char*>(buffer);
        while (size > 0) {
            const ssize_t n = read(fd_, at, size);
            if (n <= 0) return false;
            at += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    int fd_ = -1;
    bool ok_ = false;
};

// The module's side of one request: the agent command facade's call, which
// builds the request, hands it to the task thread and decodes the reply.
// False when the agent did not answer with what was asked.
bool facadeRequest(provider::TOLMCalls& calls, int64_t textLength,
                   std::vector<provider::LogMessage>& entries) {
    try {
        if (textLength == 0) return calls.getIdentificationCabinetNumber() == 0;
        provider::TOLMKey key;
        return calls.getLogMessageReadChunk(key, static_cast<unsigned>(textLength), entries) == 1 &&
               entries[0].text.size() == static_cast<size_t>(textLength);
    } catch (...) {
        return false;
    }
}

struct Sides {
    ShPtr<provider::TOLMCalls> calls;
    std::unique_ptr<BareClient> bare;
    std::vector<std::string> frameTexts;  // what the facade call sends, in order

    // replyBytes: what the agent answered to the frames, together.
    bool bareExchange(std::string& reply) {
        replyBytes = 0;
        for (const std::string& text : frameTexts) {
            if (!bare->exchange(text, reply)) return false;
            replyBytes += reply.size();
        }
        return true;
    }
    size_t replyBytes = 0;
};

// Both clients up and the module's first request done (it attaches); null
// after a SkipWithError.
std::unique_ptr<Sides> setUp(benchmark::State& state, int64_t textLength) {
    auto sides = std::make_unique<Sides>();
    std::vector<provider::LogMessage> entries;
    try {
        sides->calls = provider::newTOLMCalls("SwitchClientBench");
    } catch (...) {
    }
    if (!sides->calls || !facadeRequest(*sides->calls, textLength, entries)) {
        state.SkipWithError("the client could not reach the simulator");
        return nullptr;
    }
    sides->bare = std::make_unique<BareClient>(g_sim->path("/dev/rqbdsj"));
    if (!sides->bare->ok()) {
        state.SkipWithError("no connection to the simulator");
        return nullptr;
    }
    sides->frameTexts.push_back(newRequest(textLength)->ToString());
    // A log chunk's times are shown in the agent's configured time zone,
    // which the facade asks for with every chunk.
    if (textLength != 0)
        sides->frameTexts.push_back(
            SipJson(kOpcodeConfRead, kConfTimeZone, 0, 0xFFFFFFFFu, SipJson::kNoStatus).ToString());
    return sides;
}

void BM_RequestRoad(benchmark::State& state) {
    const int64_t textLength = state.range(0);
    std::unique_ptr<Sides> sides = setUp(state, textLength);
    if (!sides) return;
    std::vector<provider::LogMessage> entries;
    std::string reply;
    qmsbench::Alternation pair("facade", "bare");
    const qmsbench::Sleeps sleeps;
    const bool done = pair.run(
        state,
        [&]() -> const char* {
            return facadeRequest(*sides->calls, textLength, entries) ? nullptr : "facade request failed";
        },
        [&]() -> const char* { return sides->bareExchange(reply) ? nullptr : "bare exchange failed"; });
    if (!done) return;
    state.counters["reply_B"] = static_cast<double>(sides->replyBytes);
    sleeps.report(state, "sleeps_pair");
}

void BM_FacadeOnly(benchmark::State& state) {
    const int64_t textLength = state.range(0);
    std::unique_ptr<Sides> sides = setUp(state, textLength);
    if (!sides) return;
    std::vector<provider::LogMessage> entries;
    const qmsbench::Sleeps sleeps;
    for (auto _ : state) {
        if (!facadeRequest(*sides->calls, textLength, entries)) {
            state.SkipWithError("facade request failed");
            return;
        }
    }
    sleeps.report(state);
    state.SetItemsProcessed(state.iterations());
}

void BM_BareOnly(benchmark::State& state) {
    const int64_t textLength = state.range(0);
    std::unique_ptr<Sides> sides = setUp(state, textLength);
    if (!sides) return;
    std::string reply;
    const qmsbench::Sleeps sleeps;
    for (auto _ : state) {
        if (!sides->bareExchange(reply)) {
            state.SkipWithError("bare exchange failed");
            return;
        }
    }
    sleeps.report(state);
    state.SetItemsProcessed(state.iterations());
}

void registerAll() {
    const char* fixed = std::getenv("QMS_BENCH_ITERATIONS");
    const long iterations = fixed != nullptr ? std::atol(fixed) : 0;
    auto* road = benchmark::RegisterBenchmark("BM_RequestRoad", BM_RequestRoad);
    auto* facade = benchmark::RegisterBenchmark("BM_FacadeOnly", BM_FacadeOnly);
    auto* bare = benchmark::RegisterBenchmark("BM_BareOnly", BM_BareOnly);
    for (auto* b : {road, facade, bare}) {
        for (const int64_t length : kTextLengths) b->Arg(length);
        b->UseRealTime()->Unit(benchmark::kMicrosecond);
        if (iterations > 0) b->Iterations(iterations);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (!qmsbench::start(argc, argv, "switchclient_bench", exitCode)) return exitCode;
    const std::string scenario = writeScenario();
    {
        qmstest::RqbdSim sim(scenario);
        g_sim = &sim;
        registerAll();
        benchmark::RunSpecifiedBenchmarks();
        g_sim = nullptr;
    }
    std::remove(scenario.c_str());
    benchmark::Shutdown();
    return 0;
}
