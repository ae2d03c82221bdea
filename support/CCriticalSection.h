// A recursive lock for the trace facility.
//
// The owning thread may enter again; each Enter() must be matched by one
// Leave(), and the mutex is released when the count returns to 0. A thread that
// may be cancelled while it holds the lock registers
// CleanupHandlerForCritSecMutex with pthread_cleanup_push, so cancellation
// never leaves the lock held by a thread that no longer exists.
#pragma once

#include <pthread.h>

#include <atomic>

class CCriticalSection {
public:
    CCriticalSection();
    // Released first when the calling thread still owns it.
    ~CCriticalSection();

    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    // Blocks until the calling thread owns the lock; re-entry only counts up.
    // Does nothing once the lock has been destroyed.
    void Enter();
    // Counts down; releases the mutex when the count reaches 0. A call from a
    // thread that does not own the lock is ignored.
    void Leave();
    bool IsOwnedByCaller() const;

    // Holds the lock for one scope.
    class Scoped {
    public:
        explicit Scoped(CCriticalSection& lock) : m_Lock(lock) { m_Lock.Enter(); }
        ~Scoped() { m_Lock.Leave(); }
        Scoped(const Scoped&) = delete;
        Scoped& operator=(const Scoped&) = delete;

    private:
        CCriticalSection& m_Lock;
    };

private:
    friend void CleanupHandlerForCritSecMutex(void* critSec);
    // Gives the lock up entirely, whatever the recursion count.
    void ReleaseAll();

    pthread_mutex_t m_Mutex;
    // Read by other threads to decide whether they own the lock; only the
    // owner writes a value that names itself.
    std::atomic<pthread_t> m_Owner;
    unsigned m_Count;
    bool m_Initialised;
};

// Cleanup handler for pthread_cleanup_push: arg is the CCriticalSection. If
// the cancelled thread owns the lock, releases it at every recursion level.
void CleanupHandlerForCritSecMutex(void* critSec);
