// The recursive lock behind the trace facility.
#include <gtest/gtest.h>
#include <pthread.h>

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

}  // namespace
