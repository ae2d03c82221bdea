// The ini reader and how files and environment combine into the settings.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "support/CDebug.h"
#include "support/CDebugTestSupport.h"
#include "support/CDebugTraceConfig.h"

using cdebugtest::kApp;
using cdebugtest::TraceSandbox;

namespace {

const char kEnd[] = "[EndOfFile]\n";

std::string appIni(const std::string& keys) { return std::string("[QMS_Test]\n") + keys + kEnd; }

CDebugTraceConfigFile loaded(const TraceSandbox& box, const std::string& text) {
    box.writeConfig("t.ini", text);
    CDebugTraceConfigFile file;
    EXPECT_TRUE(file.Load(box.configDir() + "/t.ini"));
    return file;
}

TEST(CDebugConfigFile, FindsKeysAsTheFileFormatDefinesThem) {
    TraceSandbox box;
    CDebugTraceConfigFile file = loaded(box,
                                        "[Other]\nFileDebugLevel=9\n"
                                        "[qms_test]\r\n"
                                        "; FileDebugLevel sets the level\r\n"
                                        "FileDebugLevel = \t0x1F\r\n"
                                        "RingBufferSizeWeight=010\n"
                                        "Empty=\n"
                                        "[endoffile]\n");
    ASSERT_TRUE(file.SelectSection("QMS_TEST"));

    long value = 0;
    // The first occurrence of the name is in the comment; the first "=" after
    // it belongs to the real assignment, so the value is still found.
    ASSERT_TRUE(file.GetNumber("FileDebugLevel", value));
    EXPECT_EQ(value, 0x1F);
    ASSERT_TRUE(file.GetNumber("RingBufferSizeWeight", value));
    EXPECT_EQ(value, 8);  // leading 0: octal
    char text[8] = "x";
    ASSERT_TRUE(file.GetString("Empty", text, sizeof text));
    EXPECT_STREQ(text, "");
    EXPECT_FALSE(file.GetNumber("TraceFlags", value));
    EXPECT_FALSE(file.SelectSection("Missing"));
    EXPECT_FALSE(file.GetNumber("FileDebugLevel", value)) << "no section selected";
}

TEST(CDebugConfigFile, CutsValuesAtTheirLimit) {
    TraceSandbox box;
    const std::string longValue(300, 'd');
    CDebugTraceConfigFile file = loaded(box, appIni("A=" + longValue + "\nB=" + std::string(100, '7') + "\n"));
    ASSERT_TRUE(file.SelectSection(kApp));
    char directory[CDebugTraceConfigFile::kMaxDirectoryValue + 1];
    ASSERT_TRUE(file.GetString("A", directory, sizeof directory));
    EXPECT_EQ(std::string(directory), std::string(256, 'd'));
    long value = 0;
    ASSERT_TRUE(file.GetNumber("B", value));  // 64 sevens overflow: strtoul saturates
    EXPECT_EQ(static_cast<unsigned long>(value), ULONG_MAX);
}

TEST(CDebugConfigFile, RefusesFilesThatAreNotCompleteConfiguration) {
    TraceSandbox box;
    CDebugTraceConfigFile file;
    box.writeConfig("a.ini", "[QMS_Test]\nFileDebugLevel=5\n[EndOfFile]\n[Late]\n");
    EXPECT_FALSE(file.Load(box.configDir() + "/a.ini")) << "last header is not EndOfFile";
    box.writeConfig("b.ini", "FileDebugLevel=5\n");
    EXPECT_FALSE(file.Load(box.configDir() + "/b.ini")) << "no header at all";
    box.writeConfig("c.ini", "[QMS_Test]\nFileDebugLevel=5\n[EndOfFile");
    EXPECT_FALSE(file.Load(box.configDir() + "/c.ini")) << "unclosed header";
    EXPECT_FALSE(file.Load(box.configDir() + "/missing.ini"));
    EXPECT_FALSE(file.Load(box.configDir())) << "a directory";
    const std::string fifo = box.configDir() + "/pipe.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(file.Load(fifo)) << "a FIFO must neither hang nor count";
    EXPECT_FALSE(file.IsLoaded());
}

TEST(CDebugConfigFile, NoticesChangesOnDisk) {
    TraceSandbox box;
    box.writeConfig("t.ini", appIni("FileDebugLevel=1\n"));
    CDebugTraceConfigFile file;
    ASSERT_TRUE(file.Load(box.configDir() + "/t.ini"));
    EXPECT_EQ(file.Check(), CDebugTraceConfigFile::State::Unchanged);
    box.writeConfig("t.ini", appIni("FileDebugLevel=2\n"), 5);
    EXPECT_EQ(file.Check(), CDebugTraceConfigFile::State::Modified);
    unlink((box.configDir() + "/t.ini").c_str());
    EXPECT_EQ(file.Check(), CDebugTraceConfigFile::State::Vanished);
}

// ------------------------------------------------ files and environment

TEST(CDebugConfig, IniSetsLevelRingAndDirectoryAndEnvironmentWins) {
    TraceSandbox box;
    TraceSandbox::unset("QM_LOG_RINGBUF_DIR");
    box.writeConfig("app.ini", appIni("FileDebugLevel=0x3\nRingBufferSizeFactor=01\nRingBufferSizeWeight=1\n"
                                      "RingBufferDirectory=  " + box.traceDir() + "\n"));
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
    box.writeConfig("a.ini", appIni("FileDebugLevel=1\n") + "[Trailer]\n");  // not valid: skipped
    box.writeConfig("b.ini", "[qms_TEST]\nFileDebugLevel=2\n[EndOfFile]\n");
    box.writeConfig("c.ini", appIni("FileDebugLevel=3\n"));
    box.writeConfig("b.txt", appIni("FileDebugLevel=4\n"));
    CDebug debug(kApp);
    EXPECT_EQ(debug.GetLevel(), 2u);
}

TEST(CDebugConfig, SizesThatSwitchTracingOffOrAreCapped) {
    TraceSandbox box;
    TraceSandbox::set("QM_LOG_DEBUG_LEVEL", "5");
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "1");
    for (const char* factor : {"0", "-1"}) {
        TraceSandbox::set("TraceFileLimit", factor);
        CDebug debug(kApp);
        EXPECT_FALSE(debug.IsActive()) << factor;
        EXPECT_EQ(debug.GetTarget(), 0u);
        EXPECT_EQ(access(box.ringPath().c_str(), F_OK), -1) << "no ring file for factor " << factor;
    }
    TraceSandbox::set("TraceFileLimit", "1");
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "0");
    EXPECT_FALSE(CDebug(kApp).IsActive());

    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "1");
    TraceSandbox::set("TraceFileLimit", "3");
    CDebug three(kApp);
    EXPECT_TRUE(three.IsActive());
    EXPECT_EQ(three.GetRingSize(), size_t(2) << 20) << "factor 3 behaves as 2";
}

// Reaches the size rule without making a 256 MiB file.
struct SizeProbe : CDebugTraceConfig {
    size_t sizeFor(long factor, long weight, long page) {
        m_Factor = factor;
        m_Weight = weight;
        return RingSize(page);
    }
};

TEST(CDebugConfig, RingSizeNeverOverflowsAndIsCapped) {
    SizeProbe probe;
    EXPECT_EQ(probe.sizeFor(1, 1, 0), size_t(1) << 20) << "4096-byte pages when the system reports none";
    EXPECT_EQ(probe.sizeFor(2, 3, 65536), size_t(96) << 20);
    EXPECT_EQ(probe.sizeFor(2, LONG_MAX, 4096), CDebugTraceConfig::kMaxRingSize);
    EXPECT_EQ(probe.sizeFor(1, 1000, 4096), CDebugTraceConfig::kMaxRingSize);
}

TEST(CDebugConfig, ConfigDirectoryWithoutIniFilesSilencesEvenTheEnvironment) {
    TraceSandbox box;
    TraceSandbox::ringOf1MiB(5);
    box.writeConfig("readme.txt", "nothing here\n");
    CDebug debug(kApp);
    EXPECT_FALSE(debug.IsActive());
    EXPECT_EQ(debug.GetLevel(), 0u);
    // Nothing was read, not even the trace directory: the log goes to the
    // default place, which does not exist in this sandbox.
    EXPECT_EQ(access(box.logPath().c_str(), F_OK), -1);
}

TEST(CDebugConfig, IniWithoutEndOfFileIsIgnored) {
    TraceSandbox box;
    TraceSandbox::set("TraceFileLimit", "1");
    TraceSandbox::set("QM_LOG_RINGBUF_WEIGHT", "1");
    box.writeConfig("app.ini", "[QMS_Test]\nFileDebugLevel=5\n");
    CDebug debug(kApp);
    EXPECT_FALSE(debug.IsActive());
    EXPECT_EQ(debug.GetLevel(), 0u);
}

}  // namespace
