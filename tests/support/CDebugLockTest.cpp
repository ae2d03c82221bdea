// The recursive lock behind the trace facility.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "support/CCriticalSection.h"

namespace {

using namespace std::chrono_literals;

// Another thread that takes the lock once; reports whether it got it in time.
class Prober {
public:
    explicit Prober(CCriticalSection& lock)
        : thread_([this, &lock] {
              lock.Enter();
              got_ = true;
              lock.Leave();
          }) {}
    ~Prober() { thread_.join(); }
    bool gotWithin(std::chrono::milliseconds wait) {
        for (auto end = std::chrono::steady_clock::now() + wait;
             !got_ && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(1ms);
        }
        return got_;
    }
    // For a lock that may never be released: fail without hanging the run.
    void require() {
        if (!gotWithin(5000ms)) {
            ADD_FAILURE() << "lock never released";
            std::_Exit(1);
        }
    }

private:
    std::atomic<bool> got_{false};
    std::thread thread_;
};

TEST(CDebugLock, OwnerReentersAndReleasesOnlyAtTheOutermostLeave) {
    CCriticalSection lock;
    lock.Enter();
    lock.Enter();
    lock.Leave();
    EXPECT_TRUE(lock.IsOwnedByCaller());
    Prober other(lock);
    EXPECT_FALSE(other.gotWithin(50ms));
    lock.Leave();
    EXPECT_FALSE(lock.IsOwnedByCaller());
    other.require();
}

TEST(CDebugLock, OwnerThatDestroysItReleasesItFirst) {
    // In place, so its mutex (the first member) can be looked at once the
    // lock is gone: glibc refuses to destroy a locked mutex and leaves its
    // lock word set.
    alignas(CCriticalSection) unsigned char storage[sizeof(CCriticalSection)];
    auto* lock = new (storage) CCriticalSection;
    lock->Enter();
    lock->Enter();
    lock->~CCriticalSection();
    EXPECT_EQ(reinterpret_cast<pthread_mutex_t*>(storage)->__data.__lock, 0) << "destroyed while locked";
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
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer does not follow the unlock that runs in a
    // cancelled thread's cleanup handler and reports the next lock as a
    // double lock.
    GTEST_SKIP() << "thread cancellation is outside what the thread sanitizer models";
#endif
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
    other.require();
}

}  // namespace
