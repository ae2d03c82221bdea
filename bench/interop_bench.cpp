// What a registration costs in the embedded CIMOM's interop namespace as the
// namespace fills: create (filter, listener destination, subscription), remove
// (the three again), get (one subscription) and list (every subscription, per
// instance listed) with 10, 1,000 and 10,000 registrations already there. At
// the end the cost at each size is printed as a ratio to the cost at 10 in the
// same run.
//
// A listing is measured as the CIMOM hands it on (the stored instances
// shared); as deep copies (what the copying overload still costs a caller
// that wants its own instances), beside a baseline that copies as many bytes
// per instance out of one plain array; and as a provider sees it, an
// enumerateInstances up-call through the broker walked with getNext, with
// and without every property read.
//
// The store lives under a temporary directory. "/sync" runs write as the
// CIMOM does, with an fdatasync per journal record (the disk's flush time
// dominates and is the same at every size); "/nosync" leaves the flush out
// and shows the namespace's own cost.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Broker.h"
#include "core/Cimom.h"
#include "core/Classes.h"
#include "core/IndicationService.h"
#include "core/Objects.h"

using namespace cimhost;

namespace {

struct AcceptAll : IndicationProviders {
    Status activate(const FilterInfo&, bool) override { return Status(); }
    Status deactivate(const FilterInfo&, bool) override { return Status(); }
};

std::string g_dir;
AcceptAll g_providers;

InteropOptions optionsFor(bool sync) {
    InteropOptions o;
    o.maxFilters = o.maxDestinations = o.maxSubscriptions = 20000;
    o.syncWrites = sync;
    return o;
}

struct Registration {
    ObjectPath filter, destination, subscription;
};

bool add(IndicationService& service, const std::string& name, Registration* out) {
    Instance f;
    f.path.className = "CIM_IndicationFilter";
    f.properties.set("Name", Value::string(name));
    f.properties.set("Query",
                     Value::string("SELECT * FROM QMS_VRXLogEntryArrived WHERE PerceivedSeverity > 3"));
    f.properties.set("QueryLanguage", Value::string("WQL"));
    f.properties.set("SourceNamespace", Value::string("root/qms"));
    Instance d;
    d.path.className = "CIM_ListenerDestinationCIMXML";
    d.properties.set("Name", Value::string(name));
    d.properties.set("Destination", Value::string("http://listener-" + name + ":5988/cimom"));
    if (!service.createInstance(f, &out->filter).ok() || !service.createInstance(d, &out->destination).ok())
        return false;
    Instance s;
    s.path.className = "CIM_IndicationSubscription";
    s.properties.set("Filter", Value::reference(out->filter));
    s.properties.set("Handler", Value::reference(out->destination));
    return service.createInstance(s, &out->subscription).ok();
}

bool remove(IndicationService& service, const Registration& r) {
    return service.deleteInstance(r.subscription).ok() && service.deleteInstance(r.destination).ok() &&
           service.deleteInstance(r.filter).ok();
}

std::string storeOf(int count, bool sync) {
    return g_dir + "/interop-" + std::to_string(count) + (sync ? "-sync" : "") + ".json";
}

// A copy that shares no reference with `path`.
ObjectPath unshared(const ObjectPath& path) {
    ObjectPath out;
    out.nameSpace = path.nameSpace;
    out.host = path.host;
    out.className = path.className;
    for (const auto& key : path.keys) {
        const Value& v = key.second;
        out.keys.set(key.first,
                     v.type() == CMPI_ref && !v.isNull() ? Value::reference(unshared(*v.asReference())) : v);
    }
    return out;
}

// One namespace per size and write mode, filled once (without flushes, which
// would only make the filling slow) and reopened as measured.
struct Filled {
    std::unique_ptr<IndicationService> service;
    std::vector<Registration> registrations;
    unsigned next = 0;
};

Filled* filled(int count, bool sync) {
    static std::map<std::pair<int, bool>, std::unique_ptr<Filled>> all;
    auto& slot = all[{count, sync}];
    if (slot) return slot.get();
    const std::string store = storeOf(count, sync);
    slot.reset(new Filled);
    {
        IndicationService filling(ClassRepository::builtin(), g_providers, store, optionsFor(false));
        for (int i = 0; i < count; ++i) {
            Registration r;
            if (!add(filling, "pre" + std::to_string(i), &r)) return nullptr;
            slot->registrations.push_back(r);
        }
    }

    slot->service.reset(
        new IndicationService(ClassRepository::builtin(), g_providers, store, optionsFor(sync)));
    return slot.get();
}

// A CIMOM over a copy of the filled store, for the broker's up-calls.
Cimom* hosted(int count) {
    static std::map<int, std::unique_ptr<Cimom>> all;
    auto& slot = all[count];
    if (slot) return slot.get();
    if (!filled(count, false)) return nullptr;
    const std::string from = storeOf(count, false);
    const std::string to = g_dir + "/hosted-" + std::to_string(count) + ".json";
    for (const char* suffix : {"", ".journal"}) {
        std::error_code ignored;
        std::filesystem::copy_file(from + suffix, to + suffix, ignored);
    }
    Cimom::Options options;
    options.storeFile = to;
    options.interop = optionsFor(false);
    options.exportToListeners = false;
    slot.reset(new Cimom(options));
    return slot.get();
}

void BM_Register(benchmark::State& state) {
    Filled* f = filled(static_cast<int>(state.range(0)), state.range(1) != 0);
    if (!f) return state.SkipWithError("filling failed");
    for (auto _ : state) {
        Registration r;
        if (!add(*f->service, "r" + std::to_string(f->next++), &r))
            return state.SkipWithError("register failed");
        state.PauseTiming();
        remove(*f->service, r);
        state.ResumeTiming();
    }
}

void BM_Remove(benchmark::State& state) {
    Filled* f = filled(static_cast<int>(state.range(0)), state.range(1) != 0);
    if (!f) return state.SkipWithError("filling failed");
    for (auto _ : state) {
        state.PauseTiming();
        Registration r;
        add(*f->service, "r" + std::to_string(f->next++), &r);
        state.ResumeTiming();
        if (!remove(*f->service, r)) return state.SkipWithError("remove failed");
    }
}

// The subscriptions to get, in turn, so that at 10,000 each get finds its
// instance out of the caches, as a client's would. A client's request
// carries a path it has just read, though, not one of ten thousand stored
// between the namespace's own allocations: the next few are copied
// (untimed) before they are asked for.
class Requests {
public:
    explicit Requests(const std::vector<Registration>& all) : all_(all) {}
    const ObjectPath& next(benchmark::State& state) {
        if (at_ == batch_.size()) {
            state.PauseTiming();
            batch_.clear();
            for (size_t k = 0; k < kBatch; ++k)
                batch_.push_back(unshared(all_[next_++ % all_.size()].subscription));
            at_ = 0;
            state.ResumeTiming();
        }
        return batch_[at_++];
    }

private:
    static const size_t kBatch = 64;
    const std::vector<Registration>& all_;
    std::vector<ObjectPath> batch_;
    size_t at_ = 0, next_ = 0;
};

void BM_Get(benchmark::State& state) {
    Filled* f = filled(static_cast<int>(state.range(0)), state.range(1) != 0);
    if (!f) return state.SkipWithError("filling failed");
    Requests requests(f->registrations);
    for (auto _ : state) {
        std::shared_ptr<const Instance> found;
        if (!f->service->getInstanceShared(requests.next(state), &found).ok())
            return state.SkipWithError("get failed");
        benchmark::DoNotOptimize(found);
    }
}

void BM_GetCopied(benchmark::State& state) {
    Filled* f = filled(static_cast<int>(state.range(0)), state.range(1) != 0);
    if (!f) return state.SkipWithError("filling failed");
    Requests requests(f->registrations);
    for (auto _ : state) {
        Instance found;
        if (!f->service->getInstance(requests.next(state), &found).ok())
            return state.SkipWithError("get failed");
        benchmark::DoNotOptimize(found);
    }
}

// Per instance listed: a listing of n instances is n times the work.
void BM_ListPerInstance(benchmark::State& state) {
    Filled* f = filled(static_cast<int>(state.range(0)), state.range(1) != 0);
    if (!f) return state.SkipWithError("filling failed");
    for (auto _ : state) {
        std::vector<std::shared_ptr<const Instance>> found;
        f->service->enumerateInstancesShared("CIM_IndicationSubscription", &found);
        if (found.size() != f->registrations.size()) return state.SkipWithError("list incomplete");
    }
    state.counters["listed"] = static_cast<double>(f->registrations.size());
}

void BM_ListCopiedPerInstance(benchmark::State& state) {
    Filled* f = filled(static_cast<int>(state.range(0)), state.range(1) != 0);
    if (!f) return state.SkipWithError("filling failed");
    for (auto _ : state) {
        std::vector<Instance> found;
        f->service->enumerateInstances("CIM_IndicationSubscription", &found);
        if (found.size() != f->registrations.size()) return state.SkipWithError("list incomplete");
    }
    state.counters["listed"] = static_cast<double>(f->registrations.size());
}

// The heap bytes one copied subscription takes (its share of the list
// included).
size_t copiedBytesPerSubscription() {
    Filled* f = filled(10, false);
    if (!f) return 0;
    std::vector<Instance> found;
    const size_t before = mallinfo2().uordblks;
    f->service->enumerateInstances("CIM_IndicationSubscription", &found);
    const size_t after = mallinfo2().uordblks;
    return found.empty() || after <= before ? 0 : (after - before) / found.size();
}

// The baseline for a copying listing: the same bytes per instance, copied
// into one allocation per instance from a plain array of n such blocks.
// Nothing is scattered here, so whatever this costs more at 10,000 than at
// 10 is what the size of the data alone costs.
void BM_ListCopiedBaselinePerInstance(benchmark::State& state) {
    static const size_t bytes = copiedBytesPerSubscription();
    if (bytes == 0) return state.SkipWithError("cannot size a copied subscription");
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<char> source(n * bytes, 'x');
    for (auto _ : state) {
        std::vector<std::unique_ptr<char[]>> copies;
        copies.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            copies.emplace_back(new char[bytes]);
            std::memcpy(copies.back().get(), &source[i * bytes], bytes);
        }
        benchmark::DoNotOptimize(copies.data());
    }
    state.counters["listed"] = static_cast<double>(n);
    state.counters["bytes"] = static_cast<double>(bytes);
}

// Each getNext makes the CMPIInstance a provider reads; the up-call's objects
// are freed with its scope, as with a provider call's. With range(1) set the
// provider also reads every property of each instance, as one that converts
// them into its own objects does: that reads the stored data itself.
void BM_ListThroughBrokerPerInstance(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Cimom* cimom = hosted(count);
    if (!cimom) return state.SkipWithError("filling failed");
    Broker& broker = cimom->broker();
    const CMPIBroker* mb = broker.cmpi();
    ObjectPath subscriptions;
    subscriptions.nameSpace = kInteropNamespace;
    subscriptions.className = "CIM_IndicationSubscription";
    for (auto _ : state) {
        CallScope scope;
        CMPIContext* ctx = broker.newContext(kInteropNamespace);
        CMPIObjectPath* op = newCmpiObjectPath(broker.space(), subscriptions);
        CMPIStatus rc = ok();
        CMPIEnumeration* e = mb->bft->enumerateInstances(mb, ctx, op, nullptr, &rc);
        int listed = 0;
        while (e && e->ft->hasNext(e, nullptr)) {
            const CMPIData d = e->ft->getNext(e, nullptr);
            if (d.type != CMPI_instance || !d.value.inst) continue;
            ++listed;
            if (!state.range(1)) continue;
            const CMPIInstance* inst = d.value.inst;
            const unsigned properties = inst->ft->getPropertyCount(inst, nullptr);
            for (unsigned p = 0; p < properties; ++p)
                benchmark::DoNotOptimize(inst->ft->getPropertyAt(inst, p, nullptr, nullptr));
        }
        if (listed != count) return state.SkipWithError("list incomplete");
    }
    state.counters["listed"] = static_cast<double>(count);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int sync : {0, 1})
        for (int n : {10, 1000, 10000}) b->Args({n, sync});
    b->ArgNames({"n", "sync"})->Unit(benchmark::kMicrosecond)->UseRealTime();
}
BENCHMARK(BM_Register)->Apply(sizes);
BENCHMARK(BM_Remove)->Apply(sizes);
BENCHMARK(BM_Get)->Apply(sizes);
BENCHMARK(BM_GetCopied)->Apply(sizes);
BENCHMARK(BM_ListPerInstance)->Apply(sizes);
BENCHMARK(BM_ListCopiedPerInstance)->Apply(sizes);
BENCHMARK(BM_ListCopiedBaselinePerInstance)
    ->ArgNames({"n", "sync"})
    ->Args({10, 0})
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
// Through the broker (its store without the flush, which listing never
// waits for); the second argument reads every property.
BENCHMARK(BM_ListThroughBrokerPerInstance)
    ->ArgNames({"n", "read"})
    ->Args({10, 0})
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({10, 1})
    ->Args({1000, 1})
    ->Args({10000, 1})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Keeps each run's time per operation and prints the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            // A listing is divided by what it listed.
            double per = static_cast<double>(run.iterations);
            if (run.benchmark_name().find("List") != std::string::npos)
                per *= run.counters.at("listed").value;
            times_[run.benchmark_name()] = {run.real_accumulated_time / per, run.cpu_accumulated_time / per};
        }
    }
    // Wall time is what a client waits (the flush included); CPU time is
    // steadier on a busy machine.
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nCost against 10 registrations, same run (list: per instance listed), wall / CPU:\n");
        for (const char* op : {"BM_Register", "BM_Remove", "BM_Get", "BM_GetCopied", "BM_ListPerInstance",
                               "BM_ListCopiedPerInstance", "BM_ListCopiedBaselinePerInstance",
                               "BM_ListThroughBrokerPerInstance"}) {
            // The broker's listing takes "read" where the others take "sync".
            const bool broker = std::string(op) == "BM_ListThroughBrokerPerInstance";
            for (int second : {0, 1}) {
                const auto base = times_.find(name(op, 10, broker ? "read" : "sync", second));
                if (base == times_.end() || base->second.first <= 0 || base->second.second <= 0) continue;
                std::printf("  %-32s %-7s", op + 3,
                            broker ? (second ? "read" : "walk") : (second ? "sync" : "nosync"));
                for (int n : {1000, 10000}) {
                    const auto t = times_.find(name(op, n, broker ? "read" : "sync", second));
                    if (t != times_.end())
                        std::printf("  at %5d: x%.2f / x%.2f", n, t->second.first / base->second.first,
                                    t->second.second / base->second.second);
                }
                std::printf("   (at 10: %.3f / %.3f us)\n", base->second.first * 1e6,
                            base->second.second * 1e6);
            }
        }
    }

private:
    static std::string name(const char* op, int n, const char* secondName, int second) {
        return std::string(op) + "/n:" + std::to_string(n) + "/" + secondName + ":" + std::to_string(second) +
               "/real_time";
    }
    std::map<std::string, std::pair<double, double>> times_;  // seconds per operation: wall, CPU
};

}  // namespace

int main(int argc, char** argv) {
    char dir[] = "/tmp/interop-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    g_dir = dir;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
    return 0;
}
