#include "support/provider_trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>

#include "support/CDebug.h"

namespace provider {

namespace {

// All three are constant-initialised, so tracing works from any static
// constructor.
std::atomic<const ScopedTraceSink*> installedSink{nullptr};
// Trace calls that may be inside a sink. A sink's owner waits for this to
// drain after removing it, so a sink never runs after its ScopedTraceSink has
// gone, while sinks themselves run without a shared lock (a sink may block
// one thread's trace without stopping other threads from tracing).
std::atomic<unsigned> sinkCallsInFlight{0};
// Keeps installing and removing in stack order across threads.
std::mutex installMutex;

}  // namespace

ScopedTraceSink::ScopedTraceSink(TraceSink sink, void* context) : sink_(sink), context_(context) {
    std::lock_guard<std::mutex> lock(installMutex);
    previous_ = installedSink.load();
    installedSink.store(this);
}

ScopedTraceSink::~ScopedTraceSink() {
    std::lock_guard<std::mutex> lock(installMutex);
    installedSink.store(previous_);
    // Sequentially consistent with the count-then-load in trace(): a call
    // that still saw this sink is counted here.
    while (sinkCallsInFlight.load() != 0) {
        std::this_thread::yield();
    }
}

void trace(unsigned level, const char* format, ...) {
    // Most traces go nowhere: the flow traces of every agent request would
    // otherwise each cost a formatting and a kilobyte cleared for nobody.
    // A sink installed meanwhile misses this line, as it would a line
    // traced just before it was installed.
    if (installedSink.load(std::memory_order_relaxed) == nullptr && !Debug.IsActive()) return;
    char buffer[1024] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);

    if (installedSink.load(std::memory_order_relaxed) != nullptr) {
        sinkCallsInFlight.fetch_add(1);
        if (const ScopedTraceSink* sink = installedSink.load()) {
            sink->sink_(level, buffer, sink->context_);
        }
        sinkCallsInFlight.fetch_sub(1);
    }
    if (Debug.IsActive()) {
        Debug.Print(level, "\nQMS_VRX             : %s", buffer);
    }
}

}  // namespace provider
