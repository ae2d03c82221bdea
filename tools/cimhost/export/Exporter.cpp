#include "export/Exporter.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "export/ExportRequest.h"
#include "support/Waits.h"

namespace cimhost {

namespace {

typedef std::chrono::steady_clock Clock;

// How long stop() waits past the drain for a post in flight (a listener that
// accepted and does not answer, a name lookup that hangs) before leaving that
// worker to end on its own.
constexpr std::chrono::milliseconds kAbandonGrace{1000};

std::string runIdentifier() {
    std::random_device random;
    char text[24];
    snprintf(text, sizeof text, "%08x%08x", random(), random());
    return text;
}

// The listener URL of a CIM-XML destination; empty for any other.
std::string listenerUrl(const Instance& destination) {
    if (!sameName(destination.className(), "CIM_ListenerDestinationCIMXML")) return std::string();
    const Value* url = destination.property("Destination");
    if (!url || url->isNull() || url->type() != CMPI_string) return std::string();
    return url->asText();
}

int64_t sequenceNumber(const Instance& indication) {
    const Value* n = indication.property("SequenceNumber");
    return n ? n->asSigned() : -1;
}

}  // namespace

struct Exporter::Queue {
    std::string url;
    std::deque<Instance> waiting;
    bool posting = false;
    // The worker has ended, or stop() gave up waiting for it (and counted
    // what it held).
    bool finished = false;
    bool abandoned = false;
    ExportCounters counts;
    std::condition_variable wake;
    std::thread worker;
};

struct Exporter::State {
    ExportSettings settings;
    std::string runId = runIdentifier();

    mutable std::mutex mutex;
    std::condition_variable ended;
    bool stopping = false;
    Clock::time_point drainDeadline;
    std::vector<std::unique_ptr<Queue>> queues;  // in the order first seen
    std::map<std::string, Queue*> byUrl;
    struct Sequence {
        std::string context;
        int64_t next = 0;
    };
    std::map<std::string, Sequence> sequences;  // by subscription path text
    uint64_t contexts = 0;

    void work(Queue& q);
};

namespace {

// One post and its answer; empty on acceptance, else what went wrong.
std::string post(exporting::HttpClient& client, uint64_t messageId, const Instance& indication) {
    const std::string body = exporting::exportIndicationBody(std::to_string(messageId), indication);
    exporting::HttpAnswer answer = client.post(exporting::exportHeaders(), body, exporting::kXmlContentType);
    if (answer.status == 0) return answer.error;
    exporting::ExportAnswer check;
    check.status = answer.status;
    check.cimExport = answer.header("CIMExport");
    check.cimError = answer.header("CIMError");
    check.body = answer.body;
    return exporting::checkExportAnswer(check);
}

}  // namespace

void Exporter::State::work(Queue& q) {
    exporting::HttpClient client(q.url, settings.http);
    uint64_t messageId = 0;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        q.wake.wait(lock, [&] { return !q.waiting.empty() || stopping; });
        if (q.waiting.empty()) break;
        if (stopping && Clock::now() >= drainDeadline) break;
        Instance indication = std::move(q.waiting.front());
        q.waiting.pop_front();
        q.posting = true;
        lock.unlock();

        std::string error = post(client, ++messageId, indication);
        lock.lock();
        // The queue behind waits while this one is retried: that is what
        // keeps the listener's order.
        // A URL that can never work is not retried.
        const unsigned attempts = client.urlError().empty() ? settings.retryAttempts : 0;
        for (unsigned tries = 0; !error.empty() && !stopping && tries < attempts; ++tries) {
            const auto interval = std::chrono::milliseconds(
                provider::scaledMs(static_cast<uint32_t>(settings.retryInterval.count())));
            q.wake.wait_for(lock, interval, [&] { return stopping; });
            if (stopping) break;
            ++q.counts.retried;
            lock.unlock();
            error = post(client, ++messageId, indication);
            lock.lock();
        }
        q.posting = false;
        // stop() stopped waiting for this worker and has counted what it held.
        if (q.abandoned) return;
        if (error.empty()) {
            ++q.counts.delivered;
            continue;
        }
        if (stopping) {
            // Stopping and the listener fails: the drain is over for it.
            ++q.counts.droppedAtStop;
            fprintf(stderr, "cimhost export: %s: stopping; SequenceNumber %lld not delivered: %s\n",
                    q.url.c_str(), static_cast<long long>(sequenceNumber(indication)), error.c_str());
            break;
        }
        ++q.counts.droppedAfterRetries;
        const unsigned retries = attempts;
        lock.unlock();
        fprintf(stderr,
                "cimhost export: %s: indication %s SequenceNumber %lld dropped after %u retries: %s\n",
                q.url.c_str(), indication.className().c_str(),
                static_cast<long long>(sequenceNumber(indication)), retries, error.c_str());
        lock.lock();
    }
    // What is left could not be sent within the drain.
    if (!q.waiting.empty()) {
        fprintf(stderr, "cimhost export: %s: stopping; %zu queued indication(s) dropped\n", q.url.c_str(),
                q.waiting.size());
        q.counts.droppedAtStop += q.waiting.size();
        q.waiting.clear();
    }
    q.finished = true;
    ended.notify_all();
}

Exporter::Exporter(ExportSettings settings) : state_(std::make_shared<State>()) {
    if (settings.queueLimit == 0) settings.queueLimit = 1;
    state_->settings = settings;
}

Exporter::~Exporter() { stop(); }

void Exporter::deliver(const Instance& destination, const ObjectPath& subscription,
                       const Instance& indication) {
    const std::string url = listenerUrl(destination);
    if (url.empty()) return;
    Instance sent = indication;
    const std::string subscriptionText = subscription.toText();
    State& s = *state_;
    bool overflowTrace = false;
    Queue* woken = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.stopping) return;
        State::Sequence& sequence = s.sequences[subscriptionText];
        if (sequence.context.empty()) sequence.context = s.runId + "-" + std::to_string(++s.contexts);
        sent.properties.set("SequenceContext", Value::string(sequence.context));
        sent.properties.set("SequenceNumber", Value::sint64(sequence.next++));

        Queue*& q = s.byUrl[url];
        if (!q) {
            s.queues.push_back(std::make_unique<Queue>());
            q = s.queues.back().get();
            q->url = url;
            q->counts.url = url;
            Queue* started = q;
            // The worker holds the state: stop() may leave it to end after
            // the exporter is gone.
            q->worker = std::thread([keep = state_, started] { keep->work(*started); });
        }
        if (q->waiting.size() >= s.settings.queueLimit) {
            q->waiting.pop_front();
            // One line when a queue starts overflowing, then one per thousand.
            overflowTrace = q->counts.droppedOverflow++ % 1000 == 0;
        }
        q->waiting.push_back(std::move(sent));
        woken = q;
    }
    // Outside the lock, or the worker wakes only to wait for it. Queues live
    // as long as the state.
    woken->wake.notify_one();
    if (overflowTrace)
        fprintf(stderr, "cimhost export: %s: queue full (%zu); oldest indications dropped\n", url.c_str(),
                s.settings.queueLimit);
}

void Exporter::setRetry(unsigned attempts, std::chrono::milliseconds interval) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->settings.retryAttempts = attempts;
    state_->settings.retryInterval = interval;
}

unsigned Exporter::retryAttempts() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->settings.retryAttempts;
}

std::chrono::milliseconds Exporter::retryInterval() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->settings.retryInterval;
}

void Exporter::stop() {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.stopping) {
        s.stopping = true;
        s.drainDeadline = Clock::now() + s.settings.drainLimit;
    }
    for (auto& q : s.queues) q->wake.notify_all();
    // No queue is added once stopping is set.
    s.ended.wait_until(lock, s.drainDeadline + kAbandonGrace, [&] {
        for (const auto& q : s.queues)
            if (!q->finished) return false;
        return true;
    });
    for (auto& q : s.queues) {
        if (q->finished) continue;
        q->finished = q->abandoned = true;
        const size_t held = q->waiting.size() + (q->posting ? 1 : 0);
        q->counts.droppedAtStop += held;
        q->waiting.clear();
        q->posting = false;
        fprintf(stderr, "cimhost export: %s: stopping; no answer in time, %zu indication(s) dropped\n",
                q->url.c_str(), held);
    }
    lock.unlock();
    for (auto& q : s.queues) {
        if (!q->worker.joinable()) continue;
        if (q->abandoned)
            q->worker.detach();
        else
            q->worker.join();
    }
}

std::vector<ExportCounters> Exporter::counters() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<ExportCounters> out;
    for (const auto& q : state_->queues) {
        out.push_back(q->counts);
        out.back().queued = q->waiting.size() + (q->posting ? 1 : 0);
    }
    return out;
}

std::string Exporter::describe(const std::vector<ExportCounters>& counters) {
    std::string out;
    for (const ExportCounters& c : counters) {
        char line[512];
        snprintf(line, sizeof line,
                 "delivered %llu, retried %llu, dropped after retries %llu, dropped on overflow %llu, "
                 "dropped at stop %llu, queued %zu\n",
                 static_cast<unsigned long long>(c.delivered), static_cast<unsigned long long>(c.retried),
                 static_cast<unsigned long long>(c.droppedAfterRetries),
                 static_cast<unsigned long long>(c.droppedOverflow),
                 static_cast<unsigned long long>(c.droppedAtStop), c.queued);
        out += c.url + ": " + line;
    }
    return out;
}

}  // namespace cimhost
