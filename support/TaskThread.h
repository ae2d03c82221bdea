// A task thread: one dedicated worker that runs work handed to it by other
// threads, one piece at a time, while the handing thread waits.
//
// Used wherever work has to happen on a thread of the module's own rather
// than on whichever CIMOM thread asked for it: every agent request, and the
// hand-over of indications to the CIMOM.
#pragma once

#include "support/ShPtr.h"

namespace provider {

class TaskThread {
public:
    // One piece of work. Any result or error code lives in the task object,
    // where whoever built it reads it after call() has returned.
    class Task {
    public:
        virtual void threadTask() = 0;
        virtual ~Task() = default;
    };

    // Runs task.threadTask() on the worker and returns once it has finished:
    // true when it returned normally, false when it threw (the exception is
    // traced on the worker and goes no further) or when the task thread is
    // already stopping (the task is not run). Callers are served one at a
    // time, in no particular order. The task runs while the task thread's
    // lock is held, so it must not call call() on its own task thread.
    virtual bool call(Task& task) = 0;

    // Waits for a task in progress, then stops and joins the worker. Callers
    // still waiting for their turn get false.
    virtual ~TaskThread() = default;
};

// How a task thread's tasks follow each other. In runs (the agent requests
// of one operation): the next task often comes at once, and the worker
// watches for it a short while before it sleeps. Spread (one task per outside
// event, as the hand-over of each indication): the worker sleeps at once, and
// leaves the processor to the threads that work on between events.
enum class TaskPace { Runs, Spread };

// Starts a new task thread. Throws BaseException
// "CimpleTaskThread: create_joinable() failed" when the worker cannot be
// started; nothing stays allocated then.
ShPtr<TaskThread> newCimpleTaskThread(TaskPace pace = TaskPace::Runs);

}  // namespace provider
