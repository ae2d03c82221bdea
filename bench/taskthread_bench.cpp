// Round trip of one TaskThread::call with a task that does nothing: the cost
// that every agent request pays to run on the switch client's worker.
#include <benchmark/benchmark.h>

#include "support/TaskThread.h"

namespace {

struct EmptyTask : provider::TaskThread::Task {
    void threadTask() override {}
};

void BM_TaskThreadCallRoundTrip(benchmark::State& state) {
    ShPtr<provider::TaskThread> taskThread = provider::newCimpleTaskThread();
    EmptyTask task;
    for (auto _ : state) {
        benchmark::DoNotOptimize(taskThread->call(task));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TaskThreadCallRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
