// Keeps the trace facility alive when its ring file shrinks under the
// mapping.
//
// The ring is a shared mapping of a file. When something truncates that file
// while it is mapped (logrotate's copytruncate does exactly that), every
// access beyond the new end of file raises SIGBUS, which by default kills the
// host process: the CIMOM and every provider in it. A size check before each
// write would not help (the file can shrink between the check and the copy)
// and would cost a system call per entry.
//
// So a SIGBUS handler, installed while at least one ring is watched, looks at
// the fault address. Inside a watched ring it maps anonymous memory over the
// whole ring and returns: the interrupted copy then completes into memory
// that nobody reads, and the ring's lost flag tells its owner to create the
// ring file anew at its next entry. Every other SIGBUS goes on to the handler
// that was there before, or gets the default action as if this handler had
// never been installed.
#pragma once

#include <atomic>
#include <cstddef>

class CRingFaultGuard {
public:
    CRingFaultGuard() = default;
    ~CRingFaultGuard() { Unwatch(); }

    CRingFaultGuard(const CRingFaultGuard&) = delete;
    CRingFaultGuard& operator=(const CRingFaultGuard&) = delete;

    // Watches the mapping [start, start + size), replacing any earlier one of
    // this guard. lost is set (from the signal handler) when the mapping had
    // to be replaced; it must outlive the watch. False when the process
    // already watches as many rings as it can, or the handler cannot be
    // installed: the ring then works unguarded.
    bool Watch(void* start, size_t size, std::atomic<bool>* lost);
    // Stops watching; call before unmapping. The handler goes with the last
    // watched ring, so an unloaded library leaves no handler behind.
    void Unwatch();

private:
    int m_Slot = -1;
};
