#include "support/CDebug.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/TraceFile.h"

namespace {

const char kNoMemoryNote[] = "\n## ERROR: No memory: Output Truncated!\n";
const char kTooBigNote[] = "\n## WARNING: TRACE-SIZE TOO BIG: Output Truncated!\n";
static_assert(sizeof kTooBigNote <= 64 && sizeof kNoMemoryNote <= 64, "notes must fit behind the cut text");

// The facility's own failures go to the system log. A test build writes them
// to stderr instead, so tests never reach the machine's log.
void systemLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void systemLog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
#ifdef QMS_TEST_BUILD
    (void)priority;
    std::vfprintf(stderr, format, args);
#else
    vsyslog(priority, format, args);
#endif
    va_end(args);
}

// Entries start on a 1 KiB boundary at least 1 KiB behind the header, so a
// header rewritten after a wrap may grow a little without touching them.
size_t entryAreaAfter(size_t headerEnd) { return (headerEnd + 2048) & ~size_t(1023); }

}  // namespace

constexpr char CDebug::kEndMarker[];

CDebug::CDebug(const char* appName) {
    if (appName != nullptr && *appName != '\0' && !Init(appName)) {
        systemLog(LOG_ERR, "ERROR: Error during initialization of the CDebug instance.\n");
    }
}

CDebug::~CDebug() {
    CCriticalSection::Scoped lock(m_Lock);
    m_Target = kTargetNone;
    m_Level = 0;
    m_Active.store(false, std::memory_order_relaxed);
    Release();
}

bool CDebug::IsMaster() const { return true; }

void CDebug::ReleaseRing() {
    // Unwatched first: once unmapped, the addresses may serve someone else.
    m_RingGuard.Unwatch();
    m_RingLost.store(false, std::memory_order_relaxed);
    if (m_Ring != nullptr) {
        munmap(m_Ring, m_RingSize);
        m_Ring = nullptr;
    }
    if (m_RingFd >= 0) {
        close(m_RingFd);
        m_RingFd = -1;
    }
    m_RingSize = m_RingOffset = m_EntryStart = m_RestartOffset = 0;
    m_WrapCount = 0;
}

void CDebug::Release() {
    ReleaseRing();
    if (m_LogFile != nullptr) {
        std::fclose(m_LogFile);
        m_LogFile = nullptr;
    }
    m_LogByteCount = m_LogWrapBack = 0;
    m_LogCycle = 0;
    if (m_StatmFd >= 0) {
        close(m_StatmFd);
        m_StatmFd = -1;
    }
}

void CDebug::SwitchOff() {
    m_Target = kTargetNone;
    m_Level = 0;
    m_Active.store(false, std::memory_order_relaxed);
}

bool CDebug::Init(const char* appName) {
    CCriticalSection::Scoped lock(m_Lock);
    try {
        SwitchOff();
        Release();
        m_InitDone = false;
        m_AppName = appName != nullptr ? appName : "";
        m_AppLower = m_AppName;
        std::transform(m_AppLower.begin(), m_AppLower.end(), m_AppLower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        m_Pid = getpid();
        m_StartTime = std::time(nullptr);
        m_LastUpdateCheck = m_StartTime;
        // Loads the time zone once; localtime_r then never looks at the zone
        // file again, which keeps system calls out of the entry path.
        tzset();
        m_StampSecond = -1;
        const long pageSize = sysconf(_SC_PAGESIZE);
        m_PageKB = pageSize >= 1024 ? static_cast<size_t>(pageSize) / 1024 : 4;
        // The resident size of the process for the memory column. statm holds
        // the same figure as VmRSS in pages, and is far cheaper for the kernel
        // to produce than the whole status file.
        m_StatmFd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
        m_ResidentMs = -1;

        ResetConfiguration();
        ReadEnvironmentLists(m_AppName);
        ReadConfiguration(m_AppName);
        m_Level = m_SavedLevel = m_ConfiguredLevel;

        // The log repeats what the agent link reports, host names and
        // errors included: readable by the process's group, not by everyone.
        m_LogPath = m_RingDirectory + "/log." + m_AppLower;
        std::string why;
        const int logFd = openTraceFile(m_LogPath, 0640, why);
        m_LogFile = logFd >= 0 ? fdopen(logFd, "w+") : nullptr;
        if (m_LogFile == nullptr) {
            if (logFd >= 0) {
                close(logFd);
            } else if (!why.empty()) {
                systemLog(LOG_ERR, "ERROR: %s refused: %s\n", m_LogPath.c_str(), why.c_str());
            }
            systemLog(LOG_ERR, "ERROR: Error during opening %s --> proceed without it\n", m_LogPath.c_str());
        }

        m_RingPath = m_RingDirectory + "/log." + m_AppLower + "_a";
        if (m_Level == 0) {
            return true;
        }
        m_Active.store(true, std::memory_order_relaxed);
        size_t size = 0;
        if (!RingSize(pageSize, size)) {
            PrintToLogFile(
                "\n### InitRingBuffer(): a ring of %ld x %ld x %zu x 256 bytes is larger than this "
                "machine can address ###",
                std::min(m_Factor, 2L), m_Weight, RingPageSize(pageSize));
            SwitchOff();
            return false;
        }
        if (size == 0) {
            SwitchOff();
            return true;
        }
        if (!InitRingBuffer(m_RingPath, size)) {
            SwitchOff();
            return false;
        }
        return true;
    } catch (...) {
        SwitchOff();
        return false;
    }
}

bool CDebug::InitRingBuffer(const std::string& path, size_t size) {
    std::string why;
    m_RingFd = openTraceFile(path, 0700, why);
    if (m_RingFd < 0) {
        const int error = errno;
        if (why.empty()) {
            PrintToLogFile("\n### InitRingBuffer(): open of %s failed (errno=%d; %s) ###", path.c_str(),
                           error, std::strerror(error));
        } else {
            PrintToLogFile("\n### InitRingBuffer(): %s refused: %s ###", path.c_str(), why.c_str());
        }
        return false;
    }

    // Pre-fill the whole file so that the mapping is backed by real blocks:
    // a full disk shows up here instead of as SIGBUS on a later entry.
    constexpr size_t kLine = 1024;
    constexpr size_t kChunk = 64 * kLine;
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[kChunk]);
    if (!chunk) {
        close(m_RingFd);
        m_RingFd = -1;
        PrintToLogFile("\n### InitRingBuffer(): no memory to fill %s ###", path.c_str());
        return false;
    }
    const size_t header = SetEntryHeader(chunk.get(), nullptr);
    std::memset(chunk.get() + header, '_', kLine - 1 - header);
    chunk[kLine - 1] = '\n';
    for (size_t at = kLine; at < kChunk; at += kLine) {
        std::memcpy(chunk.get() + at, chunk.get(), kLine);
    }
    for (size_t done = 0; done < size;) {
        const size_t want = std::min(kChunk, size - done);
        const ssize_t written = write(m_RingFd, chunk.get(), want);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written != static_cast<ssize_t>(want)) {
            close(m_RingFd);
            m_RingFd = -1;
            PrintToLogFile("\n### InitRingBuffer(): (2) write m_InternalDebugBuffer to %s failed ###",
                           path.c_str());
            return false;
        }
        done += want;
    }

    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_RingFd, 0);
    if (mapped == MAP_FAILED) {
        const int error = errno;
        close(m_RingFd);
        m_RingFd = -1;
        PrintToLogFile("\n### InitRingBuffer(): mmap of %s failed (errno=%d; %s) ###", path.c_str(), error,
                       std::strerror(error));
        return false;
    }
    m_Ring = static_cast<char*>(mapped);
    m_RingSize = size;
    m_RingOffset = 0;
    // Before the first access: from here on a shrinking file is survived.
    if (!m_RingGuard.Watch(mapped, size, &m_RingLost)) {
        PrintToLogFile("\n### InitRingBuffer(): %s is not guarded: truncating it ends the process ###",
                       path.c_str());
    }
    m_Target = kTargetRing;
    WriteLogHeader(kTargetRing);
    m_EntryStart = entryAreaAfter(m_RingOffset);
    MoveRingOffset(m_EntryStart);
    PrintIt(kTargetRing, "\n### Start of initialization. ###");
    return true;
}

bool CDebug::RecreateRing() {
    // A file truncated again while its header is being written waits for
    // the next entry rather than pulling the half-made ring from under it.
    if (m_RecreatingRing) {
        return false;
    }
    const size_t size = m_RingSize;
    const unsigned target = m_Target;
    ReleaseRing();
    m_RecreatingRing = true;
    const bool made = size != 0 && InitRingBuffer(m_RingPath, size);
    m_RecreatingRing = false;
    if (!made) {
        SwitchOff();
        return false;
    }
    m_Target = target;
    // Says why the older entries are gone.
    PrintIt(kTargetRing, "\n### Ring file shrank while in use: created anew. ###");
    return true;
}

// ------------------------------------------------------------------ entries

size_t CDebug::ResidentKB(const timespec& now) {
    // Reading the figure is a system call costing about ten entries (a pread
    // of statm; the status file costs more). It is read at most once per
    // millisecond, the resolution of the timestamp it stands beside, so every
    // entry shows the resident size of the millisecond it was written in.
    const long long ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (ms == m_ResidentMs || m_StatmFd < 0) {
        return m_ResidentKB;
    }
    m_ResidentMs = ms;
    // "size resident shared ..." in pages.
    char text[96];
    const ssize_t n = pread(m_StatmFd, text, sizeof text - 1, 0);
    if (n <= 0) {
        m_ResidentKB = 0;
        return 0;
    }
    text[n] = '\0';
    char* end = nullptr;
    std::strtoul(text, &end, 10);
    m_ResidentKB = static_cast<size_t>(std::strtoul(end, nullptr, 10)) * m_PageKB;
    return m_ResidentKB;
}

size_t CDebug::SetEntryHeader(char* buffer, const char* tag) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != m_StampSecond) {
        // Broken-down time changes only with the second (zone changes happen
        // on second boundaries too), so the date is formatted once per second.
        struct tm local;
        m_StampSecond = now.tv_sec;
        m_StampValid = localtime_r(&now.tv_sec, &local) != nullptr &&
                       std::strftime(m_Stamp, sizeof m_Stamp, "%F %H:%M:%S", &local) != 0;
    }
    char stamp[sizeof m_Stamp + 8];
    if (m_StampValid) {
        std::snprintf(stamp, sizeof stamp, "%s.%03d", m_Stamp, static_cast<int>(now.tv_nsec / 1000000));
    } else {
        std::strcpy(stamp, "yyyy-mm-dd hh:mm:ss.mmm");
    }
    // pthread_self is a plain read of the thread pointer; the kernel's thread
    // id would cost a system call per entry.
    const unsigned thread = static_cast<uint32_t>(pthread_self());
    const char* name = tag != nullptr ? tag : m_AppName.c_str();
    const int n = m_MemoryColumn
                      ? std::snprintf(buffer, kEntryHeaderSize + 1, "%s [%08X] %8zu %s !%-13s ", stamp,
                                      thread, ResidentKB(now), "KB", name)
                      : std::snprintf(buffer, kEntryHeaderSize + 1, "%s [%08X] %-13s ", stamp, thread, name);
    return n < 0 ? 0 : std::min(static_cast<size_t>(n), kEntryHeaderSize);
}

CDebug::Entry CDebug::FormatEntry(char* buffer, const char* tag, const char* format, va_list args) {
    Entry entry{};
    if (format == nullptr) {
        format = "";
    }
    // Callers start their formats with a newline out of habit; the entry
    // header already starts a line.
    entry.format = format + std::strspn(format, "\n");
    if (*entry.format == '\0') {
        entry.format = format;
    }
    entry.headerLength = SetEntryHeader(buffer, tag);
    char* text = buffer + entry.headerLength;
    const int n = std::vsnprintf(text, kEntryTextSize + 1, entry.format, args);
    entry.textLength = n < 0 ? 0 : n;
    if (n < 0) {
        *text = '\0';
    }
    const size_t kept = std::min(static_cast<size_t>(entry.textLength), kEntryTextSize);
    size_t length = entry.headerLength + kept;
    if (kept == 0 || text[kept - 1] != '\n') {
        buffer[length++] = '\n';
    }
    buffer[length] = '\0';
    entry.length = length;
    return entry;
}

CDebug::Entry CDebug::FormatLine(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const Entry entry = FormatEntry(buffer, nullptr, format, args);
    va_end(args);
    return entry;
}

void CDebug::Write(bool toRing, bool toLog, const char* tag, const char* format, va_list args) {
    // A shrink noticed during an earlier entry; the ring is made anew between
    // entries, never inside one.
    if (m_EntryDepth == 0 && m_RingLost.load(std::memory_order_relaxed)) {
        RecreateRing();
    }
    toRing = toRing && m_Ring != nullptr;
    toLog = toLog && m_LogFile != nullptr;
    if ((!toRing && !toLog) || m_EntryDepth >= kEntryBuffers) {
        return;
    }
    char* buffer = m_EntryBuffers[m_EntryDepth++];
    va_list again;
    va_list retry;
    va_copy(again, args);
    va_copy(retry, args);
    Entry entry = FormatEntry(buffer, tag, format, args);
    if (toLog) {
        TraceToLogFile(buffer, entry.length);
    }
    if (toRing) {
        TraceToRingBuffer(buffer, entry, again);
        // The file shrank under this very entry, which went into the memory
        // standing in for the ring: it belongs in the new ring.
        if (m_EntryDepth == 1 && m_RingLost.load(std::memory_order_relaxed) && RecreateRing()) {
            TraceToRingBuffer(buffer, entry, retry);
        }
    }
    va_end(retry);
    va_end(again);
    --m_EntryDepth;
}

void CDebug::TraceToRingBuffer(char* buffer, Entry& entry, va_list again) {
    if (static_cast<size_t>(entry.textLength) > kEntryTextSize) {
        const char* note = kTooBigNote;
        if (static_cast<size_t>(entry.textLength) <= m_RingSize / 10) {
            // Rare and bounded by the ring size, so the one allocation on the
            // entry path lives here.
            const size_t textLength = static_cast<size_t>(entry.textLength);
            std::unique_ptr<char[]> whole(new (std::nothrow) char[entry.headerLength + textLength + 2]);
            if (whole) {
                std::memcpy(whole.get(), buffer, entry.headerLength);
                char* text = whole.get() + entry.headerLength;
                const int n = std::vsnprintf(text, textLength + 1, entry.format, again);
                size_t length = entry.headerLength + std::min(static_cast<size_t>(n < 0 ? 0 : n), textLength);
                if (whole[length - 1] != '\n') {
                    whole[length++] = '\n';
                }
                CopyToRing(whole.get(), length);
                return;
            }
            note = kNoMemoryNote;
        }
        const size_t at = entry.headerLength + kEntryTextSize;
        const size_t noteLength = std::strlen(note);
        std::memcpy(buffer + at, note, noteLength + 1);
        entry.length = at + noteLength;
    }
    CopyToRing(buffer, entry.length);
}

void CDebug::MoveRingOffset(size_t offset) {
    // The marker left behind would claim a second "newest" entry.
    if (m_RingOffset + kEndMarkerLength <= m_RingSize &&
        std::memcmp(m_Ring + m_RingOffset, kEndMarker, kEndMarkerLength) == 0) {
        std::memset(m_Ring + m_RingOffset, '_', kEndMarkerLength - 1);
        m_Ring[m_RingOffset + kEndMarkerLength - 1] = '\n';
    }
    m_RingOffset = offset;
}

void CDebug::CopyToRing(const char* data, size_t length) {
    if (m_RingOffset + length + kEndMarkerLength > m_RingSize) {
        if (m_RewritingHeader) {
            return;
        }
        std::memset(m_Ring + m_RingOffset, '.', m_RingSize - m_RingOffset);
        ++m_WrapCount;
        m_RingOffset = 0;
        m_RewritingHeader = true;
        WriteLogHeader(kTargetRing);
        m_RewritingHeader = false;
        // Whatever the command line added since, never restart inside the
        // header just written.
        size_t restart = entryAreaAfter(m_RingOffset);
        if (m_RestartOffset > restart) {
            restart = m_RestartOffset;
        }
        MoveRingOffset(restart);
        if (m_RingOffset + kEndMarkerLength >= m_RingSize) {
            return;
        }
        length = std::min(length, m_RingSize - m_RingOffset - kEndMarkerLength);
    }
    std::memcpy(m_Ring + m_RingOffset, data, length);
    m_RingOffset += length;
    std::memcpy(m_Ring + m_RingOffset, kEndMarker, kEndMarkerLength);
}

void CDebug::TraceToLogFile(const char* data, size_t length) {
    std::fwrite(data, 1, length, m_LogFile);
    std::fflush(m_LogFile);
    m_LogByteCount += length;
    if (m_LogByteCount <= static_cast<unsigned long>(m_LogMaxSize)) {
        return;
    }
    if (std::fseek(m_LogFile, static_cast<long>(m_LogWrapBack), SEEK_SET) != 0) {
        systemLog(LOG_ERR, "ERROR: fseek failed for %s (errno=%d) --> rewind it\n", m_LogPath.c_str(), errno);
        std::rewind(m_LogFile);
        m_LogWrapBack = 0;
    }
    m_LogByteCount = m_LogWrapBack;
    ++m_LogCycle;
    // Written directly: the line itself must not trigger another wrap.
    char line[kEntryBufferSize];
    const Entry entry =
        FormatLine(line, "------ WRAP ----- Cycle=%d, CntInitEnd=%u, CurrentByteCnt=%u (MaxCnt=%u)\n",
                   static_cast<int>(m_LogCycle), static_cast<unsigned>(m_LogWrapBack),
                   static_cast<unsigned>(m_LogByteCount), static_cast<unsigned>(m_LogMaxSize));
    std::fwrite(line, 1, entry.length, m_LogFile);
    std::fflush(m_LogFile);
    m_LogByteCount += entry.length;
}

// ---------------------------------------------------------------- printing

void CDebug::CheckDynamicUpdate() {
    const time_t now = std::time(nullptr);
    if (now >= m_LastUpdateCheck && now - m_LastUpdateCheck < m_DynamicUpdate) {
        return;
    }
    m_LastUpdateCheck = now;
    if (RefreshFromFiles()) {
        m_Level = m_SavedLevel = m_FileLevel;
    }
}

void CDebug::Print(unsigned level, const char* format, ...) {
    if (!IsActive()) {
        return;
    }
    CCriticalSection::Scoped lock(m_Lock);
    try {
        if (m_DynamicUpdate != 0) {
            CheckDynamicUpdate();
        }
    } catch (...) {
        // A configuration that cannot be re-read leaves the settings as
        // they were.
    }
    if (level > m_Level) {
        return;
    }
    va_list args;
    va_start(args, format);
    Write(m_Target == kTargetRing, m_Target == kTargetLogFile, nullptr, format, args);
    va_end(args);
}

void CDebug::PrintAlways(const char* format, ...) {
    va_list args;
    va_start(args, format);
    PrintAlwaysV(format, args, nullptr);
    va_end(args);
}

void CDebug::PrintAlways(unsigned, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PrintAlwaysV(format, args, nullptr);
    va_end(args);
}

void CDebug::PrintAlwaysV(const char* format, va_list args, const char* tag) {
    CCriticalSection::Scoped lock(m_Lock);
    Write(m_Target == kTargetRing, true, tag, format, args);
}

void CDebug::ClientPrintV(const char* format, va_list args, const char* tag) {
    CCriticalSection::Scoped lock(m_Lock);
    Write(m_Target == kTargetRing, m_Target == kTargetLogFile, tag, format, args);
}

void CDebug::PrintIt(unsigned target, const char* format, ...) {
    CCriticalSection::Scoped lock(m_Lock);
    if (target == kTargetNone) {
        target = m_Target;
    }
    va_list args;
    va_start(args, format);
    Write(target == kTargetRing, target == kTargetLogFile, nullptr, format, args);
    va_end(args);
}

void CDebug::PrintToLogFile(const char* format, ...) {
    CCriticalSection::Scoped lock(m_Lock);
    va_list args;
    va_start(args, format);
    Write(false, true, nullptr, format, args);
    va_end(args);
}

// ------------------------------------------------------------ state changes

void CDebug::SetTarget(unsigned target) {
    CCriticalSection::Scoped lock(m_Lock);
    m_Target = target;
}

void CDebug::ForceMaxDebug(bool on) {
    CCriticalSection::Scoped lock(m_Lock);
    m_Level = on ? m_SavedLevel : 0;
    m_Active.store(on, std::memory_order_relaxed);
}

void CDebug::SetApplInitDone() {
    CCriticalSection::Scoped lock(m_Lock);
    if (m_LogFile != nullptr) {
        const long position = std::ftell(m_LogFile);
        m_LogWrapBack = position > 0 ? static_cast<unsigned long>(position) : 0;
    }
    if (m_Target == kTargetRing && m_Ring != nullptr && m_WrapCount == 0 &&
        m_RingSize - m_RingOffset > 0x100000) {
        PrintIt(kTargetRing, "\n### End of initialization. ###");
        m_InitDone = true;
        m_RestartOffset = m_RingOffset;
    }
}

void CDebug::SetMainParams(int argc, char** argv) {
    CCriticalSection::Scoped lock(m_Lock);
    try {
        m_Argv.clear();
        for (int i = 0; argv != nullptr && i < argc; ++i) {
            m_Argv.emplace_back(argv[i] != nullptr ? argv[i] : "");
        }
    } catch (...) {
        m_Argv.clear();
    }
}

void CDebug::WriteLogHeader(unsigned target) {
    CCriticalSection::Scoped lock(m_Lock);
    if (!m_Argv.empty()) {
        PrintIt(target, "\n%s Command Line Options:", m_AppName.c_str());
        for (size_t i = 0; i < m_Argv.size(); ++i) {
            PrintIt(target, "\nargv[%d] = \"%s\"", static_cast<int>(i), m_Argv[i].c_str());
        }
    }
    PrintIt(target, "\nQuarnet Environment:");
    for (size_t i = 0; i < kEnvironmentCount; ++i) {
        PrintIt(target, "\n%s=%s", kEnvironmentList[i], m_EnvironmentValues[i].c_str());
    }
    PrintIt(target, "\n%s=%s", m_WeightVariable.c_str(), m_WeightVariableValue.c_str());
    PrintIt(target, "\nQuarnet Configuration File:");
    for (size_t i = 0; i < kConfigurationCount; ++i) {
        PrintIt(target, "\n%s=%s", kConfigurationList[i], m_ConfigurationValues[i].c_str());
    }

    auto asInt = [](long value) { return static_cast<int>(value); };
    PrintIt(target, "\nDebug values from ini file :");
    PrintIt(target, "\nDynamicUpdate              : %d", asInt(m_Ini.dynamicUpdate));
    PrintIt(target, "\nDebugLevel                 : %d", asInt(m_Ini.level));
    PrintIt(target, "\nRingBufferSizeFactor       : %d", asInt(m_Ini.factor));
    PrintIt(target, "\nRingBufferSizeWeight       : %d", asInt(m_Ini.weight));
    PrintIt(target, "\nRingBufferDirectory        : %s", m_Ini.ringDirectory);
    PrintIt(target, "\nNo Header to LogFile       : %d", asInt(m_Ini.noHeader));

    PrintIt(target, "\nInternal Debug values      :");
    PrintIt(target, "\nProcess PID                : %d", static_cast<int>(m_Pid));
    PrintIt(target, "\nTrace Target               : %d", static_cast<int>(m_Target));
    PrintIt(target, "\nTrace Level                : %d", static_cast<int>(m_Level));
    PrintIt(target, "\nTrace Level Saved          : %d", static_cast<int>(m_SavedLevel));
    PrintIt(target, "\nApplication Init Done      : %d", m_InitDone ? 1 : 0);
    PrintIt(target, "\nLogFile Path               : %s", m_LogPath.c_str());
    PrintIt(target, "\nLogFile Max Size           : %d", asInt(m_LogMaxSize));
    PrintIt(target, "\nRing Buffer FD             : %d", m_RingFd);
    PrintIt(target, "\nRing Buffer Factor         : %d", asInt(m_Factor));
    PrintIt(target, "\nRing Buffer Weight         : %d", asInt(m_Weight));
    PrintIt(target, "\nRing Buffer Size           : %d", static_cast<int>(m_RingSize));
    PrintIt(target, "\nRing Buffer Directory      : %s", m_RingDirectory.c_str());
    PrintIt(target, "\nRing Buffer Path           : %s", m_RingPath.c_str());
    PrintIt(target, "\nNo Header to LogFile       : %d", asInt(m_NoHeader));
    PrintIt(target, "\n# End of header.");
}

// --------------------------------------------------------------- snapshots

unsigned CDebug::GetLevel() const {
    CCriticalSection::Scoped lock(m_Lock);
    return m_Level;
}

unsigned CDebug::GetTarget() const {
    CCriticalSection::Scoped lock(m_Lock);
    return m_Target;
}

size_t CDebug::GetRingSize() const {
    CCriticalSection::Scoped lock(m_Lock);
    return m_RingSize;
}

unsigned CDebug::GetWrapCount() const {
    CCriticalSection::Scoped lock(m_Lock);
    return m_WrapCount;
}

std::string CDebug::GetRingPath() const {
    CCriticalSection::Scoped lock(m_Lock);
    return m_RingPath;
}

std::string CDebug::GetLogPath() const {
    CCriticalSection::Scoped lock(m_Lock);
    return m_LogPath;
}
