// The first main road under load: the built module, hosted as cimhost hosts
// it, turns system-log events pushed by the agent simulator into delivered
// indications.
//
// - BM_SystemLogEventsDelivered: sustained rate. Each round pushes a batch of
//   entries and waits until the handler has had all of them; every entry
//   costs the module several agent requests (reported per event).
// - BM_PushToHandlerLatency: one entry at a time, from just before the push
//   command goes to the simulator until the handler is called; median and
//   99th percentile.
// - BM_AgentRequestRoundTrip: one CimSwitchClient::request against the same
//   daemon, for scale.
//
// Needs a test build (QMS_TEST_BUILD): the simulator serves under a private
// root that the module's system paths are redirected to.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ProviderHost.h"
#include "bench/AgentRoundTrip.h"
#include "bench/BenchSupport.h"
#include "common/RqbdSim.h"

namespace {

typedef qmsbench::Clock Clock;

struct Road {
    qmstest::RqbdSim* sim = nullptr;
    std::unique_ptr<qmsbench::SimControl> control;
    qmsbench::Deliveries deliveries;
};
Road* g_road = nullptr;

void BM_SystemLogEventsDelivered(benchmark::State& state) {
    const size_t batch = static_cast<size_t>(state.range(0));
    Road& road = *g_road;
    const long requestsBefore = road.control->requests();
    size_t pushed = 0;
    for (auto _ : state) {
        if (const char* error = qmsbench::deliverBatch(*road.control, road.deliveries, batch)) {
            state.SkipWithError(error);
            return;
        }
        pushed += batch;
    }
    state.SetItemsProcessed(static_cast<int64_t>(pushed));
    const long requestsAfter = road.control->requests();
    if (pushed && requestsBefore >= 0 && requestsAfter >= requestsBefore)
        state.counters["requests/event"] = static_cast<double>(requestsAfter - requestsBefore) / pushed;
}
BENCHMARK(BM_SystemLogEventsDelivered)->Arg(50)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PushToHandlerLatency(benchmark::State& state) {
    Road& road = *g_road;
    std::vector<double> micros;
    for (auto _ : state) {
        const size_t target = road.deliveries.count() + 1;
        const Clock::time_point pushedAt = Clock::now();
        if (!road.control->pushSyslog(1)) {
            state.SkipWithError("push failed");
            return;
        }
        Clock::time_point deliveredAt;
        if (!road.deliveries.waitFor(target, deliveredAt)) {
            state.SkipWithError("indication missing");
            return;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(deliveredAt - pushedAt).count());
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["p50_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(BM_PushToHandlerLatency)->Iterations(400)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_AgentRequestRoundTrip(benchmark::State& state) { qmsbench::agentRoundTrips(state, "RoadBench"); }
BENCHMARK(BM_AgentRequestRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (!qmsbench::start(argc, argv, "road_bench", exitCode)) return exitCode;
    qmstest::RqbdSim sim(qmstest::RqbdSim::scenarioDir() + "/sample.json");
    mkdir(sim.path("/var").c_str(), 0755);
    mkdir(sim.path("/var/log").c_str(), 0755);
    mkdir(sim.path("/var/log/norvlog").c_str(), 0755);

    Road road;
    road.sim = &sim;
    road.control = std::make_unique<qmsbench::SimControl>(sim.path("/run/rqbd-sim.ctl"));
    {
        cimhost::ProviderHost host;
        if (!host.open(QMS_MODULE_PATH)) {
            std::fprintf(stderr, "road_bench: %s\n", host.error().c_str());
            return 1;
        }
        cimhost::HostedProvider provider(host.find("QMS_VRXLogEntryArrived_Provider"));
        bool ok = false;
        if (!provider.ok() || provider.load() != 0 ||
            provider.enableIndications([&road](const cimple::Instance*) { road.deliveries(); }) != 0 ||
            (road.control->run("[\"wait-subscribers\",\"1\"]", ok), !ok)) {
            std::fprintf(stderr, "road_bench: the module's indication provider did not come up\n");
            exitCode = 1;
        } else {
            g_road = &road;
            benchmark::RunSpecifiedBenchmarks();
            g_road = nullptr;
        }
    }
    benchmark::Shutdown();
    return exitCode;
}
