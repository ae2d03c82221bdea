#include <cimple/cimple.h>

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
// only under mutex, and every change is announced with a broadcast: callers
// and the worker all wait on the one condition, so a single signal could
// wake a party that cannot proceed and leave the one that can asleep.
struct Shared {
    cimple::Mutex mutex{false};
    cimple::Cond cond;
    uint32_t state = Idle;
    CallRecord* pending = nullptr;
    // Threads inside call(). Destruction waits for them to leave, so that a
    // caller still waiting for its turn when destruction began never touches
    // the mutex or the condition after they are gone.
    uint32_t callers = 0;
};

void* threadProc(void* arg) {
    Shared& shared = *static_cast<Shared*>(arg);
    trace(5, "CimpleTaskThread: thread(%p) started", arg);
    shared.mutex.lock();
    for (;;) {
        if (shared.state == Stop) {
            shared.mutex.unlock();
            trace(5, "CimpleTaskThread: thread(%p) stopped", arg);
            return nullptr;
        }
        if (shared.state == TaskPending && !shared.pending->done) {
            CallRecord& record = *shared.pending;
            BoundaryOutcome outcome = runGuarded(nullptr, 0, [&record] { record.task.threadTask(); });
            if (outcome.failed) {
                trace(1, "CimpleTaskThread: thread(%p) callTask(): %s", arg, outcome.errorText.c_str());
            }
            record.result = !outcome.failed;
            record.done = true;
            shared.cond.broadcast();
        }
        shared.cond.wait(shared.mutex);
    }
}

class CimpleTaskThread : public TaskThread {
public:
    // Starts the worker; throws BaseException when it cannot be started.
    CimpleTaskThread() {
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
                shared_.cond.broadcast();
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

    // Destroyed in reverse: cond, then mutex, then the (joined) thread.
    cimple::Thread thread_;
    Shared shared_;
};

}  // namespace

ShPtr<TaskThread> newCimpleTaskThread() {
    // A failed start throws from the constructor; new then frees the memory.
    return ShPtr<TaskThread>(new CimpleTaskThread());
}

}  // namespace provider
