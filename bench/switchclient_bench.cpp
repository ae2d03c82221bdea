// Round trip of one small agent request (the cabinet-number query) through
// CimSwitchClient::request against the agent simulator, beside a bare
// blocking client on its own socket to the same daemon: connect, handshake,
// then write the same frame and read the reply. The difference is what the
// module's layers cost on top of the socket exchange: the task-thread
// hand-over, the SipJson build and parse, and the readiness polls.
//
// Needs a test build (QMS_TEST_BUILD): the simulator serves under a private
// root that the module's system paths are redirected to.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "common/RqbdSim.h"
#include "switchclient/CimSwitchClient.h"
#include "switchclient/SipJson.h"

namespace {

qmstest::RqbdSim* g_sim = nullptr;

SipJson* newCabinetRequest() {
    auto* message = new SipJson;
    message->GetCmd();
    message->SetCmdParam("OC", 0xE204);
    return message;
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

void BM_CimSwitchClientRequest(benchmark::State& state) {
    ShPtr<provider::CimSwitchClient> client = provider::newCimSwitchClient("SwitchClientBench", nullptr);
    {
        std::unique_ptr<SipJson> warmUp(newCabinetRequest());
        if (client->request(*warmUp, nullptr) != 0) {
            state.SkipWithError("the client could not reach the simulator");
            return;
        }
    }
    for (auto _ : state) {
        std::unique_ptr<SipJson> message(newCabinetRequest());
        long error = 0;
        benchmark::DoNotOptimize(client->request(*message, &error));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CimSwitchClientRequest)->UseRealTime();

void BM_BareClientRoundTrip(benchmark::State& state) {
    BareClient client(g_sim->path("/dev/rqbdsj"));
    if (!client.ok()) {
        state.SkipWithError("no connection to the simulator");
        return;
    }
    std::unique_ptr<SipJson> message(newCabinetRequest());
    const std::string text = message->ToString();
    std::string reply;
    for (auto _ : state) {
        if (!client.exchange(text, reply)) {
            state.SkipWithError("exchange failed");
            break;
        }
        benchmark::DoNotOptimize(reply.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareClientRoundTrip)->UseRealTime();

// Prints as usual and keeps each benchmark's real time per iteration, so the
// ratio of the two can be reported at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (!qmsbench::start(argc, argv, "switchclient_bench", exitCode)) return exitCode;
    qmstest::RqbdSim sim;
    g_sim = &sim;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto module = reporter.times.find("BM_CimSwitchClientRequest/real_time");
    const auto bare = reporter.times.find("BM_BareClientRoundTrip/real_time");
    if (module != reporter.times.end() && bare != reporter.times.end() && bare->second > 0) {
        std::printf("CimSwitchClient::request / bare client round trip: %.2f\n",
                    module->second / bare->second);
    }
    g_sim = nullptr;
    benchmark::Shutdown();
    return 0;
}
