// The recursive lock behind the trace facility.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "support/CCriticalSection.h"

namespace {

using namespace std::chrono_literals;

// Another thread that takes the lock once and reports when it got it.
class Prober {
public:
    explicit Prober(CCriticalSection& lock)
        : m_Thread([this, &lock] {
              lock.Enter();
              m_Got = true;
              lock.Leave();
          }) {}
    ~Prober() { m_Thread.join(); }

    bool gotWithin(std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!m_Got && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        return m_Got;
    }

    // For a lock that will never be released: fail without hanging the run.
    void requireWithin(std::chrono::milliseconds wait) {
        if (!gotWithin(wait)) {
            ADD_FAILURE() << "lock never released";
            std::_Exit(1);
        }
    }

private:
    std::atomic<bool> m_Got{false};
    std::thread m_Thread;
};

TEST(CDebugLock, OwnerReentersAndReleasesOnlyAtTheOutermostLeave) {
    CCriticalSection lock;
    lock.Enter();
    lock.Enter();
    lock.Leave();
    EXPECT_TRUE(lock.IsOwnedByCaller());
    {
        Prober other(lock);
        EXPECT_FALSE(other.gotWithin(50ms));
        lock.Leave();
        EXPECT_FALSE(lock.IsOwnedByCaller());
        other.requireWithin(5000ms);
    }
    lock.Leave();  // not the owner: ignored
    Prober again(lock);
    again.requireWithin(5000ms);
}

struct Holder {
    CCriticalSection* lock;
    std::atomic<bool> held{false};
};

void* holdUntilCancelled(void* arg) {
    auto* holder = static_cast<Holder*>(arg);
    pthread_cleanup_push(CleanupHandlerForCritSecMutex, holder->lock);
    holder->lock->Enter();
    holder->lock->Enter();
    holder->held = true;
    for (;;) {
        pause();  // a cancellation point
    }
    pthread_cleanup_pop(0);
    return nullptr;
}

TEST(CDebugLock, CancelledOwnerReleasesThroughTheCleanupHandler) {
    CCriticalSection lock;
    Holder holder{&lock};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, holdUntilCancelled, &holder), 0);
    while (!holder.held) {
        std::this_thread::sleep_for(1ms);
    }
    Prober other(lock);
    EXPECT_FALSE(other.gotWithin(50ms));
    ASSERT_EQ(pthread_cancel(thread), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    other.requireWithin(5000ms);
}

}  // namespace
