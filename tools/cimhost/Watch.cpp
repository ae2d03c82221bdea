// `cimhost watch`: a CIMOM with one client subscription. The subscription
// makes the CIMOM activate the provider of the query's class through its
// indication MI; every indication it delivers is matched against the filter
// and printed; removing the subscription switches the provider off again.
#include "Watch.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AgentCheck.h"
#include "StopSignals.h"
#include "core/Cimom.h"
#include "core/IndicationService.h"
#include "export/Exporter.h"
#include "listener/IndicationLine.h"

namespace cimhost {
namespace {

// SIGINT and SIGTERM (stop) and SIGUSR1 (print the export counters) are taken
// synchronously by the main thread. Blocking them before the module starts
// any thread keeps every one of its threads out of their way.
void printExportCounters(Cimom& cimom) {
    if (!cimom.exporter()) return;
    const std::string text = Exporter::describe(cimom.exporter()->counters());
    fprintf(stderr, "%s", text.empty() ? "cimhost watch: nothing exported\n" : text.c_str());
}

// A value's text as CIM-XML would carry it: strings and datetimes bare,
// everything else as the host writes it.
std::string bareText(const Value& v) {
    const CMPIType t = v.elementType();
    return t == CMPI_string || t == CMPI_dateTime || t == CMPI_chars ? v.asText() : v.toText();
}

// The delivered instance in the form a listener reads off the wire, so that
// watch's lines and listen's lines are made by the same code.
listener::Instance asReceived(const Instance& indication) {
    listener::Instance out;
    out.className = indication.className();
    for (const auto& p : indication.properties) {
        listener::Property& q = out.properties[p.first];
        q.array = p.second.isArray();
        q.null = p.second.isNull();
        if (q.null) continue;
        if (!q.array) {
            q.text = bareText(p.second);
            continue;
        }
        for (const Value& item : p.second.items()) {
            if (item.isNull())
                q.items.emplace_back();
            else
                q.items.emplace_back(bareText(item));
        }
    }
    return out;
}

class Printer : public DeliverySink {
public:
    explicit Printer(WatchOptions::Show show) : show_(show) {}

    void deliver(const Instance& destination, const ObjectPath&, const Instance& indication) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        if (show_ == WatchOptions::Show::line) {
            printf("%s\n", listener::indicationLine(asReceived(indication)).c_str());
            fflush(stdout);
            return;
        }
        const Value* url = destination.property("Destination");
        printf("--- indication %u to %s\n%s\n{\n", count_, url ? url->toText().c_str() : "?",
               indication.className().c_str());
        for (const auto& p : indication.properties)
            printf("    %s = %s;\n", p.first.c_str(), p.second.toText().c_str());
        printf("}\n");
        fflush(stdout);
    }
    unsigned count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

private:
    const WatchOptions::Show show_;
    mutable std::mutex mutex_;
    unsigned count_ = 0;
};

const char kWatchName[] = "cimhost-watch";

Instance interopInstance(const char* className) {
    Instance i;
    i.path.nameSpace = kInteropNamespace;
    i.path.className = className;
    i.properties.set("Name", Value::string(kWatchName));
    return i;
}

bool isWatchName(const Value* name) {
    return name && !name->isNull() && name->type() == CMPI_string && name->asText() == kWatchName;
}

bool namesWatchInstance(const Instance& subscription, const char* role) {
    const Value* ref = subscription.property(role);
    return ref && !ref->isNull() && ref->type() == CMPI_ref &&
           isWatchName(ref->asReference()->keys.find("Name"));
}

// A run killed before it could unsubscribe leaves its filter, destination and
// subscription in the store, and every later run would be refused their
// names. They are this command's own: they go, subscription first. Returns
// how many instances went.
int removeLeftovers(Cimom& cimom) {
    int removed = 0;
    std::vector<Instance> found;
    cimom.enumerateInstances(kInteropNamespace, "CIM_IndicationSubscription", &found);
    for (const Instance& sub : found)
        if ((namesWatchInstance(sub, "Filter") || namesWatchInstance(sub, "Handler")) &&
            cimom.deleteInstance(sub.path).ok())
            ++removed;
    for (const char* className : {"CIM_IndicationFilter", "CIM_ListenerDestinationCIMXML"}) {
        found.clear();
        cimom.enumerateInstances(kInteropNamespace, className, &found);
        for (const Instance& inst : found)
            if (isWatchName(inst.property("Name")) && cimom.deleteInstance(inst.path).ok()) ++removed;
    }
    return removed;
}

// A provider that cannot reach the agent holds the subscription up while it
// retries, for minutes in production. Whoever watches is told early what the
// host sees of the agent, rather than only once the provider gives up.
class SlowSubscriptionNotice {
public:
    SlowSubscriptionNotice() : thread_([this] { run(); }) {}
    ~SlowSubscriptionNotice() { finish(); }
    // The subscription is done: no notice from now on. Returns what the
    // notice said, empty when there was none.
    std::string finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        return said_;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::seconds(2), [this] { return done_; })) return;
        lock.unlock();
        const std::string diagnosis = diagnoseAgent();
        if (diagnosis.empty()) return;
        fprintf(stderr, "cimhost watch: subscribing takes long: %s", diagnosis.c_str());
        said_ = diagnosis;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::string said_;
    std::thread thread_;
};

bool check(const Status& st, const char* what) {
    if (!st.ok())
        fprintf(stderr, "cimhost watch: %s: %s: %s\n", what, statusName(st.rc).c_str(), st.message.c_str());
    return st.ok();
}

}  // namespace

int watch(const WatchOptions& options) {
    // SIGUSR1 asks for the export counters.
    const sigset_t signals = blockStopSignals({SIGUSR1});

    Cimom::Options cimomOptions;
    cimomOptions.storeFile = options.storeFile;
    cimomOptions.interop.startFresh = options.freshStore;
    cimomOptions.deliveryLog = options.deliveryLog;
    cimomOptions.libraryPath = options.libraryPath;
    cimomOptions.exportCaFile = options.exportCaFile;
    Cimom cimom(cimomOptions);
    std::string error;
    if (!cimom.loadRegistrations(options.providersFile, &error)) {
        fprintf(stderr, "cimhost watch: %s\n", error.c_str());
        return 1;
    }
    auto printer = std::make_shared<Printer>(options.show);
    cimom.addSink(printer);
    if (!options.storeFile.empty()) {
        check(cimom.restoreSubscriptions(), "restoring stored subscriptions");
        if (removeLeftovers(cimom) > 0)
            fprintf(stderr, "cimhost watch: replaced what an earlier run left in %s\n",
                    options.storeFile.c_str());
    }

    Instance filter = interopInstance("CIM_IndicationFilter");
    filter.properties.set("Query", Value::string(options.query));
    filter.properties.set("QueryLanguage", Value::string("WQL"));
    filter.properties.set("SourceNamespace", Value::string(options.sourceNamespace));
    Instance destination = interopInstance("CIM_ListenerDestinationCIMXML");
    destination.properties.set("Destination", Value::string(options.destination));
    ObjectPath filterPath, destinationPath, subscriptionPath;
    if (!check(cimom.createInstance(filter, &filterPath), "creating the filter")) return 1;
    if (!check(cimom.createInstance(destination, &destinationPath), "creating the listener destination")) {
        cimom.deleteInstance(filterPath);
        return 1;
    }
    Instance subscription;
    subscription.path.nameSpace = kInteropNamespace;
    subscription.path.className = "CIM_IndicationSubscription";
    subscription.properties.set("Filter", Value::reference(filterPath));
    subscription.properties.set("Handler", Value::reference(destinationPath));
    int exitCode = 0;
    Status subscribed;
    std::string toldEarly;
    {
        SlowSubscriptionNotice notice;
        subscribed = cimom.createInstance(subscription, &subscriptionPath);
        toldEarly = notice.finish();
    }
    if (check(subscribed, "subscribing")) {
        fprintf(stderr, "cimhost watch: subscribed to \"%s\"\n", options.query.c_str());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
        for (;;) {
            if (options.count && printer->count() >= options.count) break;
            if (options.seconds && std::chrono::steady_clock::now() >= deadline) break;
            // A short tick, so that the count and time limits are noticed soon.
            const timespec tick{0, 100 * 1000 * 1000};
            const int sig = sigtimedwait(&signals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM) break;
            if (sig == SIGUSR1) printExportCounters(cimom);
        }
        if (!check(cimom.deleteInstance(subscriptionPath), "unsubscribing")) exitCode = 1;
    } else {
        // The provider's CIM status says only that it failed; the usual cause
        // is an agent it cannot reach, which the host can see for itself.
        const std::string diagnosis = diagnoseAgent();
        if (!diagnosis.empty() && diagnosis != toldEarly)
            fprintf(stderr, "cimhost watch: %s", diagnosis.c_str());
        exitCode = 1;
    }
    cimom.deleteInstance(destinationPath);
    cimom.deleteInstance(filterPath);
    fprintf(stderr, "cimhost watch: %u indication(s) delivered\n", printer->count());
    // After the drain, so that the counts are final.
    if (cimom.exporter()) cimom.exporter()->stop();
    printExportCounters(cimom);
    return exitCode;
}

}  // namespace cimhost
