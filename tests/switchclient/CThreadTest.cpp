// CThread: the joinable, running start the event thread uses, and reaping.
#include <gtest/gtest.h>

#include <atomic>

#include "switchclient/CThread.h"

namespace {

void* countUp(void* arg) {
    ++*static_cast<std::atomic<int>*>(arg);
    return nullptr;
}

TEST(CThread, StartsWhateverThePriorityAndRunsAgainAfterKill) {
    std::atomic<int> runs{0};
    CThread thread;
    // A round-robin request must not keep the thread from starting, with or
    // without the privilege for it.
    ASSERT_TRUE(thread.Start(countUp, &runs, 63, false, 0x100000, 0, true));
    thread.Kill();  // joins
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(thread.IsStarted());

    // Starting again reaps nothing left over and runs once more.
    ASSERT_TRUE(thread.Start(countUp, &runs, 0, false, 0, 0, true));
    thread.Kill();
    EXPECT_EQ(runs.load(), 2);
}

}  // namespace
