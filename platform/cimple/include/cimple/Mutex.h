// POSIX mutex wrappers.
#pragma once

#include <pthread.h>

#include "cimple/Config.h"

namespace cimple {

class Cond;

class Mutex {
public:
    // A recursive mutex may be locked again by the thread that holds it (each
    // lock needs its unlock); a non-recursive one must not be.
    explicit Mutex(bool recursive = true);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();
    // False when another holder (or, non-recursive, this thread) has it.
    bool try_lock();

private:
    friend class Cond;
    pthread_mutex_t _mutex;
};

// Holds a mutex for the life of a scope.
class Auto_Mutex {
public:
    explicit Auto_Mutex(Mutex& mutex) : _mutex(mutex) { _mutex.lock(); }
    ~Auto_Mutex() { _mutex.unlock(); }
    Auto_Mutex(const Auto_Mutex&) = delete;
    Auto_Mutex& operator=(const Auto_Mutex&) = delete;

private:
    Mutex& _mutex;
};

}  // namespace cimple
