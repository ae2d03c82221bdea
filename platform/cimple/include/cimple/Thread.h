// Joinable POSIX threads.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "cimple/Config.h"

namespace cimple {

class Thread {
public:
    typedef void* (*Proc)(void* arg);

    Thread() : _thread(), _started(false) {}

    // Starts proc(arg) on a new thread. 0, or the error number (the Thread
    // is left unstarted).
    static int create_joinable(Thread& thread, Proc proc, void* arg);
    // Waits for the thread and gives its result. 0, or an error number (also
    // when the thread was never started or is already joined).
    static int join(Thread& thread, void*& value);
    // A number unique among the process's live threads.
    static uint64_t self_id();

private:
    pthread_t _thread;
    bool _started;
};

}  // namespace cimple
