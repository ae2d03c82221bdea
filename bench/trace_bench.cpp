// Cost of one trace entry into the ring, with and without the memory column.
//
// Each benchmark makes its own CDebug over a scratch configuration and trace
// directory (a 4 MiB ring at level 5), so it never touches the machine's
// trace files.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

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

private:
    std::string m_Root;
    std::unique_ptr<CDebug> m_Debug;
};

void printIntoRing(benchmark::State& state, bool memoryColumn) {
    ScratchTrace scratch(memoryColumn);
    CDebug* debug = scratch.debug();
    if (debug == nullptr) {
        state.SkipWithError("trace facility did not come up");
        return;
    }
    int i = 0;
    for (auto _ : state) {
        debug->Print(5, "\nQMS_VRX             : %s(): handler %d, cabinet %u", "enableIndications", i++, 7u);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["wraps"] = debug->GetWrapCount();
}

void BM_PrintRing(benchmark::State& state) { printIntoRing(state, false); }
void BM_PrintRingMemoryColumn(benchmark::State& state) { printIntoRing(state, true); }

BENCHMARK(BM_PrintRing);
BENCHMARK(BM_PrintRingMemoryColumn);

}  // namespace

BENCHMARK_MAIN();
