// CThread: start held or running, joinable or detached, and reaping.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "switchclient/CThread.h"

namespace {

void* countUp(void* arg) {
    ++*static_cast<std::atomic<int>*>(arg);
    return nullptr;
}

TEST(CThread, SuspendedStartRunsOnlyAfterResume) {
    std::atomic<int> runs{0};
    CThread thread;
    // A round-robin request must not keep the thread from starting, with or
    // without the privilege for it.
    ASSERT_TRUE(thread.Start(countUp, &runs, 63, true, 0x100000, 0, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(runs.load(), 0);
    thread.Resume();
    thread.Kill();  // joins
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(thread.IsStarted());

    // Starting again reaps nothing left over and runs once more.
    ASSERT_TRUE(thread.Start(countUp, &runs, 0, false, 0, 0, true));
    thread.Kill();
    EXPECT_EQ(runs.load(), 2);
}

TEST(CThread, ReapingAHeldThreadNeverRunsIt) {
    std::atomic<int> runs{0};
    {
        CThread thread;
        ASSERT_TRUE(thread.Start(countUp, &runs, 0, true, 0, 0, true));
        // The destructor reaps it without waiting for a Resume that never comes.
    }
    {
        CThread detached;
        ASSERT_TRUE(detached.Start(countUp, &runs, 0, true, 0, 0, false));
        detached.Kill();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(runs.load(), 0);
}

}  // namespace
