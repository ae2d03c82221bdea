// The signals that end a long-running cimhost command (SIGINT, SIGTERM, and
// any the command adds), taken by the calling thread alone with sigwait or
// sigtimedwait: blocked before any other thread starts, so that every thread
// of the host, the module and the servers inherits the mask. A peer gone
// from a socket or pipe is an error to report, never a reason to die, so
// SIGPIPE is ignored too.
#pragma once

#include <signal.h>

#include <initializer_list>

namespace cimhost {

inline sigset_t blockStopSignals(std::initializer_list<int> extra = {}) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    for (const int s : extra) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return set;
}

}  // namespace cimhost
