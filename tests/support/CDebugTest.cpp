// The trace facility writing its ring and log files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/CDebug.h"
#include "support/CDebugTestSupport.h"

using cdebugtest::countOf;
using cdebugtest::kApp;
using cdebugtest::TraceSandbox;

namespace {

const std::string kMarker = CDebug::kEndMarker;
const size_t kMiB = size_t(1) << 20;
// Time and thread column of an entry header, and with the memory column up
// to the tag.
const std::string kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9A-F]{8}\])";
const std::string kHead = kStamp + R"( +(\d+) KB !)";

// The newest entry (the line that ends at the marker), without its newline.
std::string newestEntry(const std::string& ring) {
    const size_t marker = ring.find(kMarker);
    if (marker == std::string::npos || marker < 2) {
        return {};
    }
    const size_t start = ring.rfind('\n', marker - 2);
    return ring.substr(start + 1, marker - start - 2);
}

TEST(CDebugPrint, EntriesCarryTimeThreadMemoryAndTagAndHonourTheLevel) {
    for (const bool memory : {true, false}) {  // the memory column goes when the ini says so
        SCOPED_TRACE(memory);
        TraceSandbox box(3);
        if (!memory) box.writeConfig("app.ini", "[QMS_Test]\nMemoryTracesFlag=0\n[EndOfFile]\n");
        CDebug debug(kApp);
        ASSERT_EQ(debug.GetTarget(), unsigned(CDebug::kTargetRing));
        debug.Print(3, "\n\nwritten at level %d\n", 3);
        debug.Print(4, "filtered");
        std::smatch match;
        const std::string newest = newestEntry(box.ring());
        const std::string tagged = "QMS_Test      written at level 3";
        ASSERT_TRUE(
            std::regex_match(newest, match, std::regex(memory ? kHead + tagged : kStamp + " " + tagged)))
            << newest;
        if (memory) {
            EXPECT_GT(std::stoul(match[1]), 100u) << "resident size in KB";
        }
        EXPECT_EQ(box.ring().find("filtered"), std::string::npos);
    }
}

TEST(CDebugRing, InitialLayoutHeaderThenEntriesThenMarker) {
    TraceSandbox box(5);
    CDebug debug(kApp);
    const std::string ring = box.ring();
    ASSERT_EQ(ring.size(), kMiB);
    EXPECT_TRUE(std::regex_match(ring.substr(0, ring.find('\n')),
                                 std::regex(kHead + "QMS_Test      Quarnet Environment:")));
    EXPECT_NE(ring.find("QM_LOG_RINGBUF_WEIGHT_QMS_TEST=NotSet\n"), std::string::npos);
    EXPECT_NE(ring.find("Ring Buffer Size           : 1048576\n"), std::string::npos);
    EXPECT_NE(ring.find("DebugLevel                 : -1\n"), std::string::npos)
        << "no ini file: shown as unset";
    const size_t headerEnd = ring.find("# End of header.\n");
    const size_t start = ring.rfind('\n', ring.find("### Start of initialization. ###")) + 1;
    EXPECT_EQ(start % 1024, 0u);
    EXPECT_GE(start, headerEnd + 1024);
    EXPECT_EQ(countOf(ring, kMarker), 1u);
    EXPECT_NE(newestEntry(ring).find("### Start of initialization. ###"), std::string::npos);
    EXPECT_EQ(ring.substr(ring.size() - 2), "_\n") << "untouched lines keep the fill";
}

TEST(CDebugRing, LongMessagesAreKeptUpToATenthOfTheRing) {
    TraceSandbox box(1);
    CDebug debug(kApp);
    const std::string k2000(2000, 'a');
    debug.Print(1, "%s", k2000.c_str());
    EXPECT_NE(box.ring().find("!QMS_Test      " + k2000 + "\n" + kMarker), std::string::npos);
    const std::string tenth(kMiB / 10, 'b');  // 104857: still whole
    debug.Print(1, "%s", tenth.c_str());
    EXPECT_NE(box.ring().find(tenth + "\n" + kMarker), std::string::npos);
    debug.Print(1, "%s", std::string(kMiB / 10 + 1, 'c').c_str());
    const std::string ring = box.ring();
    EXPECT_NE(ring.find("!QMS_Test      " + std::string(1024, 'c') +
                        "\n## WARNING: TRACE-SIZE TOO BIG: Output Truncated!\n" + kMarker),
              std::string::npos);
    EXPECT_EQ(ring.find(std::string(1025, 'c')), std::string::npos);
}

TEST(CDebugRing, WrapRewritesHeaderFillsTailAndKeepsMarkerAfterNewest) {
    TraceSandbox box(1);
    CDebug debug(kApp);
    const std::string body(900, 'w');
    int written = 0;
    while (debug.GetWrapCount() == 0 && written < 5000) {
        debug.Print(1, "entry %05d %s", written++, body.c_str());
    }
    ASSERT_EQ(debug.GetWrapCount(), 1u);
    const std::string ring = box.ring();
    ASSERT_EQ(ring.size(), kMiB);
    EXPECT_LT(ring.find("Quarnet Environment:\n"), 200u) << "header again at the start";
    EXPECT_EQ(countOf(ring, kMarker), 1u);
    char last[24];
    std::snprintf(last, sizeof last, "entry %05d ", written - 1);
    // Entries restart on the first 1 KiB boundary at least 1 KiB after the header.
    const size_t restart = (ring.find("# End of header.\n") + 17 + 2048) / 1024 * 1024;
    EXPECT_TRUE(std::regex_match(ring.substr(restart, ring.find(kMarker) - restart),
                                 std::regex(kHead + "QMS_Test      " + last + body + "\n")));
    // The entry before it still ends right where the dots begin.
    const size_t dots = ring.find_last_not_of('.') + 1;
    ASSERT_LT(dots, ring.size());
    EXPECT_EQ(ring.substr(dots - 1 - body.size()), body + "\n" + std::string(ring.size() - dots, '.'));
}

// logrotate's copytruncate empties the ring file while the module writes
// into its mapping; every access past the new end of file raises SIGBUS.
TEST(CDebugRing, FileTruncatedUnderWritingThreadsIsCreatedAnew) {
    TraceSandbox box(1);
    CDebug debug(kApp);
    // The writers stop at a budget, so a starved main thread cannot let them
    // wrap the ring over the lines this test looks for.
    std::atomic<bool> stop{false};
    std::atomic<int> entries{0};
    std::atomic<int> budget{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&, t] {
            while (!stop) {
                int n = entries;
                if (n >= budget) {
                    std::this_thread::yield();
                } else if (entries.compare_exchange_weak(n, n + 1)) {
                    debug.Print(1, "writer %d entry %d", t, n);
                }
            }
        });
    }
    for (int round = 1; round <= 6; ++round) {
        budget = round * 200;
        while (entries < budget - 100) std::this_thread::yield();
        if (round < 6) {
            ASSERT_EQ(truncate(box.ringPath().c_str(), 0), 0);
        }
    }
    while (entries < budget) std::this_thread::yield();
    stop = true;
    for (auto& writer : writers) writer.join();

    const std::string ring = box.ring();
    ASSERT_EQ(ring.size(), kMiB) << "created anew at its full size";
    EXPECT_LT(ring.find("Quarnet Environment:\n"), 200u) << "with its header first";
    EXPECT_NE(ring.find("### Ring file shrank while in use: created anew. ###\n"), std::string::npos);
    EXPECT_EQ(countOf(ring, kMarker), 1u);
    // Truncated right before an entry: that entry still reaches the new ring.
    ASSERT_EQ(truncate(box.ringPath().c_str(), 0), 0);
    debug.Print(1, "after the last truncation");
    EXPECT_EQ(box.ring().size(), kMiB);
    EXPECT_NE(newestEntry(box.ring()).find("QMS_Test      after the last truncation"), std::string::npos);
}

// A shared mapping of a file truncated under it: touching it raises a SIGBUS
// fault that is none of the trace facility's business.
class ForeignMapping {
public:
    explicit ForeignMapping(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600)) {
        if (ftruncate(fd_, 4096) == 0) page_ = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd_, 0);
        if (ftruncate(fd_, 0) != 0) ADD_FAILURE() << "cannot truncate " << path;
    }
    ~ForeignMapping() {
        munmap(page_, 4096);
        close(fd_);
    }
    void touch() const { (void)*static_cast<volatile char*>(page_); }

private:
    int fd_;
    void* page_ = MAP_FAILED;
};

sigjmp_buf afterForeignFault;
void foreignHandler(int, siginfo_t*, void*) { siglongjmp(afterForeignFault, 1); }

TEST(CDebugRing, OtherBusErrorsGoToThePreviousHandlerOrKill) {
    TraceSandbox box(1);
    const ForeignMapping foreign(box.root() + "/foreign");
    struct sigaction original, previous = {}, now;
    previous.sa_sigaction = foreignHandler;
    previous.sa_flags = SA_SIGINFO;
    sigaction(SIGBUS, &previous, &original);
    volatile bool reached = false;  // set after the long jump: not kept in a register
    {
        CDebug debug(kApp);
        if (sigsetjmp(afterForeignFault, 1) == 0) {
            foreign.touch();
        } else {
            reached = true;
        }
        debug.Print(1, "still tracing");
    }
    sigaction(SIGBUS, &original, &now);
    EXPECT_TRUE(reached);
    EXPECT_EQ(now.sa_sigaction, foreignHandler) << "given back with the last ring";
    EXPECT_NE(box.ring().find("still tracing\n"), std::string::npos);

    // With no handler before, the default action ends the process.
    EXPECT_EXIT(
        {
            signal(SIGBUS, SIG_DFL);
            CDebug debug(kApp);
            foreign.touch();
            std::exit(0);
        },
        testing::KilledBySignal(SIGBUS), "");
}

// The module never marks its start-up as done, so a full log wraps back to
// its start; every wrap writes its line there and the last one is left.
TEST(CDebugLogFile, WrapsBackToItsStartWithAWrapLine) {
    TraceSandbox box;
    TraceSandbox::set("QM_LOG_FILE_MAX_SIZE", "2000");
    CDebug debug(kApp);
    for (int i = 0; i < 40; ++i) debug.PrintAlways(0, "line %02d %s", i, std::string(60, 'l').c_str());
    const std::string log = box.log();
    std::smatch match;
    const std::string wrap = log.substr(0, log.find('\n'));
    ASSERT_TRUE(std::regex_match(
        wrap, match,
        std::regex(kHead + "QMS_Test      ------ WRAP ----- Cycle=(\\d+), CntInitEnd=0, CurrentByteCnt=0 "
                           "\\(MaxCnt=2000\\)")))
        << wrap;
    EXPECT_GE(std::stoi(match[2]), 2);
    EXPECT_NE(log.find(" line 39 "), std::string::npos);
    EXPECT_LE(log.size(), 2200u);
}

TEST(CDebugDynamicUpdate, PicksUpAChangedLevel) {
    TraceSandbox box(0);
    TraceSandbox::unset("QM_LOG_DEBUG_LEVEL");
    box.writeConfig("global_trace.ini", "[GlobalDebugSettings]\nDynamicUpdate=1\n[EndOfFile]\n");
    box.writeConfig("app.ini", "[QMS_Test]\nFileDebugLevel=2\n[EndOfFile]\n");
    CDebug debug(kApp);
    ASSERT_EQ(debug.GetLevel(), 2u);
    debug.Print(5, "before change");
    box.writeConfig("app.ini", "[QMS_Test]\nFileDebugLevel=5\n[EndOfFile]\n", 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    debug.Print(5, "after change");
    EXPECT_EQ(debug.GetLevel(), 5u);
    EXPECT_EQ(box.ring().find("before change"), std::string::npos);
    EXPECT_NE(box.ring().find("after change"), std::string::npos);
}

// Whatever someone planted under a trace file's name is left as it was, and
// tracing goes on without that file.
using Path = const char*;

struct Planted {
    const char* name;
    // Puts something at `at` that leads to or stands for the test's own file
    // `precious`; false when this process cannot make it.
    bool (*plant)(Path at, Path precious);
    const char* reason;
};

class CDebugPlantedFile : public testing::TestWithParam<Planted> {};

TEST_P(CDebugPlantedFile, IsRefusedAndLeftUntouched) {
    TraceSandbox box(5);
    const std::string preciousLog = box.root() + "/precious-log",
                      preciousRing = box.root() + "/precious-ring";
    std::ofstream(preciousLog) << "keep me";
    std::ofstream(preciousRing) << "keep me too";
    if (!GetParam().plant(box.logPath().c_str(), preciousLog.c_str()) ||
        !GetParam().plant(box.ringPath().c_str(), preciousRing.c_str())) {
        GTEST_SKIP() << "this user cannot plant " << GetParam().name;
    }
    const std::string logBefore = TraceSandbox::read(preciousLog),
                      ringBefore = TraceSandbox::read(preciousRing);
    struct stat logPlanted, ringPlanted;
    ASSERT_EQ(lstat(box.logPath().c_str(), &logPlanted), 0);
    ASSERT_EQ(lstat(box.ringPath().c_str(), &ringPlanted), 0);
    testing::internal::CaptureStderr();
    {
        CDebug debug(kApp);
        EXPECT_FALSE(debug.IsActive()) << "a refused ring switches tracing off";
        debug.PrintAlways("written nowhere");
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("ERROR: " + box.logPath() + " refused: " + GetParam().reason), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("ERROR: Error during opening " + box.logPath() + " --> proceed without it"),
              std::string::npos);
    EXPECT_EQ(TraceSandbox::read(preciousLog), logBefore);
    EXPECT_EQ(TraceSandbox::read(preciousRing), ringBefore);
    EXPECT_EQ(access(preciousLog.c_str(), F_OK) == 0, !logBefore.empty()) << "nothing made through a link";
    struct stat logAfter, ringAfter;
    ASSERT_EQ(lstat(box.logPath().c_str(), &logAfter), 0);
    ASSERT_EQ(lstat(box.ringPath().c_str(), &ringAfter), 0);
    EXPECT_EQ(logAfter.st_mode, logPlanted.st_mode);
    EXPECT_EQ(ringAfter.st_mode, ringPlanted.st_mode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CDebugPlantedFile,
    testing::Values(
        Planted{"symlink", [](Path at, Path to) { return symlink(to, at) == 0; }, "it is a symbolic link"},
        Planted{"dangling_symlink", [](Path at, Path to) { return unlink(to) == 0 && symlink(to, at) == 0; },
                "it is a symbolic link"},
        Planted{"hardlink", [](Path at, Path to) { return link(to, at) == 0; }, "it has 2 hard links"},
        Planted{"fifo", [](Path at, Path) { return mkfifo(at, 0600) == 0; }, "it is not a regular file"},
        Planted{"other_users_file",
                [](Path at, Path) { return std::ofstream(at).good() && chown(at, 65534, 65534) == 0; },
                "it belongs to user 65534"}),
    [](const testing::TestParamInfo<Planted>& info) { return std::string(info.param.name); });

TEST(CDebugFiles, LogIsReadableByTheGroupOnlyAndEmptiedAfterTheChecks) {
    TraceSandbox box;
    std::ofstream(box.logPath()) << "an earlier run's text";
    chmod(box.logPath().c_str(), 0666);
    umask(022);
    {
        CDebug debug(kApp);
        debug.PrintAlways("new run");
    }
    struct stat st;
    ASSERT_EQ(stat(box.logPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    const std::string log = box.log();
    EXPECT_EQ(log.find("an earlier run"), std::string::npos);
    EXPECT_NE(log.find("new run"), std::string::npos);
}

// Leaves room for small allocations but not for a 32 MiB mapping, then
// exits 0 when tracing came up switched off.
[[maybe_unused]] void initUnderAddressLimit() {
    unsigned long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = pages * sysconf(_SC_PAGESIZE) + (8u << 20);
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
    CDebug debug(kApp);
    std::exit(!debug.IsActive() && debug.GetTarget() == 0 ? 0 : 1);
}

TEST(CDebugFailure, RingThatCannotBeMappedSwitchesTracingOff) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot coexist with the sanitizer's shadow memory";
#else
    TraceSandbox box(5, 2, 16);
    EXPECT_EXIT(initUnderAddressLimit(), testing::ExitedWithCode(0), "Error during initialization");
    EXPECT_NE(box.log().find("### InitRingBuffer(): mmap of " + box.ringPath() + " failed (errno=12; "),
              std::string::npos)
        << box.log();
#endif
}

TEST(CDebugConcurrency, EntriesFromManyThreadsStayWhole) {
    TraceSandbox box(1);
    CDebug debug(kApp);
    constexpr int kThreads = 4;
    constexpr int kEach = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&debug, t] {
            const std::string payload(40 + t * 10, static_cast<char>('a' + t));
            for (int i = 0; i < kEach; ++i) debug.Print(1, "T%d #%04d %s|", t, i, payload.c_str());
        });
    }
    for (auto& thread : threads) thread.join();
    const std::string ring = box.ring();
    const std::regex line(kHead + R"(QMS_Test      T(\d) #(\d{4}) ([a-d]+)\|)");
    int next[kThreads] = {};
    size_t at = ring.find('\n', ring.find("### Start of initialization. ###")) + 1;
    for (size_t eol; at < ring.find(kMarker); at = eol + 1) {
        eol = ring.find('\n', at);
        std::smatch match;
        const std::string text = ring.substr(at, eol - at);
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        const int t = std::stoi(match[2]);
        EXPECT_EQ(std::stoi(match[3]), next[t]++) << "each thread's entries in order";
        EXPECT_EQ(match[4].str(), std::string(40 + t * 10, static_cast<char>('a' + t)));
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach);
}

}  // namespace
