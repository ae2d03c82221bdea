// What the CMPI path costs: the same operations of the registration service
// through the embedded CIMOM (client call -> CMPI MI -> adapter -> dispatch
// procedure, instances converted both ways) and straight through the dispatch
// procedure, in the same process, on the same module instance and against
// the same agent simulator.
//
// Every operation runs the model's account check, agent requests, so both
// columns include those round trips (BM_AgentBaseline shows one alone); the
// difference between a pair is the CIMOM and adapter's share.
//
// BM_LogEntriesDelivered_* push system-log entries and count what arrives:
// through the CMPI path at a listener subscribed in the interop namespace
// (indication MI, delivery from the module's thread through the broker, WQL
// match, sink), or at a handler given straight to the dispatch procedure.
//
// Needs a test build (QMS_TEST_BUILD): the simulator serves under a private
// root that the module's system paths are redirected to.
#include <cimple/Instance.h>
#include <cimple/Ref.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ProviderHost.h"
#include "bench/AgentRoundTrip.h"
#include "bench/BenchSupport.h"
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
    cimhost::ObjectPath servicePath;        // as a CIM client names it
    cimple::Ref<cimple::Instance> serviceKeys;  // as the dispatch procedure takes it
};
Hosts* g_hosts = nullptr;

void BM_GetInstance_Cmpi(benchmark::State& state) {
    for (auto _ : state) {
        cimhost::Instance found;
        if (!g_hosts->cimom->getInstance(g_hosts->servicePath, &found).ok()) {
            state.SkipWithError("get instance failed");
            return;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetInstance_Cmpi)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_GetInstance_Dispatch(benchmark::State& state) {
    for (auto _ : state) {
        cimple::Ref<cimple::Instance> found;
        if (g_hosts->direct->getInstance(g_hosts->serviceKeys.get(), found) != 0) {
            state.SkipWithError("get instance failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetInstance_Dispatch)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_EnumerateInstances_Cmpi(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<cimhost::Instance> found;
        if (!g_hosts->cimom->enumerateInstances("root/qms", kService, &found).ok() || found.size() != 1) {
            state.SkipWithError("enumeration failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnumerateInstances_Cmpi)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_EnumerateInstances_Dispatch(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<cimple::Ref<cimple::Instance>> found;
        if (g_hosts->direct->enumInstances(found) != 0 || found.size() != 1) {
            state.SkipWithError("enumeration failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnumerateInstances_Dispatch)->UseRealTime()->Unit(benchmark::kMicrosecond);

// SendTestIndication with nobody subscribed: the method runs its account
// check and answers 1 (no handler), touching nothing else.
void BM_InvokeMethod_Cmpi(benchmark::State& state) {
    for (auto _ : state) {
        cimhost::NamedValues out;
        cimhost::Value rv;
        if (!g_hosts->cimom->invokeMethod(g_hosts->servicePath, "SendTestIndication", {}, &out, &rv).ok() ||
            rv.isNull()) {
            state.SkipWithError("method call failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InvokeMethod_Cmpi)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_InvokeMethod_Dispatch(benchmark::State& state) {
    for (auto _ : state) {
        cimple::Ref<cimple::Instance> record = g_hosts->direct->methodRecord("SendTestIndication");
        if (!record || g_hosts->direct->invokeMethod(g_hosts->serviceKeys.get(), record.get()) != 0) {
            state.SkipWithError("method call failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InvokeMethod_Dispatch)->UseRealTime()->Unit(benchmark::kMicrosecond);

class CountingSink : public cimhost::DeliverySink {
public:
    void deliver(const cimhost::Instance&, const cimhost::ObjectPath&, const cimhost::Instance&) override {
        deliveries();
    }
    qmsbench::Deliveries deliveries;
};

cimhost::ObjectPath createInterop(const char* className, const cimhost::NamedValues& properties) {
    cimhost::Instance i;
    i.path.nameSpace = cimhost::kInteropNamespace;
    i.path.className = className;
    i.properties = properties;
    cimhost::ObjectPath created;
    g_hosts->cimom->createInstance(i, &created);
    return created;
}

void deliverBatches(benchmark::State& state, qmsbench::Deliveries& deliveries) {
    bool ok = false;
    g_hosts->control->run("[\"wait-subscribers\",\"1\"]", ok);
    if (!ok) {
        state.SkipWithError("the module did not subscribe to the agent's events");
        return;
    }
    const size_t batch = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        if (const char* error = qmsbench::deliverBatch(*g_hosts->control, deliveries, batch)) {
            state.SkipWithError(error);
            return;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch));
}

void BM_LogEntriesDelivered_Cmpi(benchmark::State& state) {
    auto sink = std::make_shared<CountingSink>();
    g_hosts->cimom->addSink(sink);
    cimhost::NamedValues filter, destination, subscription;
    filter.set("Name", cimhost::Value::string("bench"));
    filter.set("Query", cimhost::Value::string("SELECT * FROM QMS_VRXLogEntryArrived WHERE PerceivedSeverity >= 2"));
    filter.set("QueryLanguage", cimhost::Value::string("WQL"));
    filter.set("SourceNamespace", cimhost::Value::string("root/qms"));
    destination.set("Name", cimhost::Value::string("bench"));
    destination.set("Destination", cimhost::Value::string("http://bench:5988"));
    const cimhost::ObjectPath filterPath = createInterop("CIM_IndicationFilter", filter);
    const cimhost::ObjectPath destinationPath = createInterop("CIM_ListenerDestinationCIMXML", destination);
    subscription.set("Filter", cimhost::Value::reference(filterPath));
    subscription.set("Handler", cimhost::Value::reference(destinationPath));
    const cimhost::ObjectPath subscriptionPath = createInterop("CIM_IndicationSubscription", subscription);
    deliverBatches(state, sink->deliveries);
    for (const cimhost::ObjectPath* p : {&subscriptionPath, &destinationPath, &filterPath})
        g_hosts->cimom->deleteInstance(*p);
    g_hosts->cimom->removeSink(sink);
}
BENCHMARK(BM_LogEntriesDelivered_Cmpi)->Arg(50)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LogEntriesDelivered_Dispatch(benchmark::State& state) {
    qmsbench::Deliveries deliveries;
    cimhost::HostedProvider logEntry(g_hosts->host->find("QMS_VRXLogEntryArrived_Provider"));
    if (!logEntry.ok() || logEntry.load() != 0 ||
        logEntry.enableIndications([&deliveries](const cimple::Instance*) { deliveries(); }) != 0) {
        state.SkipWithError("the log-entry provider did not come up directly");
        return;
    }
    deliverBatches(state, deliveries);
    logEntry.disableIndications();
}
BENCHMARK(BM_LogEntriesDelivered_Dispatch)->Arg(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// The agent request every operation above includes.
void BM_AgentBaseline(benchmark::State& state) { qmsbench::agentRoundTrips(state, "CmpiBench"); }
BENCHMARK(BM_AgentBaseline)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (!qmsbench::start(argc, argv, "cmpi_bench", exitCode)) return exitCode;
    qmstest::RqbdSim sim(qmstest::RqbdSim::scenarioDir() + "/sample.json");
    for (const char* dir : {"/var", "/var/log", "/var/log/norvlog"}) mkdir(sim.path(dir).c_str(), 0755);

    cimhost::Cimom::Options options;
    options.libraryPath.push_back(QMS_MODULE_DIR);
    cimhost::Cimom cimom(options);
    std::string error;
    if (!cimom.loadRegistrations(QMS_PROVIDERS_FILE, &error)) {
        std::fprintf(stderr, "cmpi_bench: %s\n", error.c_str());
        return 1;
    }
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
