// What the CMPI path costs: the same operations of the registration service
// through the embedded CIMOM (client call -> CMPI MI -> adapter -> dispatch
// procedure, instances converted both ways) and straight through the dispatch
// procedure, in the same process, on the same module instance and against
// the same agent simulator.
//
// Each benchmark runs its CMPI and its dispatch side alternately in one loop
// and prints each side's time and their ratio. Every operation runs the
// model's account check, agent requests, so both sides include those round
// trips (requests/op counts them; BM_AgentBaseline shows one alone); the
// difference between the sides is the CIMOM and adapter's share.
//
// Needs a test build (QMS_TEST_BUILD): the simulator serves under a private
// root that the module's system paths are redirected to.
#include <cimple/Instance.h>
#include <cimple/Ref.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ProviderHost.h"
#include "bench/AgentRoundTrip.h"
#include "bench/BenchSupport.h"
#include "bench/HostedModule.h"
#include "common/RqbdSim.h"
#include "core/Cimom.h"
#include "core/IndicationService.h"

namespace {

const char kService[] = "QMS_VRXIndicationRegistrationService";

struct Hosts {
    cimhost::Cimom* cimom = nullptr;
    cimhost::ProviderHost* host = nullptr;
    cimhost::HostedProvider* direct = nullptr;
    const qmsbench::SimControl* control = nullptr;
    cimhost::ObjectPath servicePath;            // as a CIM client names it
    cimple::Ref<cimple::Instance> serviceKeys;  // as the dispatch procedure takes it
};
Hosts* g_hosts = nullptr;

// Runs a CMPI / dispatch pair alternately (ratio = cmpi / dispatch) and
// counts the agent requests one operation costs, which both sides pay alike.
template <class Cmpi, class Dispatch>
void comparePair(benchmark::State& state, Cmpi&& cmpi, Dispatch&& dispatch) {
    const long requestsBefore = g_hosts->control->requests();
    qmsbench::Alternation pair("cmpi", "dispatch");
    if (!pair.run(state, cmpi, dispatch)) return;
    const long requestsAfter = g_hosts->control->requests();
    if (requestsBefore >= 0 && requestsAfter >= requestsBefore && state.iterations() > 0)
        state.counters["requests/op"] = static_cast<double>(requestsAfter - requestsBefore) /
                                        (2.0 * static_cast<double>(state.iterations()));
    state.SetItemsProcessed(state.iterations());
}

void BM_GetInstance(benchmark::State& state) {
    comparePair(
        state,
        []() -> const char* {
            cimhost::Instance found;
            return g_hosts->cimom->getInstance(g_hosts->servicePath, &found).ok() ? nullptr
                                                                                  : "get instance failed";
        },
        []() -> const char* {
            cimple::Ref<cimple::Instance> found;
            return g_hosts->direct->getInstance(g_hosts->serviceKeys.get(), found) == 0
                       ? nullptr
                       : "get instance failed";
        });
}
BENCHMARK(BM_GetInstance)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_EnumerateInstances(benchmark::State& state) {
    comparePair(
        state,
        []() -> const char* {
            std::vector<cimhost::Instance> found;
            const bool ok = g_hosts->cimom->enumerateInstances("root/qms", kService, &found).ok();
            return ok && found.size() == 1 ? nullptr : "enumeration failed";
        },
        []() -> const char* {
            std::vector<cimple::Ref<cimple::Instance>> found;
            return g_hosts->direct->enumInstances(found) == 0 && found.size() == 1 ? nullptr
                                                                                   : "enumeration failed";
        });
}
BENCHMARK(BM_EnumerateInstances)->UseRealTime()->Unit(benchmark::kMicrosecond);

// SendTestIndication with nobody subscribed: the method runs its account
// check and answers 1 (no handler), touching nothing else.
void BM_InvokeMethod(benchmark::State& state) {
    comparePair(
        state,
        []() -> const char* {
            cimhost::NamedValues out;
            cimhost::Value rv;
            const bool ok =
                g_hosts->cimom->invokeMethod(g_hosts->servicePath, "SendTestIndication", {}, &out, &rv).ok();
            return ok && !rv.isNull() ? nullptr : "method call failed";
        },
        []() -> const char* {
            cimple::Ref<cimple::Instance> record = g_hosts->direct->methodRecord("SendTestIndication");
            return record && g_hosts->direct->invokeMethod(g_hosts->serviceKeys.get(), record.get()) == 0
                       ? nullptr
                       : "method call failed";
        });
}
BENCHMARK(BM_InvokeMethod)->UseRealTime()->Unit(benchmark::kMicrosecond);

class CountingSink : public cimhost::DeliverySink {
public:
    explicit CountingSink(qmsbench::Deliveries& deliveries) : deliveries_(deliveries) {}
    void deliver(const cimhost::Instance&, const cimhost::ObjectPath&, const cimhost::Instance&) override {
        deliveries_();
    }

private:
    qmsbench::Deliveries& deliveries_;
};

// One way of receiving the log-entry indications, switched on and off
// between the timed batches: both ways drive the same module instance, which
// has one indication handler, so they cannot be on together.
struct Receiver {
    std::function<bool()> on;
    std::function<void()> off;
    qmsbench::Deliveries deliveries;
};

// The system-log road to a listener subscribed in the interop namespace
// (indication MI, delivery from the module's thread through the broker, WQL
// match, sink) against the same road to a handler given straight to the
// dispatch procedure, a batch of entries each, alternating (ratio = cmpi /
// dispatch). Switching a receiver on and off is not timed.
void BM_LogEntriesDelivered(benchmark::State& state) {
    const size_t batch = static_cast<size_t>(state.range(0));
    Receiver cmpi, dispatch;
    auto sink = std::make_shared<CountingSink>(cmpi.deliveries);
    std::vector<cimhost::ObjectPath> made;
    cmpi.on = [&] {
        g_hosts->cimom->addSink(sink);
        made = qmsbench::subscribeListener(
            *g_hosts->cimom, "bench", "SELECT * FROM QMS_VRXLogEntryArrived WHERE PerceivedSeverity >= 2",
            "http://bench:5988");
        return !made.empty();
    };
    cmpi.off = [&] {
        for (const cimhost::ObjectPath& p : made) g_hosts->cimom->deleteInstance(p);
        made.clear();
        g_hosts->cimom->removeSink(sink);
    };
    cimhost::HostedProvider logEntry(g_hosts->host->find("QMS_VRXLogEntryArrived_Provider"));
    if (!logEntry.ok() || logEntry.load() != 0) {
        state.SkipWithError("the log-entry provider did not come up directly");
        return;
    }
    dispatch.on = [&] {
        return logEntry.enableIndications([&dispatch](const cimple::Instance*) { dispatch.deliveries(); }) ==
               0;
    };
    dispatch.off = [&] { logEntry.disableIndications(); };

    qmsbench::Clock::duration spent[2]{};
    bool cmpiFirst = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const int side = (turn == 0) == cmpiFirst ? 0 : 1;
            Receiver& r = side == 0 ? cmpi : dispatch;
            state.PauseTiming();
            bool subscribed = false;
            if (r.on()) g_hosts->control->run("[\"wait-subscribers\",\"1\"]", subscribed);
            state.ResumeTiming();
            const qmsbench::Clock::time_point start = qmsbench::Clock::now();
            const char* error = subscribed ? qmsbench::deliverBatch(*g_hosts->control, r.deliveries, batch)
                                           : "the module did not subscribe to the agent's events";
            spent[side] += qmsbench::Clock::now() - start;
            state.PauseTiming();
            r.off();
            state.ResumeTiming();
            if (error) {
                state.SkipWithError(error);
                return;
            }
        }
        cmpiFirst = !cmpiFirst;
    }
    const double n = static_cast<double>(state.iterations());
    const double ms[2] = {std::chrono::duration<double, std::milli>(spent[0]).count() / n,
                          std::chrono::duration<double, std::milli>(spent[1]).count() / n};
    state.counters["cmpi_ms"] = ms[0];
    state.counters["dispatch_ms"] = ms[1];
    state.counters["ratio"] = ms[1] > 0 ? ms[0] / ms[1] : 0;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 2 * batch));
}
BENCHMARK(BM_LogEntriesDelivered)->Arg(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// One agent request alone, for scale: each operation above costs the
// number of them its requests/op counter shows.
void BM_AgentBaseline(benchmark::State& state) { qmsbench::agentRoundTrips(state, "CmpiBench"); }
BENCHMARK(BM_AgentBaseline)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (!qmsbench::start(argc, argv, "cmpi_bench", exitCode)) return exitCode;
    qmstest::RqbdSim sim(qmstest::RqbdSim::scenarioDir() + "/sample.json");
    sim.makeTraceDir();
    const std::unique_ptr<cimhost::Cimom> hosted = qmsbench::hostModule("cmpi_bench");
    if (!hosted) return 1;
    cimhost::Cimom& cimom = *hosted;
    std::vector<cimhost::Instance> services;
    cimhost::Status st = cimom.enumerateInstances("root/qms", kService, &services);
    if (!st.ok() || services.size() != 1) {
        std::fprintf(stderr, "cmpi_bench: the service is not there: %s\n", st.message.c_str());
        return 1;
    }

    // The same library, already loaded by the CIMOM, driven directly. (None
    // of the operations measured calls back into a CIMOM, which a direct
    // call could not reach.)
    cimhost::ProviderHost host;
    if (!host.open(QMS_MODULE_DIR "/libVRXIndication_Provider.so")) {
        std::fprintf(stderr, "cmpi_bench: %s\n", host.error().c_str());
        return 1;
    }
    {
        cimhost::HostedProvider direct(host.find("QMS_VRXIndicationRegistrationService_Provider"));
        std::vector<cimple::Ref<cimple::Instance>> found;
        if (!direct.ok() || direct.load() != 0 || direct.enumInstances(found) != 0 || found.size() != 1) {
            std::fprintf(stderr, "cmpi_bench: the provider did not come up directly\n");
            return 1;
        }
        qmsbench::SimControl control(sim.path("/run/rqbd-sim.ctl"));
        Hosts hosts;
        hosts.cimom = &cimom;
        hosts.host = &host;
        hosts.direct = &direct;
        hosts.control = &control;
        hosts.servicePath = services[0].path;
        hosts.serviceKeys = found[0];
        g_hosts = &hosts;
        benchmark::RunSpecifiedBenchmarks();
        g_hosts = nullptr;
    }
    benchmark::Shutdown();
    return exitCode;
}
