// The trace facility writing its ring and log files.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/CDebug.h"
#include "support/CDebugTestSupport.h"

using cdebugtest::countOf;
using cdebugtest::kApp;
using cdebugtest::TraceSandbox;

namespace {

const std::string kMarker = CDebug::kEndMarker;
const size_t kMiB = size_t(1) << 20;

// The newest entry, without its newline: the line that ends at the marker.
std::string newestEntry(const std::string& ring) {
    const size_t marker = ring.find(kMarker);
    if (marker == std::string::npos || marker == 0) {
        return {};
    }
    const size_t start = ring.rfind('\n', marker - 2);
    return ring.substr(start + 1, marker - start - 2);
}

// The entry lines from the entry area up to the end marker.
std::vector<std::string> entryLines(const std::string& ring) {
    const size_t begin = ring.find("### Start of initialization. ###\n");
    const size_t end = ring.find(kMarker);
    std::vector<std::string> lines;
    if (begin == std::string::npos || end == std::string::npos) {
        return lines;
    }
    size_t at = ring.find('\n', begin) + 1;
    while (at < end) {
        const size_t eol = ring.find('\n', at);
        lines.push_back(ring.substr(at, eol - at));
        at = eol + 1;
    }
    return lines;
}

TEST(CDebugPrint, LevelZeroWritesNothingButPrintAlwaysReachesTheLog) {
    TraceSandbox box;
    TraceSandbox::set("TraceFileLimit", "1");
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "1");
    CDebug debug(kApp);
    EXPECT_FALSE(debug.IsActive());
    debug.Print(0, "quiet %d", 0);
    debug.Print(1, "quiet %d", 1);
    debug.PrintAlways(7, "\nloud %s", "always");
    EXPECT_EQ(access(box.ringPath().c_str(), F_OK), -1);
    const std::string log = box.log();
    EXPECT_EQ(log.find("quiet"), std::string::npos);
    EXPECT_EQ(countOf(log, "loud always\n"), 1u) << log;
}

TEST(CDebugPrint, EntryHeadersCarryTimeThreadTagAndMemory) {
    TraceSandbox box;
    TraceSandbox::ringOf1MiB(3);
    CDebug debug(kApp);
    ASSERT_TRUE(debug.IsActive());
    ASSERT_EQ(debug.GetTarget(), unsigned(CDebug::kTargetRing));
    debug.Print(3, "\n\nwritten at level %d\n", 3);
    debug.Print(4, "filtered");
    const std::regex withMemory(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9A-F]{8}\] +(\d+) KB !QMS_Test      written at level 3)");
    std::smatch match;
    const std::string newest = newestEntry(box.ring());
    ASSERT_TRUE(std::regex_match(newest, match, withMemory)) << newest;
    EXPECT_GT(std::stoul(match[1]), 100u) << "resident size in KB";
    EXPECT_EQ(box.ring().find("filtered"), std::string::npos);

    // A tag replaces the name; the log file gets PrintAlways entries too.
    auto client = [&](const char* tag, const char* format, ...) {
        va_list args;
        va_start(args, format);
        debug.PrintAlwaysV(format, args, tag);
        va_end(args);
    };
    client("Sub", "tagged %s", "entry");
    EXPECT_NE(newestEntry(box.ring()).find("!Sub           tagged entry"), std::string::npos);
    EXPECT_NE(box.log().find("!Sub           tagged entry\n"), std::string::npos);
}

TEST(CDebugPrint, MemoryColumnCanBeSwitchedOffAndForceMaxDebugToggles) {
    TraceSandbox box;
    TraceSandbox::ringOf1MiB(2);
    box.writeConfig("app.ini", "[QMS_Test]\nMemoryTracesFlag=0\n[EndOfFile]\n");
    CDebug debug(kApp);
    debug.Print(2, "plain");
    const std::regex plain(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9A-F]{8}\] QMS_Test      plain)");
    EXPECT_TRUE(std::regex_match(newestEntry(box.ring()), plain)) << newestEntry(box.ring());

    debug.ForceMaxDebug(false);
    EXPECT_FALSE(debug.IsActive());
    debug.Print(0, "while off");
    EXPECT_EQ(box.ring().find("while off"), std::string::npos);
    debug.ForceMaxDebug(true);
    EXPECT_EQ(debug.GetLevel(), 2u);
    debug.Print(2, "back on");
    EXPECT_NE(newestEntry(box.ring()).find("back on"), std::string::npos);
}

TEST(CDebugRing, InitialLayoutHeaderThenEntriesThenMarker) {
    TraceSandbox box;
    TraceSandbox::ringOf1MiB(5);
    CDebug debug(kApp);
    const std::string ring = box.ring();
    ASSERT_EQ(ring.size(), kMiB);
    const std::regex firstLine(R"(.{23} \[[0-9A-F]{8}\] +\d+ KB !QMS_Test      Quarnet Environment:)");
    EXPECT_TRUE(std::regex_match(ring.substr(0, ring.find('\n')), firstLine)) << ring.substr(0, 100);
    const size_t headerEnd = ring.find("# End of header.\n");
    ASSERT_NE(headerEnd, std::string::npos);
    EXPECT_NE(ring.find("QM_LOG_RINGBUF_WEIGHT_QMS_TEST=NotSet\n"), std::string::npos);
    EXPECT_NE(ring.find("Ring Buffer Size           : 1048576\n"), std::string::npos);
    EXPECT_NE(ring.find("DebugLevel                 : -1\n"), std::string::npos) << "no ini file: shown as unset";
    const size_t start = ring.find("### Start of initialization. ###");
    ASSERT_NE(start, std::string::npos);
    const size_t entryStart = ring.rfind('\n', start) + 1;
    EXPECT_EQ(entryStart % 1024, 0u);
    EXPECT_GE(entryStart, headerEnd + 1024);
    EXPECT_EQ(countOf(ring, kMarker), 1u);
    EXPECT_NE(newestEntry(ring).find("### Start of initialization. ###"), std::string::npos);
    // Untouched lines still hold the fill pattern.
    EXPECT_EQ(ring.substr(ring.size() - 2), "_\n");
}

TEST(CDebugRing, LongMessagesAreKeptUpToATenthOfTheRing) {
    TraceSandbox box;
    TraceSandbox::ringOf1MiB(1);
    CDebug debug(kApp);
    const std::string k2000(2000, 'a');
    debug.Print(1, "%s", k2000.c_str());
    EXPECT_NE(box.ring().find("!QMS_Test      " + k2000 + "\n" + kMarker), std::string::npos);

    const std::string tenth(kMiB / 10, 'b');  // 104857: still whole
    debug.Print(1, "%s", tenth.c_str());
    EXPECT_NE(box.ring().find(tenth + "\n" + kMarker), std::string::npos);

    const std::string tooBig(kMiB / 10 + 1, 'c');
    debug.Print(1, "%s", tooBig.c_str());
    const std::string expected =
        std::string(1024, 'c') + "\n## WARNING: TRACE-SIZE TOO BIG: Output Truncated!\n" + kMarker;
    const std::string ring = box.ring();
    EXPECT_NE(ring.find("!QMS_Test      " + expected), std::string::npos);
    EXPECT_EQ(ring.find(std::string(1025, 'c')), std::string::npos);

    // The log file takes at most 1024 characters of text.
    debug.PrintAlways(0, "%s", k2000.c_str());
    const std::string log = box.log();
    EXPECT_NE(log.find(std::string(1024, 'a') + "\n"), std::string::npos);
    EXPECT_EQ(log.find(std::string(1025, 'a')), std::string::npos);
}

TEST(CDebugRing, WrapRewritesHeaderFillsTailAndKeepsMarkerAfterNewest) {
    TraceSandbox box;
    TraceSandbox::ringOf1MiB(1);
    CDebug debug(kApp);
    const std::string body(900, 'w');
    int written = 0;
    while (debug.GetWrapCount() == 0 && written < 5000) {
        debug.Print(1, "entry %05d %s", written++, body.c_str());
    }
    ASSERT_EQ(debug.GetWrapCount(), 1u);
    const std::string last = "entry " + std::string(5 - std::to_string(written - 1).size(), '0') +
                             std::to_string(written - 1);
    const std::string ring = box.ring();
    ASSERT_EQ(ring.size(), kMiB);
    EXPECT_LT(ring.find("Quarnet Environment:\n"), 200u) << "header again at the start";
    EXPECT_EQ(countOf(ring, kMarker), 1u);
    EXPECT_NE(ring.find(last + " " + body + "\n" + kMarker), std::string::npos);
    // The entry before the newest still sits right before the dots.
    const size_t dots = ring.find_last_not_of('.') + 1;
    ASSERT_LT(dots, ring.size());
    EXPECT_EQ(ring.substr(dots - 1 - body.size(), body.size() + 1), body + "\n");
    EXPECT_EQ(ring.back(), '.');
    // Entries restart on the first 1 KiB boundary at least 1 KiB after the header.
    const size_t headerEnd = ring.find("# End of header.\n") + 17;
    const size_t restart = (headerEnd + 2048) / 1024 * 1024;
    const std::regex restarted(R"(.{23} \[[0-9A-F]{8}\] +\d+ KB !QMS_Test      entry \d{5} w+\n)");
    EXPECT_TRUE(std::regex_match(ring.substr(restart, ring.find(kMarker) - restart), restarted));
}

TEST(CDebugRing, InitPhaseEntriesSurviveWrapsAfterSetApplInitDone) {
    TraceSandbox box;
    TraceSandbox::set("QM_LOG_DEBUG_LEVEL", "1");
    TraceSandbox::set("TraceFileLimit", "1");
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "2");
    CDebug debug(kApp);
    debug.Print(1, "start-up detail");
    debug.SetApplInitDone();
    const std::string body(1000, 'x');
    for (int i = 0; debug.GetWrapCount() < 2 && i < 10000; ++i) {
        debug.Print(1, "steady %d %s", i, body.c_str());
    }
    ASSERT_EQ(debug.GetWrapCount(), 2u);
    const std::string ring = box.ring();
    const size_t detail = ring.find("start-up detail\n");
    const size_t end = ring.find("### End of initialization. ###\n");
    ASSERT_NE(detail, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LT(detail, end);
    EXPECT_NE(ring.find("Application Init Done      : 1\n"), std::string::npos);
    EXPECT_EQ(countOf(ring, kMarker), 1u);
    // The entry right behind the init phase is from the latest round.
    std::smatch match;
    const std::string behind = ring.substr(end, 200);
    ASSERT_TRUE(std::regex_search(behind, match, std::regex(R"(\n.{23} .* steady (\d+) )")));
    EXPECT_GT(std::stoi(match[1]), 1000) << behind.substr(0, 120);
}

TEST(CDebugLogFile, WrapsBackToTheInitEndWithAWrapLine) {
    TraceSandbox box;
    TraceSandbox::set("QM_LOG_FILE_MAX_SIZE", "2000");
    CDebug debug(kApp);
    debug.PrintAlways(0, "kept start-up line");
    debug.SetApplInitDone();
    const size_t initEnd = box.log().size();
    for (int i = 0; i < 40; ++i) {
        debug.PrintToLogFile("line %02d %s", i, std::string(60, 'l').c_str());
    }
    const std::string log = box.log();
    EXPECT_EQ(log.find("kept start-up line\n"), initEnd - 19) << "text before the wrap-back offset stays";
    // Every wrap writes its line at the wrap-back offset; the last one is left.
    std::smatch match;
    const std::string wrap = log.substr(initEnd, log.find('\n', initEnd) + 1 - initEnd);
    ASSERT_TRUE(std::regex_match(wrap, match,
                                 std::regex(R"(.{23} \[[0-9A-F]{8}\] +\d+ KB !QMS_Test      )"
                                            R"(------ WRAP ----- Cycle=(\d+), CntInitEnd=(\d+), )"
                                            R"(CurrentByteCnt=(\d+) \(MaxCnt=2000\)\n)")))
        << wrap;
    EXPECT_GE(std::stoi(match[1]), 2);
    EXPECT_EQ(std::stoul(match[2]), initEnd);
    EXPECT_EQ(std::stoul(match[3]), initEnd);
    EXPECT_NE(log.find(" line 39 "), std::string::npos);
    EXPECT_LE(log.size(), 2000u + 200u);
}

TEST(CDebugDynamicUpdate, PicksUpAChangedLevel) {
    TraceSandbox box;
    TraceSandbox::set("TraceFileLimit", "1");
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "1");
    box.writeConfig("global_trace.ini", "[GlobalDebugSettings]\nDynamicUpdate=1\n[EndOfFile]\n");
    box.writeConfig("app.ini", "[QMS_Test]\nFileDebugLevel=2\nTraceFlags=0x4\n[EndOfFile]\n");
    CDebug debug(kApp);
    ASSERT_EQ(debug.GetLevel(), 2u);
    debug.Print(5, "before change");
    box.writeConfig("app.ini", "[QMS_Test]\nFileDebugLevel=5\n[EndOfFile]\n", 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    debug.Print(5, "after change");
    EXPECT_EQ(debug.GetLevel(), 5u);
    const std::string ring = box.ring();
    EXPECT_EQ(ring.find("before change"), std::string::npos);
    EXPECT_NE(ring.find("after change"), std::string::npos);
}

TEST(CDebugFailure, UnusableTraceDirectoryDegradesGracefully) {
    TraceSandbox box;
    TraceSandbox::ringOf1MiB(5);
    TraceSandbox::set("QM_LOG_RINGBUF_DIR", box.root() + "/no/such/dir");
    testing::internal::CaptureStderr();
    {
        CDebug debug(kApp);
        EXPECT_FALSE(debug.IsActive());
        EXPECT_EQ(debug.GetLevel(), 0u);
        debug.Print(0, "nowhere");
        debug.PrintAlways("nowhere either");
        debug.SetApplInitDone();
        debug.WriteLogHeader(0);
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("ERROR: Error during opening " + box.root() + "/no/such/dir/log.qms_test --> proceed"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("ERROR: Error during initialization of the CDebug instance.\n"), std::string::npos);
}

TEST(CDebugFailure, RingThatCannotBeCreatedIsReportedInTheLog) {
    TraceSandbox box;
    TraceSandbox::ringOf1MiB(5);
    ASSERT_EQ(mkdir(box.ringPath().c_str(), 0700), 0);  // a directory where the ring file should go
    testing::internal::CaptureStderr();
    CDebug debug(kApp);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(debug.IsActive());
    EXPECT_EQ(debug.GetTarget(), 0u);
    EXPECT_NE(box.log().find("### InitRingBuffer(): open of " + box.ringPath() + " failed (errno=21; "),
              std::string::npos)
        << box.log();
}

#if defined(__SANITIZE_ADDRESS__)
#define QMS_UNDER_ASAN 1
#endif

// Leaves room for small allocations but not for a 32 MiB mapping, then
// exits 0 when tracing came up switched off.
[[maybe_unused]] void initUnderAddressLimit() {
    std::ifstream statm("/proc/self/statm");
    unsigned long pages = 0;
    statm >> pages;
    const rlim_t limit = pages * sysconf(_SC_PAGESIZE) + (8u << 20);
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
    CDebug debug(kApp);
    std::exit(!debug.IsActive() && debug.GetTarget() == 0 ? 0 : 1);
}

TEST(CDebugFailure, RingThatCannotBeMappedSwitchesTracingOff) {
#ifdef QMS_UNDER_ASAN
    GTEST_SKIP() << "an address-space limit cannot coexist with the sanitizer's shadow memory";
#else
    TraceSandbox box;
    TraceSandbox::set("QM_LOG_DEBUG_LEVEL", "5");
    TraceSandbox::set("TraceFileLimit", "2");
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "16");  // 32 MiB ring
    EXPECT_EXIT(initUnderAddressLimit(), testing::ExitedWithCode(0), "Error during initialization");
    EXPECT_NE(box.log().find("### InitRingBuffer(): mmap of " + box.ringPath() + " failed (errno=12; "),
              std::string::npos)
        << box.log();
#endif
}

TEST(CDebugConcurrency, EntriesFromManyThreadsStayWhole) {
    TraceSandbox box;
    TraceSandbox::ringOf1MiB(1);
    CDebug debug(kApp);
    constexpr int kThreads = 4;
    constexpr int kEach = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&debug, t] {
            const std::string payload(40 + t * 10, static_cast<char>('a' + t));
            for (int i = 0; i < kEach; ++i) {
                debug.Print(1, "T%d #%04d %s|", t, i, payload.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::regex line(R"(.{23} \[[0-9A-F]{8}\] +\d+ KB !QMS_Test      T(\d) #(\d{4}) ([a-d]+)\|)");
    int next[kThreads] = {};
    for (const std::string& text : entryLines(box.ring())) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        const int t = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[t]++) << "each thread's entries in order";
        EXPECT_EQ(match[3].str(), std::string(40 + t * 10, static_cast<char>('a' + t)));
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(next[t], kEach);
    }
}

}  // namespace
