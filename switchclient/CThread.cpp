#include "switchclient/CThread.h"

#include <sched.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "support/CDebug.h"

// Shared by a CThread and its thread for the thread's whole life. It holds
// the new thread before its procedure (until Resume() for a suspended start,
// for good when the CThread reaps it before it was ever resumed) and tells
// Kill() whether a detached thread is still there to be cancelled.
struct CThread::StartGate {
    std::mutex mutex;
    std::condition_variable cond;
    bool released = false;
    bool cancelled = false;
    bool finished = false;
    ThreadProc proc = nullptr;
    void* arg = nullptr;
};

CThread::CThread() : m_Handle() {}

CThread::~CThread() { Kill(); }

unsigned CThread::CurrentHandle() {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(pthread_self())));
}

void* CThread::Trampoline(void* holder) {
    std::shared_ptr<StartGate> gate = std::move(*static_cast<std::shared_ptr<StartGate>*>(holder));
    delete static_cast<std::shared_ptr<StartGate>*>(holder);
    ThreadProc proc;
    void* arg;
    {
        std::unique_lock<std::mutex> lock(gate->mutex);
        gate->cond.wait(lock, [&] { return gate->released || gate->cancelled; });
        if (gate->cancelled) {
            gate->finished = true;
            return nullptr;
        }
        proc = gate->proc;
        arg = gate->arg;
    }
    void* result = proc(arg);
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->finished = true;
    return result;
}

int CThread::CreateThread(void* holder, bool waitable, int priority) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    pthread_attr_setdetachstate(&attr, waitable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
    if (priority != 0) {
        sched_param param{};
        const int low = sched_get_priority_min(SCHED_RR);
        const int high = sched_get_priority_max(SCHED_RR);
        param.sched_priority = priority < low ? low : (priority > high ? high : priority);
        pthread_attr_setschedpolicy(&attr, SCHED_RR);
        pthread_attr_setschedparam(&attr, &param);
    }
    rc = pthread_create(&m_Handle, &attr, Trampoline, holder);
    pthread_attr_destroy(&attr);
    return rc;
}

bool CThread::Start(ThreadProc proc, void* arg, int priority, bool suspended, unsigned stackSize,
                    unsigned /*reserved*/, bool waitable) {
    if (m_Started) {
        Kill();
    }
    // Every thread of the module is content with the default stack.
    Debug.Print(5, "CThread::Start: requested stack size 0x%X\n", stackSize);
    auto gate = std::make_shared<StartGate>();
    gate->proc = proc;
    gate->arg = arg;
    gate->released = !suspended;

    auto* holder = new std::shared_ptr<StartGate>(gate);
    int rc = CreateThread(holder, waitable, priority);
    if (rc != 0 && priority != 0) {
        // Without the privilege for real-time scheduling the thread still has
        // to run; default scheduling only makes it compete with the others.
        Debug.Print(3, "CThread::Start: round-robin priority %d refused (rc=%d) -> default scheduling\n",
                    priority, rc);
        rc = CreateThread(holder, waitable, 0);
    }
    if (rc != 0) {
        delete holder;
        Debug.Print(1, "CThread::Start: ## ERROR! pthread_create failed (rc=%d)\n", rc);
        return false;
    }
    m_Started = true;
    m_Joinable = waitable;
    m_Gate = std::move(gate);
    // Give the new thread a chance to get going before the starter goes on.
    sched_yield();
    return true;
}

void CThread::Resume() {
    if (!m_Gate) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_Gate->mutex);
        m_Gate->released = true;
    }
    m_Gate->cond.notify_all();
}

void CThread::Kill() {
    if (!m_Started) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_Gate->mutex);
        // A thread still held at its start must not wait for a Resume() that
        // will never come; it ends without running the procedure.
        if (!m_Gate->released) {
            m_Gate->cancelled = true;
            m_Gate->cond.notify_all();
        }
        // A detached thread that is done may be gone already, and its handle
        // with it. One that is not done cannot get past setting the flag while
        // the lock is held here, so it still exists for the cancel.
        if (!m_Joinable && !m_Gate->finished && !m_Gate->cancelled) {
            pthread_cancel(m_Handle);
        }
    }
    if (m_Joinable) {
        pthread_join(m_Handle, nullptr);
    }
    m_Gate.reset();
    m_Started = false;
    m_Joinable = false;
}
