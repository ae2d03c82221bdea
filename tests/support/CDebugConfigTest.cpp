// The ini reader and how files and environment combine into the settings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/CDebug.h"
#include "support/CDebugTestSupport.h"

using cdebugtest::kApp;
using cdebugtest::TraceSandbox;

namespace {

std::string appIni(const std::string& keys) { return "[QMS_Test]\n" + keys + "[EndOfFile]\n"; }

TEST(CDebugConfigFile, FindsKeysAsTheFileFormatDefinesThem) {
    TraceSandbox box;
    box.writeConfig("t.ini",
                    "[Other]\nFileDebugLevel=9\n[qms_test]\r\n"
                    "; FileDebugLevel sets the level\r\nFileDebugLevel = \t0x1F\r\n"
                    "RingBufferSizeWeight=010\nEmpty=\nDir=" +
                        std::string(300, 'd') +
                        "\n"
                        "Big=" +
                        std::string(100, '7') + "\n[endoffile]\n");
    CDebugTraceConfigFile file;
    ASSERT_TRUE(file.Load(box.configDir() + "/t.ini"));
    ASSERT_TRUE(file.SelectSection("QMS_TEST"));
    long value = 0;
    // The name's first occurrence is in the comment; the first "=" after it
    // is still the assignment's.
    ASSERT_TRUE(file.GetNumber("FileDebugLevel", value));
    EXPECT_EQ(value, 0x1F);
    ASSERT_TRUE(file.GetNumber("RingBufferSizeWeight", value));
    EXPECT_EQ(value, 8) << "leading 0 is octal";
    ASSERT_TRUE(file.GetNumber("Big", value)) << "cut to 64 digits, strtoul saturates";
    EXPECT_EQ(static_cast<unsigned long>(value), ULONG_MAX);
    char text[CDebugTraceConfigFile::kMaxDirectoryValue + 1] = "x";
    ASSERT_TRUE(file.GetString("Empty", text, sizeof text));
    EXPECT_STREQ(text, "");
    ASSERT_TRUE(file.GetString("Dir", text, sizeof text));
    EXPECT_EQ(std::string(text), std::string(256, 'd'));
    EXPECT_FALSE(file.GetNumber("TraceFlags", value));
    EXPECT_FALSE(file.SelectSection("Missing"));
    EXPECT_FALSE(file.GetNumber("FileDebugLevel", value)) << "no section selected";
}

TEST(CDebugConfigFile, RefusesIncompleteFilesAndNoticesChanges) {
    TraceSandbox box;
    const std::string dir = box.configDir();
    CDebugTraceConfigFile file;
    box.writeConfig("a.ini", appIni("FileDebugLevel=5\n") + "[Late]\n");
    EXPECT_FALSE(file.Load(dir + "/a.ini")) << "last header is not EndOfFile";
    box.writeConfig("b.ini", "FileDebugLevel=5\n[EndOfFile");
    EXPECT_FALSE(file.Load(dir + "/b.ini")) << "no complete header";
    EXPECT_FALSE(file.Load(dir + "/missing.ini"));
    EXPECT_FALSE(file.Load(dir)) << "a directory";
    ASSERT_EQ(mkfifo((dir + "/pipe.ini").c_str(), 0600), 0);
    EXPECT_FALSE(file.Load(dir + "/pipe.ini")) << "a FIFO must neither hang nor count";

    box.writeConfig("t.ini", appIni("FileDebugLevel=1\n"));
    ASSERT_TRUE(file.Load(dir + "/t.ini"));
    EXPECT_EQ(file.Check(), CDebugTraceConfigFile::State::Unchanged);
    box.writeConfig("t.ini", appIni("FileDebugLevel=2\n"), 5);
    EXPECT_EQ(file.Check(), CDebugTraceConfigFile::State::Modified);
    unlink((dir + "/t.ini").c_str());
    EXPECT_EQ(file.Check(), CDebugTraceConfigFile::State::Vanished);
}

TEST(CDebugConfig, IniSetsLevelRingAndDirectoryAndEnvironmentWins) {
    TraceSandbox box;
    TraceSandbox::unset("QM_LOG_RINGBUF_DIR");
    box.writeConfig("app.ini", appIni("FileDebugLevel=0x3\nRingBufferSizeFactor=01\nRingBufferSizeWeight=1\n"
                                      "RingBufferDirectory=  " +
                                      box.traceDir() + "\n"));
    {
        CDebug debug(kApp);
        EXPECT_TRUE(debug.IsActive());
        EXPECT_EQ(debug.GetLevel(), 3u);
        EXPECT_EQ(debug.GetRingSize(), size_t(1) << 20);
        EXPECT_EQ(debug.GetRingPath(), box.ringPath());
    }
    const std::string other = box.root() + "/other";
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    TraceSandbox::set("QM_LOG_DEBUG_LEVEL", "4");
    TraceSandbox::set("QM_LOG_RINGBUF_DIR", other);
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "3");
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT_QMS_TEST", "2");  // the application's own weight wins
    CDebug debug(kApp);
    EXPECT_EQ(debug.GetLevel(), 4u);
    EXPECT_EQ(debug.GetRingSize(), size_t(2) << 20);
    EXPECT_EQ(debug.GetRingPath(), other + "/log.qms_test_a");
    EXPECT_EQ(debug.GetLogPath(), other + "/log.qms_test");
}

TEST(CDebugConfig, AppSectionComesFromTheFirstValidFileInNameOrder) {
    TraceSandbox box;
    TraceSandbox::set("TraceFileLimit", "1");
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "1");
    box.writeConfig("a.ini", appIni("FileDebugLevel=1\n") + "[Trailer]\n");  // no final EndOfFile: ignored
    box.writeConfig("b.ini", "[qms_TEST]\nFileDebugLevel=2\n[EndOfFile]\n");
    box.writeConfig("c.ini", appIni("FileDebugLevel=3\n"));
    box.writeConfig("b.txt", appIni("FileDebugLevel=4\n"));
    EXPECT_EQ(CDebug(kApp).GetLevel(), 2u);
    unlink((box.configDir() + "/b.ini").c_str());
    unlink((box.configDir() + "/c.ini").c_str());
    CDebug onlyInvalid(kApp);
    EXPECT_FALSE(onlyInvalid.IsActive());
    EXPECT_EQ(onlyInvalid.GetLevel(), 0u);
}

// Every way tracing comes up switched off: no ring, nothing traced, the
// calls stay harmless, and what went wrong is said where it can be.
TEST(CDebugOff, NoRingNoTracesAndTheReasonWhereItCanBeSaid) {
    const struct {
        const char* name;
        void (*setup)(const TraceSandbox&);
        std::vector<std::string> errors;  // on stderr
        std::string logged;               // once in the log, if not empty
        bool log = true;                  // whether the log file is made
    } cases[] = {
        {"level 0", [](const TraceSandbox&) { TraceSandbox::tracing(0); }, {}, "always\n"},
        {"factor 0", [](const TraceSandbox&) { TraceSandbox::tracing(5, 0, 1); }, {}, ""},
        {"factor -1", [](const TraceSandbox&) { TraceSandbox::tracing(5, -1, 1); }, {}, ""},
        {"weight 0", [](const TraceSandbox&) { TraceSandbox::tracing(5, 1, 0); }, {}, ""},
        {"ring larger than the address space",
         [](const TraceSandbox&) {
             TraceSandbox::tracing(5, 2, 1);
             TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", std::to_string(LONG_MAX));
         },
         {"Error during initialization"},
         "ring of 2 x " + std::to_string(LONG_MAX) +
             " x 4096 x 256 bytes is larger than this machine can address ###"},
        {"unusable trace directory",
         [](const TraceSandbox& box) {
             TraceSandbox::tracing(5);
             TraceSandbox::set("QM_LOG_RINGBUF_DIR", box.root() + "/no/such/dir");
         },
         {"ERROR: Error during opening ", "/no/such/dir/log.qms_test --> proceed",
          "ERROR: Error during initialization of the CDebug instance.\n"},
         "",
         false},
        // Not even the trace directory was read: the log would go to the
        // default place, which the sandbox lacks.
        {"configuration directory without ini files",
         [](const TraceSandbox& box) {
             TraceSandbox::tracing(5);
             box.writeConfig("readme.txt", "nothing here\n");
         },
         {},
         "",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TraceSandbox box;
        c.setup(box);
        testing::internal::CaptureStderr();
        {
            CDebug debug(kApp);
            EXPECT_FALSE(debug.IsActive());
            EXPECT_EQ(debug.GetLevel(), 0u);
            EXPECT_EQ(debug.GetTarget(), 0u);
            debug.Print(0, "printed");
            debug.PrintAlways(7, "\nalways");
        }
        const std::string errors = testing::internal::GetCapturedStderr();
        for (const std::string& error : c.errors) EXPECT_NE(errors.find(error), std::string::npos) << errors;
        EXPECT_EQ(access(box.ringPath().c_str(), F_OK), -1) << "no ring file";
        EXPECT_EQ(access(box.logPath().c_str(), F_OK) == 0, c.log);
        EXPECT_EQ(box.log().find("printed"), std::string::npos);
        if (!c.logged.empty()) {
            EXPECT_EQ(cdebugtest::countOf(box.log(), c.logged), 1u) << box.log();
        }
    }
}

// Reaches the size rule without making a large file.
struct SizeProbe : CDebugTraceConfig {
    std::optional<size_t> sizeFor(long factor, long weight, long page) {
        m_Factor = factor;
        m_Weight = weight;
        size_t size = 0;
        if (!RingSize(page, size)) return std::nullopt;
        return size;
    }
};

TEST(CDebugConfig, RingSizeHasNoLimitButNeverOverflows) {
    SizeProbe probe;
    EXPECT_EQ(probe.sizeFor(1, 1, 0), size_t(1) << 20) << "4096-byte pages when the system reports none";
    EXPECT_EQ(probe.sizeFor(1, 1000, 4096), size_t(1000) << 20);
    EXPECT_EQ(probe.sizeFor(3, 1, 4096), size_t(2) << 20) << "factor 3 behaves as 2";
    const long most = static_cast<long>(std::min<size_t>(SIZE_MAX / (size_t(2) << 20), LONG_MAX));
    EXPECT_EQ(probe.sizeFor(2, most, 4096), size_t(most) * (size_t(2) << 20));
    EXPECT_EQ(probe.sizeFor(2, most + 1, 4096), std::nullopt);
    EXPECT_EQ(probe.sizeFor(2, LONG_MAX, 65536), std::nullopt);
}

}  // namespace
