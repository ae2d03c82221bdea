// Delivery of indications to CIM-XML listeners over HTTP(S).
//
// Each listener URL gets one ordered, bounded queue and one worker thread
// with its own keep-alive connection, so a listener receives indications in
// the order the providers delivered them and a slow or absent listener
// holds up nobody else. deliver() only queues: whatever the network does,
// the provider's thread never waits for it.
//
// Every exported indication carries SequenceContext (one per subscription
// and run of this exporter) and SequenceNumber (0, 1, 2, ... per
// subscription), so a listener sees what it missed.
//
// A failed post (no connection, a time limit, an HTTP status other than 200,
// an answer that is no export response, a CIM error) is tried again
// retryAttempts times, retryInterval apart; the queue behind it waits, which
// keeps the order. Then the indication is dropped, counted and traced on
// stderr; a destination whose URL can never work (no host, a scheme other
// than http or https) drops each at once, with the reason. A full queue drops its oldest indication to take
// the new one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/IndicationService.h"
#include "export/HttpClient.h"

namespace cimhost {

struct ExportSettings {
    unsigned retryAttempts = 3;
    // As configured: a test build waits a twentieth of it, as every wait.
    std::chrono::milliseconds retryInterval{20000};
    size_t queueLimit = 10000;
    // How long stop() lets the queues empty.
    std::chrono::milliseconds drainLimit{3000};
    exporting::HttpSettings http;
};

// Per listener URL; every count since the exporter started.
struct ExportCounters {
    std::string url;
    uint64_t delivered = 0;
    uint64_t retried = 0;  // posts that were second or later tries
    uint64_t droppedAfterRetries = 0;
    uint64_t droppedOverflow = 0;
    uint64_t droppedAtStop = 0;
    size_t queued = 0;  // waiting now, the one being posted included
};

class Exporter : public DeliverySink {
public:
    explicit Exporter(ExportSettings settings = ExportSettings());
    // stop()
    ~Exporter() override;
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;

    // Queues the indication for the destination's URL when the destination
    // is a CIM_ListenerDestinationCIMXML; other destinations are not ours.
    // Never blocks on the network. After stop() nothing more is queued.
    void deliver(const Instance& destination, const ObjectPath& subscription,
                 const Instance& indication) override;

    // Takes effect from the next failure on.
    void setRetry(unsigned attempts, std::chrono::milliseconds interval);
    unsigned retryAttempts() const;
    std::chrono::milliseconds retryInterval() const;

    // Lets every queue empty for up to drainLimit, without waiting to retry:
    // a queue whose post fails during the drain gives up at once. What is
    // still queued then (or unsent after the failure) is dropped and counted
    // as droppedAtStop. Returns within drainLimit and a second: a worker
    // still waiting for an answer then (a listener that accepted and does
    // not answer, a name lookup that hangs) is left to end on its own, and
    // what it held is counted as droppedAtStop.
    void stop();

    // One entry per URL, in the order the URLs were first seen.
    std::vector<ExportCounters> counters() const;
    // The counters as lines for an administrator, one per URL.
    static std::string describe(const std::vector<ExportCounters>& counters);

    struct State;
    struct Queue;

private:
    std::shared_ptr<State> state_;
};

}  // namespace cimhost
