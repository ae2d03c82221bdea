// Cost of one trace entry into the ring (argument: without/with the memory
// column) against the same line written by spdlog's synchronous file logger,
// the common choice for a C++ service's log, in the same process.
//
// BM_TraceEntry alternates the two per entry and prints each side's time and
// their ratio (ring / spdlog). BM_RingOnly and BM_SpdlogOnly run one side with
// a fixed iteration count from QMS_BENCH_ITERATIONS, for system calls and
// instructions per entry: bench/count_per_operation.sh BIN LOW HIGH
// BM_RingOnly BM_SpdlogOnly.
//
// Each benchmark makes its own CDebug over a scratch configuration and trace
// directory (a 4 MiB ring at level 5), so it never touches the machine's
// trace files.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "support/CDebug.h"

namespace {

class ScratchTrace {
public:
    explicit ScratchTrace(bool memoryColumn) {
        char pattern[] = "/tmp/cdebug-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        m_Root = pattern;
        const std::string config = m_Root + "/etc/norvane/QuarnetSuite/TraceConfig";
        std::filesystem::create_directories(config);
        std::filesystem::create_directories(m_Root + "/trace");
        std::ofstream(config + "/bench.ini")
            << "[QMS_Bench]\nFileDebugLevel=5\nRingBufferSizeFactor=1\n"
            << "RingBufferSizeWeight=4\nMemoryTracesFlag=" << (memoryColumn ? 1 : 0) << "\n[EndOfFile]\n";
        setenv("QMS_TEST_ROOT", m_Root.c_str(), 1);
        setenv("QM_LOG_RINGBUF_DIR", (m_Root + "/trace").c_str(), 1);
        for (const char* name : {"QM_LOG_DEBUG_LEVEL", "QM_LOG_DYNAMIC_UPDATE", "TraceFileLimit",
                                 "QM_LOG_RINGBUF_WEIGHT", "QM_LOG_RINGBUF_WEIGHT_QMS_BENCH"}) {
            unsetenv(name);
        }
        m_Debug = std::make_unique<CDebug>("QMS_Bench");
    }
    ~ScratchTrace() {
        m_Debug.reset();
        std::error_code ignored;
        std::filesystem::remove_all(m_Root, ignored);
    }
    CDebug* debug() const { return m_Debug && m_Debug->IsActive() ? m_Debug.get() : nullptr; }
    const std::string& root() const { return m_Root; }

private:
    std::string m_Root;
    std::unique_ptr<CDebug> m_Debug;
};

// The ring's facility and, in the same scratch directory, the baseline
// logger; null debug() after a SkipWithError.
struct Writers {
    explicit Writers(benchmark::State& state, bool memoryColumn) : scratch(memoryColumn) {
        if (scratch.debug() == nullptr) {
            state.SkipWithError("trace facility did not come up");
            return;
        }
        baseline = std::make_shared<spdlog::logger>(
            "baseline",
            std::make_shared<spdlog::sinks::basic_file_sink_st>(scratch.root() + "/trace/baseline.log"));
    }
    void ring(int i) {
        scratch.debug()->Print(5, "\nQMS_VRX             : %s(): handler %d, cabinet %u", "enableIndications",
                               i, 7u);
    }
    void spdlog(int i) {
        baseline->info("QMS_VRX             : {}(): handler {}, cabinet {}", "enableIndications", i, 7u);
    }

    ScratchTrace scratch;
    std::shared_ptr<spdlog::logger> baseline;
};

void BM_TraceEntry(benchmark::State& state) {
    Writers writers(state, state.range(0) != 0);
    if (writers.scratch.debug() == nullptr) return;
    int i = 0;
    qmsbench::Alternation pair("ring", "spdlog");
    pair.run(
        state,
        [&]() -> const char* {
            writers.ring(i++);
            return nullptr;
        },
        [&]() -> const char* {
            writers.spdlog(i++);
            return nullptr;
        });
    state.counters["wraps"] = writers.scratch.debug()->GetWrapCount();
}
BENCHMARK(BM_TraceEntry)->Arg(0)->Arg(1)->UseRealTime();

void BM_RingOnly(benchmark::State& state) {
    Writers writers(state, false);
    if (writers.scratch.debug() == nullptr) return;
    int i = 0;
    for (auto _ : state) writers.ring(i++);
}

void BM_SpdlogOnly(benchmark::State& state) {
    Writers writers(state, false);
    if (writers.scratch.debug() == nullptr) return;
    int i = 0;
    for (auto _ : state) writers.spdlog(i++);
}

void registerFixedCounts() {
    const char* fixed = std::getenv("QMS_BENCH_ITERATIONS");
    for (auto* b : {benchmark::RegisterBenchmark("BM_RingOnly", BM_RingOnly),
                    benchmark::RegisterBenchmark("BM_SpdlogOnly", BM_SpdlogOnly)}) {
        b->UseRealTime();
        if (fixed != nullptr && std::atol(fixed) > 0) b->Iterations(std::atol(fixed));
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    registerFixedCounts();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
