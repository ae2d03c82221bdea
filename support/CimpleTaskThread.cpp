#include <cimple/cimple.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "support/Boundary.h"
#include "support/TaskThread.h"
#include "support/provider_trace.h"
#include "support/provider_utils.h"

namespace provider {

namespace {

enum State : uint32_t { Idle = 0, Stop = 1, TaskPending = 2 };

// Lives on the caller's stack for one call(); the worker reaches it through
// Shared::pending, so a call allocates nothing.
struct CallRecord {
    bool done;
    TaskThread::Task& task;
    bool result;
};

// What the worker shares with its callers. Every field is read and written
// only under mutex. The worker waits on `work` alone, so a signal there
// reaches it; callers and destruction wait on `cond`, and every change they
// wait for is announced with a broadcast, as a single signal could wake a
// party that cannot proceed and leave the one that can asleep. Keeping the
// worker off `cond` means a caller leaving call() does not wake a worker
// that has nothing to do.
struct Shared {
    explicit Shared(TaskPace pace) : workerWatches(pace == TaskPace::Runs) {}
    const bool workerWatches;
    cimple::Mutex mutex{false};
    cimple::Cond work;
    cimple::Cond cond;
    uint32_t state = Idle;
    CallRecord* pending = nullptr;
    // Threads inside call(). Destruction waits for them to leave, so that a
    // caller still waiting for its turn when destruction began never touches
    // the mutex or the condition after they are gone.
    uint32_t callers = 0;
    // Hints for the watch before a wait (see watchFor); counted up after
    // every hand-over and every finished task. Nothing is decided on them.
    std::atomic<uint32_t> handOvers{0};
    std::atomic<uint32_t> finished{0};
    // Hand-overs left to go without watching, and the length of the last
    // such spell (see kQuietHandOvers).
    std::atomic<uint32_t> quiet{0};
    std::atomic<uint32_t> spell{0};
    // The processor each side was last seen on (the caller: the one whose
    // task is pending), or -1; a hint for the watches like the counters.
    std::atomic<int> workerCpu{-1};
    std::atomic<int> callerCpu{-1};
};

// A hand-over where both sides sleep between tasks costs half a dozen futex
// calls and as many wake-ups, more than the agent exchange that a task
// usually is. So each side first watches for the other's step for a short
// while, without the lock (the worker holds it while a task runs), and only
// then waits on the condition as before. What it saw is only a hint: every
// decision is taken again under the mutex, so a missed or stale hint costs a
// wait, never a hand-over. The caller's budget covers an agent round trip
// with room for the scheduling jitter of a small machine, where the agent,
// the worker and the watching caller share two processors (at 200 us most
// watches ran out there and every hand-over slept); a slower task costs that
// much processor time once, then the quiet spell below.
const std::chrono::microseconds kCallerWatch(1000);
const std::chrono::microseconds kWorkerWatch(100);
// Watching pays only while the side watched for has a processor of its own;
// on a busy machine the watch takes one from the very thread it waits for.
// A caller's watch that runs out of budget (a busy machine, or a task longer
// than a watch) makes the next hand-overs go without one, on both sides: a
// few after a single miss, which is often only the agent being scheduled
// late, and twice as many after each further miss in a row, up to this many.
const uint32_t kQuietHandOvers = 64;
const uint32_t kFirstQuietSpell = 8;
// A watch longer than this gives its processor away now and then. The
// scheduler may have queued the very thread watched for (or the agent it
// waits on) behind the watcher, and would take it off only at the next tick,
// a millisecond or more later: a watch that ran out that way was what sent
// whole runs of hand-overs into the quiet spells above. An agent round trip
// usually ends well before the first yield, so the yields add no system
// calls to the usual request.
const std::chrono::microseconds kYieldEvery(200);
// A side woken while the other watches may well be queued on the watcher's
// own processor: a scheduler that packs threads onto few processors puts it
// there even when another one is idle, and one that lets the running thread
// finish its slice does not take the watcher off. It then waits for the
// watcher's next yield, which made a hand-over after a pause between
// requests (a sleeping worker woken) cost 200 us instead of 15. So a watcher
// whose awaited side was last seen on its own processor gives the processor
// away at once, and again every so often while that holds; a side that is
// really running elsewhere is never on the watcher's processor.
const std::chrono::microseconds kYieldToNeighbour(5);

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Watches `counter` until it differs from `seen` (true) or the budget is
// spent (false). `here` records the watcher's processor, `there` is where
// the side watched for was last seen.
bool watchFor(const std::atomic<uint32_t>& counter, uint32_t seen, std::chrono::microseconds budget,
              std::atomic<int>& here, const std::atomic<int>& there) {
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + budget;
    auto yieldAt = start + kYieldEvery;
    auto neighbourAt = start;
    for (unsigned n = 0; counter.load(std::memory_order_acquire) == seen; ++n) {
        if (n % 64 != 0) {
            cpuRelax();
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return false;
        if (now >= neighbourAt) {
            const int cpu = sched_getcpu();
            here.store(cpu, std::memory_order_relaxed);
            if (cpu == there.load(std::memory_order_relaxed)) {
                sched_yield();
                neighbourAt = now + kYieldToNeighbour;
                yieldAt = now + kYieldEvery;
                continue;
            }
        }
        if (now >= yieldAt) {
            sched_yield();
            yieldAt = now + kYieldEvery;
        }
    }
    return true;
}

// Takes the mutex, trying a little while first: right after a hint the other
// side is about to let go of it, and a blocking lock now would sleep in the
// kernel and need a wake-up call.
void lockSoon(cimple::Mutex& mutex) {
    for (int i = 0; i < 256; ++i) {
        if (mutex.try_lock()) return;
        cpuRelax();
    }
    mutex.lock();
}

void* threadProc(void* arg) {
    Shared& shared = *static_cast<Shared*>(arg);
    trace(5, "CimpleTaskThread: thread(%p) started", arg);
    shared.mutex.lock();
    bool watched = false;
    for (;;) {
        if (shared.state == Stop) {
            shared.mutex.unlock();
            trace(5, "CimpleTaskThread: thread(%p) stopped", arg);
            return nullptr;
        }
        bool ran = false;
        if (shared.state == TaskPending && !shared.pending->done) {
            CallRecord& record = *shared.pending;
            shared.workerCpu.store(sched_getcpu(), std::memory_order_relaxed);
            BoundaryOutcome outcome = runGuarded(nullptr, 0, [&record] { record.task.threadTask(); });
            if (outcome.failed) {
                trace(1, "CimpleTaskThread: thread(%p) callTask(): %s", arg, outcome.errorText.c_str());
            }
            record.result = !outcome.failed;
            record.done = true;
            shared.finished.fetch_add(1, std::memory_order_release);
            ran = true;
        }
        if (ran || !watched) {
            const uint32_t seen = shared.handOvers.load(std::memory_order_acquire);
            shared.mutex.unlock();
            // Announced once the mutex is free, so that a caller woken by it
            // does not go straight back to sleep on the mutex. The condition
            // outlives the announcement: destruction joins this thread first.
            if (ran) shared.cond.broadcast();
            if (shared.workerWatches) {
                // The next task often follows at once: watch for it first.
                if (shared.quiet.load(std::memory_order_relaxed) == 0)
                    watchFor(shared.handOvers, seen, kWorkerWatch, shared.workerCpu, shared.callerCpu);
                lockSoon(shared.mutex);
            } else {
                // No hint that anyone is about to let go of the mutex.
                shared.mutex.lock();
            }
            watched = true;
            continue;
        }
        shared.work.wait(shared.mutex);
        watched = false;
    }
}

class CimpleTaskThread : public TaskThread {
public:
    // Starts the worker; throws BaseException when it cannot be started.
    explicit CimpleTaskThread(TaskPace pace) : shared_(pace) {
        if (cimple::Thread::create_joinable(thread_, threadProc, &shared_) != 0) {
            // The location is the task thread's, not this line's: callers
            // recognise the failure by it.
            BaseException e("CimpleTaskThread", 110, "CimpleTaskThread: create_joinable() failed");
            e.trace();
            throw e;
        }
    }

    ~CimpleTaskThread() override {
        {
            cimple::Auto_Mutex lock(shared_.mutex);
            while (shared_.state != Idle) {
                shared_.cond.wait(shared_.mutex);
            }
            shared_.state = Stop;
            shared_.work.signal();
            shared_.cond.broadcast();
            while (shared_.callers != 0) {
                shared_.cond.wait(shared_.mutex);
            }
        }
        void* exitValue = nullptr;
        if (cimple::Thread::join(thread_, exitValue) != 0) {
            trace(1, "CimpleTaskThread: join() failed");
        }
    }

    bool call(Task& task) override {
        CallRecord record{false, task, false};
        cimple::Auto_Mutex lock(shared_.mutex);
        ++shared_.callers;
        const bool result = handOver(record);
        --shared_.callers;
        shared_.cond.broadcast();
        return result;
    }

private:
    // Runs record on the worker once it is this caller's turn; mutex held.
    bool handOver(CallRecord& record) {
        for (;;) {
            if (shared_.state == Stop) {
                trace(1, "CimpleTaskThread: thread(%p) already stopped", static_cast<void*>(&shared_));
                return false;
            }
            if (shared_.state == Idle) {
                shared_.state = TaskPending;
                shared_.pending = &record;
                const uint32_t seen = shared_.finished.load(std::memory_order_acquire);
                shared_.handOvers.fetch_add(1, std::memory_order_release);
                shared_.mutex.unlock();
                // After the unlock, so that a sleeping worker woken by it
                // does not go straight back to sleep on the mutex.
                shared_.work.signal();
                const uint32_t quiet = shared_.quiet.load(std::memory_order_relaxed);
                if (quiet > 0) {
                    shared_.quiet.store(quiet - 1, std::memory_order_relaxed);
                } else if (watchFor(shared_.finished, seen, kCallerWatch, shared_.callerCpu,
                                    shared_.workerCpu)) {
                    shared_.spell.store(0, std::memory_order_relaxed);
                } else {
                    const uint32_t last = shared_.spell.load(std::memory_order_relaxed);
                    const uint32_t spell = last == 0 ? kFirstQuietSpell : std::min(2 * last, kQuietHandOvers);
                    shared_.spell.store(spell, std::memory_order_relaxed);
                    shared_.quiet.store(spell, std::memory_order_relaxed);
                }
                lockSoon(shared_.mutex);
                while (!record.done) {
                    shared_.cond.wait(shared_.mutex);
                }
                shared_.state = Idle;
                shared_.pending = nullptr;
                // Announced with the callers count in call().
                return record.result;
            }
            shared_.cond.wait(shared_.mutex);
        }
    }

    // Destroyed in reverse: the conditions, then mutex, then the (joined) thread.
    cimple::Thread thread_;
    Shared shared_;
};

}  // namespace

ShPtr<TaskThread> newCimpleTaskThread(TaskPace pace) {
    // A failed start throws from the constructor; new then frees the memory.
    return ShPtr<TaskThread>(new CimpleTaskThread(pace));
}

}  // namespace provider
