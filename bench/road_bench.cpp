// The first main road under load, through CMPI: the built module hosted by
// the embedded CIMOM as cimhost hosts it (registrations loaded, a listener
// subscribed in the interop namespace) turns system-log events pushed by the
// agent simulator into indications handed to the listener.
//
// - BM_SustainedSystemLog: a pushing thread keeps events coming while the
//   module delivers them; every event is a distinct log entry, and what the
//   listener received is checked for loss, duplicates and order (the bench
//   fails on any). events/s is from the first push to the last delivery.
// - BM_PushToListenerLatency: one entry at a time, from just before the push
//   command goes to the simulator until the listener has it; median and
//   99th percentile.
// - BM_AgentRequestRoundTrip: one agent request alone, for scale.
//
// Needs a test build (QMS_TEST_BUILD): the simulator serves under a private
// root that the module's system paths are redirected to.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/AgentRoundTrip.h"
#include "bench/BenchSupport.h"
#include "bench/HostedModule.h"
#include "common/RqbdSim.h"
#include "core/Cimom.h"
#include "core/IndicationService.h"

namespace {

typedef qmsbench::Clock Clock;

// The entry numbers of the log-entry indications the listener received, in
// arrival order (read from EventID, "LogMessage_<hex number>").
class EntryListener : public cimhost::DeliverySink {
public:
    void deliver(const cimhost::Instance&, const cimhost::ObjectPath&,
                 const cimhost::Instance& indication) override {
        const cimhost::Value* id = indication.properties.find("EventID");
        const std::string text = id ? id->asText() : std::string();
        const size_t underscore = text.rfind('_');
        const unsigned long entry =
            underscore == std::string::npos ? 0 : std::strtoul(text.c_str() + underscore + 1, nullptr, 16);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            entries_.push_back(entry);
            last_ = Clock::now();
        }
        changed_.notify_all();
    }
    // Waits until n entries have arrived; the time the n-th came, or false.
    bool waitFor(size_t n, Clock::time_point& at, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, limit, [&] { return entries_.size() >= n; })) return false;
        at = last_;
        return true;
    }
    std::vector<unsigned long> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<unsigned long> out;
        out.swap(entries_);
        return out;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<unsigned long> entries_;
    Clock::time_point last_;
};

struct Road {
    std::unique_ptr<qmsbench::SimControl> control;
    std::shared_ptr<EntryListener> listener;
    unsigned long nextEntry = 0x1000;
};
Road* g_road = nullptr;

bool pushEntry(unsigned long entry) {
    bool ok = false;
    const std::string n = std::to_string(entry);
    return g_road->control->run("[\"push-syslog\",\"" + n + "\",\"--text\",\"road entry " + n + "\"]", ok) ==
               "1\n" &&
           ok;
}

// What arrived against what was pushed: null when every entry came once, in
// order.
const char* checkArrivals(const std::vector<unsigned long>& got, unsigned long first, size_t count) {
    if (got.size() < count) return "indications lost";
    if (got.size() > count) return "indications duplicated";
    for (size_t i = 0; i < count; ++i)
        if (got[i] != first + i)
            return std::count(got.begin(), got.end(), got[i]) > 1 ? "indications duplicated"
                                                                  : "indications out of order";
    return nullptr;
}

void BM_SustainedSystemLog(benchmark::State& state) {
    const size_t events = static_cast<size_t>(state.range(0));
    Road& road = *g_road;
    const long requestsBefore = road.control->requests();
    double seconds = 0;
    size_t delivered = 0;
    for (auto _ : state) {
        road.listener->take();
        const unsigned long first = road.nextEntry;
        road.nextEntry += events;
        bool pushedAll = true;
        const Clock::time_point start = Clock::now();
        std::thread pusher([&] {
            for (size_t i = 0; i < events && pushedAll; ++i) pushedAll = pushEntry(first + i);
        });
        Clock::time_point lastAt;
        const bool arrived = road.listener->waitFor(events, lastAt, std::chrono::seconds(60));
        pusher.join();
        // Anything beyond the count (a duplicate) would come right behind.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const char* error = !pushedAll ? "push failed"
                            : !arrived ? "indications lost"
                                       : checkArrivals(road.listener->take(), first, events);
        if (error) {
            state.SkipWithError(error);
            return;
        }
        seconds += std::chrono::duration<double>(lastAt - start).count();
        delivered += events;
    }
    state.counters["events/s"] = seconds > 0 ? static_cast<double>(delivered) / seconds : 0;
    const long requestsAfter = road.control->requests();
    if (delivered && requestsBefore >= 0 && requestsAfter >= requestsBefore)
        state.counters["requests/event"] = static_cast<double>(requestsAfter - requestsBefore) / delivered;
}
BENCHMARK(BM_SustainedSystemLog)->Arg(2000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PushToListenerLatency(benchmark::State& state) {
    Road& road = *g_road;
    std::vector<double> micros;
    road.listener->take();
    size_t received = 0;
    for (auto _ : state) {
        const Clock::time_point pushedAt = Clock::now();
        if (!pushEntry(road.nextEntry++)) {
            state.SkipWithError("push failed");
            return;
        }
        Clock::time_point deliveredAt;
        if (!road.listener->waitFor(++received, deliveredAt, std::chrono::seconds(10))) {
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
BENCHMARK(BM_PushToListenerLatency)->Iterations(400)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_AgentRequestRoundTrip(benchmark::State& state) { qmsbench::agentRoundTrips(state, "RoadBench"); }
BENCHMARK(BM_AgentRequestRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (!qmsbench::start(argc, argv, "road_bench", exitCode)) return exitCode;
    qmstest::RqbdSim sim(qmstest::RqbdSim::scenarioDir() + "/sample.json");
    sim.makeTraceDir();

    Road road;
    road.control = std::make_unique<qmsbench::SimControl>(sim.path("/run/rqbd-sim.ctl"));
    road.listener = std::make_shared<EntryListener>();
    if (const std::unique_ptr<cimhost::Cimom> cimom = qmsbench::hostModule("road_bench")) {
        cimom->addSink(road.listener);
        bool ok = false;
        if (qmsbench::subscribeListener(*cimom, "road", "SELECT * FROM QMS_VRXLogEntryArrived",
                                        "http://road-bench:5988")
                .empty() ||
            (road.control->run("[\"wait-subscribers\",\"1\"]", ok), !ok)) {
            std::fprintf(stderr, "road_bench: the module's indication provider did not come up\n");
            exitCode = 1;
        } else {
            g_road = &road;
            benchmark::RunSpecifiedBenchmarks();
            g_road = nullptr;
        }
    } else {
        exitCode = 1;
    }
    benchmark::Shutdown();
    return exitCode;
}
