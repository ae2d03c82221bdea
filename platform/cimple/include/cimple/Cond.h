// Condition variable for use with cimple::Mutex.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "cimple/Config.h"
#include "cimple/Mutex.h"

namespace cimple {

class Cond {
public:
    Cond();
    ~Cond();
    Cond(const Cond&) = delete;
    Cond& operator=(const Cond&) = delete;

    // The caller holds `mutex` (once, even if it is recursive). Wakeups may be
    // spurious: wait in a loop on the condition.
    void wait(Mutex& mutex);
    // As wait, for at most `usec` microseconds (measured on a monotonic
    // clock). False on timeout, true when woken.
    bool wait_timed(Mutex& mutex, uint64_t usec);

    void signal();
    void broadcast();

private:
    pthread_cond_t _cond;
};

}  // namespace cimple
