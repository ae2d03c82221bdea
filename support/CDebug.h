// The trace facility.
//
// One CDebug writes timestamped entries into a ring file (a fixed-size file
// mapped into memory and overwritten cyclically, the newest entry always
// followed by an end marker) and, for unconditional output, into a plain log
// file that wraps back to a fixed offset when it grows past its limit. Both
// files live in the trace directory as "log.<app>_a" and "log.<app>", with
// <app> the application name in lower case.
//
// Settings come from the trace configuration directory and from QM_LOG_*
// environment variables (see CDebugTraceConfig). Tracing is active when the
// configured level is not 0 and a ring could be set up.
//
// Every operation is serialised by one recursive lock, so entries from
// concurrent threads are written whole. Nothing here ever reports a failure
// to its caller: a missing log file is skipped, a ring that cannot be set up
// switches tracing off. A ring file that shrinks while mapped (log rotation
// by copy and truncate) is created anew at the next entry, under the same
// name and at its full size (see CRingFaultGuard).
//
// The module's single instance is the global `Debug` (DebugObject.cpp).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "support/CCriticalSection.h"
#include "support/CDebugTraceConfig.h"
#include "support/CRingFaultGuard.h"

class CDebug : public CDebugTraceConfig {
public:
    enum : unsigned { kTargetNone = 0, kTargetLogFile = 1, kTargetRing = 2 };

    // Entry header limit, entry text limit (characters) and the end marker
    // that follows the newest entry in the ring.
    static constexpr size_t kEntryHeaderSize = 128;
    static constexpr size_t kEntryTextSize = 1024;
    static constexpr char kEndMarker[] = "## TRACE-END ##\n";
    static constexpr size_t kEndMarkerLength = sizeof kEndMarker - 1;

    // Initialises at once for a non-empty name; a failed Init is reported to
    // the system log and leaves tracing off.
    explicit CDebug(const char* appName);
    // Stops tracing, unmaps and closes the ring file (its content stays on
    // disk) and closes the log file.
    virtual ~CDebug();

    CDebug(const CDebug&) = delete;
    CDebug& operator=(const CDebug&) = delete;

    virtual bool IsMaster() const;
    // Reads the configuration, opens the log file and, when tracing is
    // active, sets up the ring. Returns false only when the ring could not be
    // set up (tracing is then off). May be called again to start afresh.
    virtual bool Init(const char* appName);
    // Writes an entry when tracing is active and level <= the current level:
    // to the ring when the target is the ring, to the log file when the
    // target is the log file. Looks at the configuration files first when a
    // dynamic update interval is set.
    virtual void Print(unsigned level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Without level test: to the ring when that is the target, and to the log
    // file whenever it is open.
    virtual void PrintAlways(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // As above; the number is ignored.
    virtual void PrintAlways(unsigned ignored, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // As PrintAlways, with the tag shown in the entry header instead of the
    // application name (nullptr: the application name). Consumes args.
    virtual void PrintAlwaysV(const char* format, va_list args, const char* tag)
        __attribute__((format(printf, 2, 0)));
    // Without level test, to the current target only.
    virtual void ClientPrintV(const char* format, va_list args, const char* tag)
        __attribute__((format(printf, 2, 0)));

    // Tracing on; safe to call from any thread without the lock.
    bool IsActive() const { return m_Active.load(std::memory_order_relaxed); }
    // 0 none, 1 log file, 2 ring (ignored for the ring while none is mapped).
    void SetTarget(unsigned target);
    // On: back to the level of the last configuration and active. Off: level 0
    // and inactive.
    void ForceMaxDebug(bool on);
    // Marks the end of the application's start-up: the log file wraps back to
    // its current position from now on, and, while the ring has not wrapped
    // and more than 1 MiB of it is free, the ring keeps everything written so
    // far when it wraps.
    void SetApplInitDone();
    // Copies the command line, shown at the top of every log header.
    void SetMainParams(int argc, char** argv);
    // Writes to the given target, or to the current one when target is 0.
    void PrintIt(unsigned target, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void PrintToLogFile(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes the log header (command line, environment, configuration,
    // effective settings) as one entry per line to the target (0: current).
    void WriteLogHeader(unsigned target);

    // Snapshots of the state, for diagnostics and tests.
    unsigned GetLevel() const;
    unsigned GetTarget() const;
    size_t GetRingSize() const;
    unsigned GetWrapCount() const;
    std::string GetRingPath() const;
    std::string GetLogPath() const;

private:
    struct Entry {
        size_t headerLength;
        size_t length;   // header + text + newline, as held in the buffer
        int textLength;  // what the full text would need
        const char* format;
    };
    // Room behind the cut text for the truncation notes.
    static constexpr size_t kNoteRoom = 64;
    static constexpr size_t kEntryBufferSize = kEntryHeaderSize + kEntryTextSize + kNoteRoom + 1;
    // Entries may nest once: a ring wrap writes the log header while the
    // entry that caused it still waits in the first buffer.
    static constexpr unsigned kEntryBuffers = 2;

    void Release();
    void ReleaseRing();
    void SwitchOff();
    bool InitRingBuffer(const std::string& path, size_t size);
    // After the ring's file shrank: the ring file again, as Init made it.
    // False, with tracing switched off, when that fails.
    bool RecreateRing();
    size_t SetEntryHeader(char* buffer, const char* tag);
    Entry FormatEntry(char* buffer, const char* tag, const char* format, va_list args)
        __attribute__((format(printf, 4, 0)));
    Entry FormatLine(char* buffer, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Write(bool toRing, bool toLog, const char* tag, const char* format, va_list args)
        __attribute__((format(printf, 5, 0)));
    void TraceToRingBuffer(char* buffer, Entry& entry, va_list again);
    void CopyToRing(const char* data, size_t length);
    void MoveRingOffset(size_t offset);
    void TraceToLogFile(const char* data, size_t length);
    void CheckDynamicUpdate();
    size_t ResidentKB(const timespec& now);

    mutable CCriticalSection m_Lock;
    std::string m_AppName;
    std::string m_AppLower;
    unsigned m_Level = 0;
    unsigned m_SavedLevel = 0;
    std::atomic<bool> m_Active{false};
    time_t m_LastUpdateCheck = 0;
    pid_t m_Pid = 0;
    time_t m_StartTime = 0;
    unsigned m_Target = kTargetNone;
    bool m_InitDone = false;
    std::vector<std::string> m_Argv;

    int m_RingFd = -1;
    size_t m_RingSize = 0;
    char* m_Ring = nullptr;
    size_t m_RingOffset = 0;
    size_t m_EntryStart = 0;
    size_t m_RestartOffset = 0;
    unsigned m_WrapCount = 0;
    bool m_RewritingHeader = false;
    std::string m_RingPath;
    // Set from the SIGBUS handler when the ring's file shrank and anonymous
    // memory stands in for the mapping; declared before the guard, which
    // refers to it while it watches.
    std::atomic<bool> m_RingLost{false};
    CRingFaultGuard m_RingGuard;
    bool m_RecreatingRing = false;

    std::string m_LogPath;
    FILE* m_LogFile = nullptr;
    unsigned long m_LogByteCount = 0;
    unsigned m_LogCycle = 0;
    unsigned long m_LogWrapBack = 0;

    // /proc/self/statm, kept open for the memory column, and the last figure
    // read with the millisecond it was read in.
    int m_StatmFd = -1;
    size_t m_PageKB = 4;
    long long m_ResidentMs = -1;
    size_t m_ResidentKB = 0;
    // The date and time to the second, formatted once per second.
    time_t m_StampSecond = -1;
    bool m_StampValid = false;
    char m_Stamp[32] = {};

    unsigned m_EntryDepth = 0;
    char m_EntryBuffers[kEntryBuffers][kEntryBufferSize];
};

extern CDebug Debug;
