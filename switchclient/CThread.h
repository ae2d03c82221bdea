// CThread: the thread wrapper of the switch client's event side.
//
// One CThread runs at most one thread at a time. Start() creates it joinable
// ("waitable") or detached, optionally held at its start until Resume(), and
// optionally under round-robin scheduling. Kill() reaps it: a joinable thread
// is joined (so the caller must first make it end, as the switch client does
// through its termination pipe), a detached one is cancelled.
//
// The object does not lock: Start, Resume, Kill and the destructor are meant
// for the one thread that owns the CThread (the switch client calls them
// under its events mutex or from its destructor).
#pragma once

#include <pthread.h>

#include <memory>

class CThread {
public:
    // The thread's entry point; its result is the thread's exit value.
    using ThreadProc = void* (*)(void* arg);

    CThread();
    // Reaps a thread that is still there, as Kill() does.
    ~CThread();

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts proc(arg) on a new thread, reaping an earlier one first.
    //  - priority: non-zero puts round-robin scheduling at that priority
    //    (clamped to the policy's range) into the thread attributes. The
    //    inherit-scheduler attribute keeps its default, under which the
    //    system may keep the creator's scheduling instead. Where the request
    //    is honoured it needs privileges that a CIMOM need not have: when the
    //    thread cannot be created with it, it is created with default
    //    scheduling, and the start still succeeds.
    //  - suspended: the thread waits before calling proc until Resume().
    //  - stackSize: only traced; the thread gets the default stack.
    //  - reserved: unused, kept for the callers' argument list.
    //  - waitable: joinable when true, detached when false.
    // Returns false when no thread could be created at all.
    bool Start(ThreadProc proc, void* arg, int priority, bool suspended, unsigned stackSize,
               unsigned reserved, bool waitable);

    // Lets a thread started suspended run; does nothing otherwise.
    void Resume();

    // Reaps the thread: joins a joinable one (blocking until it returns),
    // cancels a detached one. Does nothing when there is none.
    void Kill();

    // Whether a thread was started and not yet reaped.
    bool IsStarted() const { return m_Started; }
    // The thread's handle; meaningful only while IsStarted().
    pthread_t GetHandle() const { return m_Handle; }

    // The calling thread's handle, cut to 32 bits, as the traces show it.
    static unsigned CurrentHandle();

private:
    struct StartGate;
    static void* Trampoline(void* holder);
    // pthread_create with the attributes Start() describes; its result.
    int CreateThread(void* holder, bool waitable, int priority);

    pthread_t m_Handle;
    bool m_Started = false;
    bool m_Joinable = false;
    // Shared with the thread for its whole life.
    std::shared_ptr<StartGate> m_Gate;
};
