#include <gtest/gtest.h>

#include <future>

#include "cimple/Mutex.h"

using namespace cimple;

namespace {

// Whether another thread could take the mutex just now.
bool freeElsewhere(Mutex& m) {
    return std::async(std::launch::async,
                      [&m] {
                          const bool got = m.try_lock();
                          if (got) m.unlock();
                          return got;
                      })
        .get();
}

}  // namespace

TEST(Mutex, OnlyARecursiveOneMayBeRelockedByItsHolder) {
    Mutex m(true);
    m.lock();
    EXPECT_TRUE(m.try_lock());
    m.unlock();
    EXPECT_FALSE(freeElsewhere(m));  // still held once
    m.unlock();
    EXPECT_TRUE(freeElsewhere(m));

    Mutex plain(false);
    plain.lock();
    EXPECT_FALSE(plain.try_lock());
    plain.unlock();
    EXPECT_TRUE(plain.try_lock());
    plain.unlock();
}
