// Round trip of one TaskThread::call with a task that does nothing: the cost
// that every agent request pays to run on the switch client's worker.
//
// BM_TaskThreadCallOnOneProcessor makes the caller and the worker share one
// processor, as a scheduler that packs threads (or a busy machine) does: each
// side's watch then has to give the processor to the other instead of
// spinning out its budget.
#include <benchmark/benchmark.h>
#include <sched.h>

#include "support/TaskThread.h"

namespace {

struct EmptyTask : provider::TaskThread::Task {
    void threadTask() override {}
};

void callRoundTrips(benchmark::State& state) {
    ShPtr<provider::TaskThread> taskThread = provider::newCimpleTaskThread();
    EmptyTask task;
    for (auto _ : state) {
        benchmark::DoNotOptimize(taskThread->call(task));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_TaskThreadCallRoundTrip(benchmark::State& state) { callRoundTrips(state); }
BENCHMARK(BM_TaskThreadCallRoundTrip)->UseRealTime();

void BM_TaskThreadCallOnOneProcessor(benchmark::State& state) {
    // The worker inherits the caller's affinity when the task thread starts.
    cpu_set_t all, one;
    sched_getaffinity(0, sizeof all, &all);
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);
    callRoundTrips(state);
    sched_setaffinity(0, sizeof all, &all);
}
BENCHMARK(BM_TaskThreadCallOnOneProcessor)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
