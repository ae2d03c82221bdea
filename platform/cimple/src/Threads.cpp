#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "cimple/Cond.h"
#include "cimple/Mutex.h"
#include "cimple/Thread.h"
#include "cimple/Time.h"

namespace cimple {

namespace {
// A lock that cannot be set up or used leaves the process in no state worth
// continuing in; these calls only fail on programming errors.
void check(int rc) {
    if (rc != 0) std::abort();
}
}  // namespace

Mutex::Mutex(bool recursive) {
    pthread_mutexattr_t attr;
    check(pthread_mutexattr_init(&attr));
    check(pthread_mutexattr_settype(&attr, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL));
    check(pthread_mutex_init(&_mutex, &attr));
    pthread_mutexattr_destroy(&attr);
}

Mutex::~Mutex() { pthread_mutex_destroy(&_mutex); }

void Mutex::lock() { check(pthread_mutex_lock(&_mutex)); }

void Mutex::unlock() { check(pthread_mutex_unlock(&_mutex)); }

bool Mutex::try_lock() { return pthread_mutex_trylock(&_mutex) == 0; }

Cond::Cond() {
    // Timed waits run on the monotonic clock so that setting the wall clock
    // neither cuts them short nor stretches them.
    pthread_condattr_t attr;
    check(pthread_condattr_init(&attr));
    check(pthread_condattr_setclock(&attr, CLOCK_MONOTONIC));
    check(pthread_cond_init(&_cond, &attr));
    pthread_condattr_destroy(&attr);
}

Cond::~Cond() { pthread_cond_destroy(&_cond); }

void Cond::wait(Mutex& mutex) { check(pthread_cond_wait(&_cond, &mutex._mutex)); }

bool Cond::wait_timed(Mutex& mutex, uint64_t usec) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Cap far-away deadlines instead of overflowing time_t.
    const uint64_t max_usec = uint64_t(100) * 365 * 86400 * Time::SEC;
    if (usec > max_usec) usec = max_usec;
    uint64_t nsec = uint64_t(ts.tv_nsec) + (usec % Time::SEC) * 1000;
    ts.tv_sec += time_t(usec / Time::SEC + nsec / 1000000000);
    ts.tv_nsec = long(nsec % 1000000000);
    int rc = pthread_cond_timedwait(&_cond, &mutex._mutex, &ts);
    if (rc == ETIMEDOUT) return false;
    check(rc);
    return true;
}

void Cond::signal() { pthread_cond_signal(&_cond); }

void Cond::broadcast() { pthread_cond_broadcast(&_cond); }

int Thread::create_joinable(Thread& thread, Proc proc, void* arg) {
    if (!proc) return EINVAL;
    if (thread._started) return EBUSY;
    int rc = pthread_create(&thread._thread, nullptr, proc, arg);
    thread._started = rc == 0;
    return rc;
}

int Thread::join(Thread& thread, void*& value) {
    if (!thread._started) return EINVAL;
    int rc = pthread_join(thread._thread, &value);
    if (rc == 0) thread._started = false;
    return rc;
}

uint64_t Thread::self_id() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

uint64_t Time::now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * SEC + uint64_t(ts.tv_nsec) / 1000;
}

void Time::sleep(uint64_t usec) {
    struct timespec ts;
    ts.tv_sec = time_t(usec / SEC);
    ts.tv_nsec = long(usec % SEC) * 1000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace cimple
