#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/TaskThread.h"
#include "support/TraceCapture.h"
#include "support/provider_utils.h"

using namespace provider;

namespace {

struct FnTask : TaskThread::Task {
    explicit FnTask(std::function<void()> fn) : fn(std::move(fn)) {}
    void threadTask() override {
        ++runs;
        fn();
    }
    std::function<void()> fn;
    std::atomic<int> runs{0};
};

// A one-shot flag that threads can wait for.
struct Latch {
    std::promise<void> promise;
    std::shared_future<void> opened = promise.get_future().share();
    void open() { promise.set_value(); }
    void wait() const { opened.wait(); }
};

// The "%p" of a task thread's trace line ("CimpleTaskThread: thread(<p>) ...").
std::string threadPointerOf(const std::string& line) {
    const auto open = line.find('(');
    const auto close = line.find(')', open);
    return line.substr(open + 1, close - open - 1);
}

TEST(TaskThread, AThrowingTaskGivesFalseAndOneTraceAndTheWorkerGoesOn) {
    qms_test::TraceCapture traces;
    ShPtr<TaskThread> tt = newCimpleTaskThread();

    FnTask base([] { throw CimErrorException("t.cpp", 5, "boom", CIM_ERR_FAILED); });
    EXPECT_FALSE(tt->call(base));
    ASSERT_EQ(traces.countLevel(1), 1u);
    EXPECT_EQ(traces.countContaining(
                  1, ") callTask(): CimErrorException: file=\"t.cpp\" line=5 message=\"boom\" cimErr=1"),
              1u);

    traces.clear();
    FnTask integer([] { throw 7; });
    EXPECT_FALSE(tt->call(integer));
    ASSERT_EQ(traces.size(), 1u);  // "started" came before the first call ended
    const std::string line = traces.lines()[0].text;
    EXPECT_EQ(line, "CimpleTaskThread: thread(" + threadPointerOf(line) + ") callTask(): catch(...)");

    FnTask fine([] {});
    EXPECT_TRUE(tt->call(fine));
}

TEST(TaskThread, DestructionWaitsForTheRunningTask) {
    qms_test::TraceCapture traces;
    ShPtr<TaskThread> tt = newCimpleTaskThread();
    TaskThread* raw = tt.get();
    Latch started, release;
    FnTask slow([&] {
        started.open();
        release.wait();
    });

    auto caller = std::async(std::launch::async, [&] { return raw->call(slow); });
    started.wait();
    auto destroyer = std::async(std::launch::async, [&] { tt = ShPtr<TaskThread>(); });
    // Not synchronisation: a destructor that did not wait would be done by
    // now (and the sanitizers would see the caller use the freed object).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(destroyer.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    release.open();
    EXPECT_TRUE(caller.get());
    destroyer.get();
    EXPECT_EQ(slow.runs, 1);
    EXPECT_EQ(traces.countContaining(5, ") stopped"), 1u);
}

// A sink that blocks the worker in its "stopped" trace, keeping the task thread
// inside its destructor (stopped, not yet joined) for as long as the test
// needs.
struct StopHold {
    Latch stopping;
    Latch release;
    static void sink(unsigned level, const char* text, void* ctx) {
        auto* self = static_cast<StopHold*>(ctx);
        const std::string line(text);
        self->lines.push_back({level, line});
        if (line.size() > 9 && line.compare(line.size() - 9, 9, ") stopped") == 0) {
            self->stopping.open();
            self->release.wait();
        }
    }
    std::vector<qms_test::TraceCapture::Line> lines;  // written by one thread at a time here
};

TEST(TaskThread, ACallDuringDestructionGetsFalseAndItsTaskDoesNotRun) {
    StopHold hold;
    ShPtr<TaskThread> tt = newCimpleTaskThread();
    TaskThread* raw = tt.get();
    FnTask warmUp([] {});
    ASSERT_TRUE(tt->call(warmUp));  // the worker has traced "started" by now
    std::thread destroyer;
    {
        ScopedTraceSink sink(&StopHold::sink, &hold);
        destroyer = std::thread([&] { tt = ShPtr<TaskThread>(); });
        hold.stopping.wait();

        FnTask late([] {});
        EXPECT_FALSE(raw->call(late));
        EXPECT_EQ(late.runs, 0);
        hold.release.open();
        destroyer.join();
    }
    ASSERT_EQ(hold.lines.size(), 2u);
    const std::string pointer = threadPointerOf(hold.lines[0].text);
    EXPECT_EQ(hold.lines[0].text, "CimpleTaskThread: thread(" + pointer + ") stopped");
    EXPECT_EQ(hold.lines[1].level, 1u);
    EXPECT_EQ(hold.lines[1].text, "CimpleTaskThread: thread(" + pointer + ") already stopped");
}

}  // namespace
