// What the HTTP leg of indication delivery costs: system-log entries pushed
// by the agent simulator, turned into indications by the module in the
// embedded CIMOM, matched against one subscription, and counted either where
// the CIMOM hands them to an in-process sink (the baseline) or where a
// CIM-XML listener on a loopback socket has received them from the exporter
// (ExportIndication over a kept-alive HTTP connection). Both run in the same
// process against the same module and simulator, batch by batch in turn; at
// the end the two rates, their ratio and any loss are printed. The listener
// parses every indication as a listener process would, then only counts it,
// as the sink does.
//
// Needs a test build (QMS_TEST_BUILD): the simulator serves under a private
// root that the module's system paths are redirected to.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "bench/BenchSupport.h"
#include "bench/HostedModule.h"
#include "common/RqbdSim.h"
#include "core/Cimom.h"
#include "core/IndicationService.h"
#include "export/Exporter.h"
#include "listener/Listener.h"

namespace {

struct Road {
    cimhost::Cimom* cimom = nullptr;
    cimhost::listener::Listener* listener = nullptr;
    const qmsbench::SimControl* control = nullptr;
};
Road* g_road = nullptr;

// Indications per second over every iteration of each benchmark, and the
// CPU time this process (CIMOM, module, exporter, listener; not the
// simulator) spent per indication: on a busy machine the rates move with the
// neighbours' load, the CPU time much less.
struct Rate {
    size_t items = 0;
    double seconds = 0;
    double cpuSeconds = 0;
    double perSecond() const { return seconds > 0 ? items / seconds : 0; }
    double cpuMicros() const { return items ? cpuSeconds * 1e6 / items : 0; }
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
Rate g_sinkRate, g_httpRate;
size_t g_httpPushed = 0;
// What the listener received. It counts as the in-process sink counts and
// keeps nothing, so that both roads end in the same bookkeeping.
qmsbench::Deliveries g_received;

bool receivedWithin(size_t target) {
    qmsbench::Clock::time_point at;
    return g_received.waitFor(target, at);
}

class CountingSink : public cimhost::DeliverySink {
public:
    void deliver(const cimhost::Instance&, const cimhost::ObjectPath&, const cimhost::Instance&) override {
        deliveries();
    }
    qmsbench::Deliveries deliveries;
};

// Pushes `batch` entries and waits until `received` shows them all arrived;
// adds what it took to `rate`. The reason when it failed, else null.
template <class Received, class Wait>
const char* pushBatch(size_t batch, Rate& rate, Received received, Wait wait) {
    const auto start = qmsbench::Clock::now();
    const double cpuStart = processCpuSeconds();
    const size_t target = received() + batch;
    for (size_t i = 0; i < batch; ++i)
        if (!g_road->control->pushSyslog(1 + i % 4)) return "push failed";
    if (!wait(target)) return "indications missing";
    rate.items += batch;
    rate.seconds += std::chrono::duration<double>(qmsbench::Clock::now() - start).count();
    rate.cpuSeconds += processCpuSeconds() - cpuStart;
    return nullptr;
}

// Each iteration one batch ends at the in-process sink and one at the
// listener, which goes first alternating: a neighbour's load that comes and
// goes falls on both roads alike.
void BM_Delivered_SinkAndHttpInTurn(benchmark::State& state) {
    bool ok = false;
    g_road->control->run("[\"wait-subscribers\",\"1\"]", ok);
    if (!ok) {
        state.SkipWithError("the module did not subscribe to the agent's events");
        return;
    }
    auto sink = std::make_shared<CountingSink>();
    auto exporter = std::make_shared<cimhost::Exporter>();
    const size_t batch = static_cast<size_t>(state.range(0));
    const size_t before = g_received.count();
    bool httpFirst = false;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const char* failed;
            if ((turn == 0) == httpFirst) {
                g_road->cimom->addSink(exporter);
                failed = pushBatch(
                    batch, g_httpRate, [] { return g_received.count(); }, receivedWithin);
                g_road->cimom->removeSink(exporter);
            } else {
                g_road->cimom->addSink(sink);
                failed = pushBatch(
                    batch, g_sinkRate, [&] { return sink->deliveries.count(); },
                    [&](size_t target) {
                        qmsbench::Clock::time_point at;
                        return sink->deliveries.waitFor(target, at);
                    });
                g_road->cimom->removeSink(sink);
            }
            if (failed) {
                state.SkipWithError(failed);
                return;
            }
        }
        httpFirst = !httpFirst;
    }
    exporter->stop();
    g_httpPushed += g_received.count() - before;
    for (const cimhost::ExportCounters& c : exporter->counters())
        if (c.droppedAfterRetries + c.droppedOverflow + c.droppedAtStop > 0)
            state.SkipWithError(("lost: " + cimhost::Exporter::describe(exporter->counters())).c_str());
    state.counters["sink_per_s"] = g_sinkRate.perSecond();
    state.counters["http_per_s"] = g_httpRate.perSecond();
    state.counters["http_adds_pct"] =
        g_httpRate.perSecond() > 0 ? (g_sinkRate.perSecond() / g_httpRate.perSecond() - 1) * 100 : 0;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch * 2));
}
BENCHMARK(BM_Delivered_SinkAndHttpInTurn)->Arg(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// The HTTP leg alone: indications handed straight to an exporter, counted
// at the listener. The indication is the last one the road delivered, so
// that its size is a real one.
cimhost::Instance g_sample;
Rate g_exportRate;

class SampleSink : public cimhost::DeliverySink {
public:
    void deliver(const cimhost::Instance&, const cimhost::ObjectPath&, const cimhost::Instance& i) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sample_.className().empty()) sample_ = i;
    }
    bool take(cimhost::Instance* out) {
        std::lock_guard<std::mutex> lock(mutex_);
        *out = sample_;
        return !sample_.className().empty();
    }

private:
    std::mutex mutex_;
    cimhost::Instance sample_;
};

void BM_Exported_HttpOnly(benchmark::State& state) {
    cimhost::Exporter exporter;
    cimhost::Instance destination;
    destination.path.className = "CIM_ListenerDestinationCIMXML";
    destination.properties.set("Destination", cimhost::Value::string(g_road->listener->url("/direct")));
    cimhost::ObjectPath subscription;
    subscription.className = "CIM_IndicationSubscription";
    const size_t batch = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        const auto start = qmsbench::Clock::now();
        const double cpuStart = processCpuSeconds();
        const size_t target = g_received.count() + batch;
        for (size_t i = 0; i < batch; ++i) exporter.deliver(destination, subscription, g_sample);
        if (!receivedWithin(target)) {
            state.SkipWithError("indications missing");
            return;
        }
        g_exportRate.items += batch;
        g_exportRate.seconds += std::chrono::duration<double>(qmsbench::Clock::now() - start).count();
        g_exportRate.cpuSeconds += processCpuSeconds() - cpuStart;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch));
}
BENCHMARK(BM_Exported_HttpOnly)->Arg(50)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (!qmsbench::start(argc, argv, "export_bench", exitCode)) return exitCode;
    qmstest::RqbdSim sim(qmstest::RqbdSim::scenarioDir() + "/sample.json");
    sim.makeTraceDir();
    // Each benchmark adds the sink it measures; the HTTP one its own exporter.
    const std::unique_ptr<cimhost::Cimom> hosted = qmsbench::hostModule("export_bench");
    if (!hosted) return 1;
    cimhost::Cimom& cimom = *hosted;
    cimhost::listener::Listener::Options listening;
    listening.handler = [](cimhost::listener::Delivery&&) {
        g_received();
        return true;
    };
    cimhost::listener::Listener listener(listening);
    const std::vector<cimhost::ObjectPath> made =
        qmsbench::subscribeListener(cimom, "bench", "SELECT * FROM QMS_VRXLogEntryArrived", listener.url());
    if (made.empty()) return 1;
    const cimhost::ObjectPath subscriptionPath = made[0];

    qmsbench::SimControl control(sim.path("/run/rqbd-sim.ctl"));
    Road road{&cimom, &listener, &control};
    {
        auto sample = std::make_shared<SampleSink>();
        cimom.addSink(sample);
        bool ok = false;
        control.run("[\"wait-subscribers\",\"1\"]", ok);
        control.pushSyslog(1);
        for (int i = 0; i < 500 && !sample->take(&g_sample); ++i) usleep(10000);
        cimom.removeSink(sample);
        if (g_sample.className().empty()) {
            std::fprintf(stderr, "export_bench: the road delivered nothing\n");
            return 1;
        }
    }
    g_road = &road;
    benchmark::RunSpecifiedBenchmarks();
    g_road = nullptr;
    cimom.deleteInstance(subscriptionPath);

    const double sink = g_sinkRate.perSecond(), http = g_httpRate.perSecond();
    std::printf(
        "\nin-process sink: %.0f indications/s, %.0f us CPU each; HTTP listener: %.0f indications/s, "
        "%.0f us CPU each (%zu received, %zu refused by the listener)\n"
        "HTTP/in-process: rate %.3f (the HTTP leg adds %.1f%% time per indication), CPU %.3f\n",
        sink, g_sinkRate.cpuMicros(), http, g_httpRate.cpuMicros(), g_httpPushed, listener.rejected(),
        sink > 0 ? http / sink : 0, http > 0 ? (sink / http - 1) * 100 : 0,
        g_sinkRate.cpuMicros() > 0 ? g_httpRate.cpuMicros() / g_sinkRate.cpuMicros() : 0);
    std::printf("the HTTP leg alone (exporter to listener, no agent): %.0f indications/s, %.0f us CPU each\n",
                g_exportRate.perSecond(), g_exportRate.cpuMicros());
    benchmark::Shutdown();
    return 0;
}
