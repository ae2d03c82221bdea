#include "support/CCriticalSection.h"

namespace {
// pthread_t has no reserved "nobody" value; 0 is never the id of a live
// thread under glibc, whose ids are addresses of thread control blocks.
const pthread_t kNoOwner = pthread_t();
}  // namespace

CCriticalSection::CCriticalSection() : m_Owner(kNoOwner), m_Count(0), m_Initialised(false) {
    m_Initialised = pthread_mutex_init(&m_Mutex, nullptr) == 0;
}

CCriticalSection::~CCriticalSection() {
    if (m_Initialised) {
        // An owner may let its lock go out of scope while holding it, and a
        // locked mutex must not be destroyed (glibc refuses and leaves it
        // locked). Only the owner may unlock, so another thread's hold stays.
        if (m_Count >= 1 && IsOwnedByCaller()) {
            m_Count = 0;
            m_Owner.store(kNoOwner, std::memory_order_relaxed);
            pthread_mutex_unlock(&m_Mutex);
        }
        m_Initialised = false;
        pthread_mutex_destroy(&m_Mutex);
    }
}

bool CCriticalSection::IsOwnedByCaller() const {
    return pthread_equal(m_Owner.load(std::memory_order_relaxed), pthread_self());
}

void CCriticalSection::Enter() {
    if (!m_Initialised) {
        return;
    }
    const pthread_t self = pthread_self();
    // Only this thread can have stored its own id, so the relaxed read cannot
    // see "self" unless this thread really owns the lock.
    if (pthread_equal(m_Owner.load(std::memory_order_relaxed), self)) {
        ++m_Count;
        return;
    }
    pthread_mutex_lock(&m_Mutex);
    m_Owner.store(self, std::memory_order_relaxed);
    m_Count = 1;
}

void CCriticalSection::Leave() {
    if (!m_Initialised || !pthread_equal(m_Owner.load(std::memory_order_relaxed), pthread_self())) {
        return;
    }
    if (--m_Count == 0) {
        m_Owner.store(kNoOwner, std::memory_order_relaxed);
        pthread_mutex_unlock(&m_Mutex);
    }
}

void CCriticalSection::ReleaseAll() {
    if (!m_Initialised || !pthread_equal(m_Owner.load(std::memory_order_relaxed), pthread_self())) {
        return;
    }
    m_Count = 0;
    m_Owner.store(kNoOwner, std::memory_order_relaxed);
    pthread_mutex_unlock(&m_Mutex);
}

void CleanupHandlerForCritSecMutex(void* critSec) {
    if (critSec != nullptr) {
        static_cast<CCriticalSection*>(critSec)->ReleaseAll();
    }
}
