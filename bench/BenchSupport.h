// What the benchmarks that talk to the agent simulator share: their start-up
// and a plain connected Unix socket.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace qmsbench {

// Initialises the benchmark library. False, with the exit code to return,
// when the arguments are not understood or this is no test build: only a test
// build redirects the module's system paths to the simulator's root.
inline bool start(int& argc, char** argv, const char* name, int& exitCode) {
#ifndef QMS_TEST_BUILD
    std::fprintf(stderr, "%s needs a test build (QMS_TEST_BUILD=ON)\n", name);
    (void)argc;
    (void)argv;
    exitCode = 0;
    return false;
#else
    (void)name;
    benchmark::Initialize(&argc, argv);
    exitCode = 1;
    return !benchmark::ReportUnrecognizedArguments(argc, argv);
#endif
}

// A blocking stream socket connected to path; -1 when it cannot be had.
inline int connectUnix(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace qmsbench
