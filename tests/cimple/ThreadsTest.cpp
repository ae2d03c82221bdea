#include <gtest/gtest.h>

#include "cimple/Mutex.h"
#include "cimple/Thread.h"

using namespace cimple;

namespace {

// Runs f(arg) on a new thread and returns what it returned.
void* on_thread(void* (*f)(void*), void* arg) {
    Thread t;
    void* result = nullptr;
    EXPECT_EQ(Thread::create_joinable(t, f, arg), 0);
    EXPECT_EQ(Thread::join(t, result), 0);
    return result;
}

void* try_lock_elsewhere(void* arg) {
    Mutex* m = static_cast<Mutex*>(arg);
    bool got = m->try_lock();
    if (got) m->unlock();
    return reinterpret_cast<void*>(got ? 1 : 2);
}

}  // namespace

TEST(Mutex, OnlyARecursiveOneMayBeRelockedByItsHolder) {
    Mutex m(true);
    m.lock();
    EXPECT_TRUE(m.try_lock());
    m.unlock();
    EXPECT_EQ(on_thread(try_lock_elsewhere, &m), reinterpret_cast<void*>(2));  // still held once
    m.unlock();
    EXPECT_EQ(on_thread(try_lock_elsewhere, &m), reinterpret_cast<void*>(1));

    Mutex plain(false);
    plain.lock();
    EXPECT_FALSE(plain.try_lock());
    plain.unlock();
    EXPECT_TRUE(plain.try_lock());
    plain.unlock();
}
