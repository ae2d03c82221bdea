// What the benchmarks that talk to the agent simulator share: their start-up
// and a plain connected Unix socket.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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

typedef std::chrono::steady_clock Clock;

// Times the threads of this process went to sleep (voluntary context
// switches) since construction, per iteration of state: tells a run whose
// hand-overs were watched for from one where they slept, which the time
// alone does not.
class Sleeps {
public:
    Sleeps() : start_(count()) {}
    void report(benchmark::State& state, const char* name = "sleeps") const {
        const double n = static_cast<double>(state.iterations());
        state.counters[name] = n > 0 ? static_cast<double>(count() - start_) / n : 0;
    }

private:
    static long count() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_nvcsw;
    }
    long start_;
};

// The simulator's control socket spoken directly: a process per push would
// measure process start-up, not the road.
class SimControl {
public:
    explicit SimControl(std::string path) : path_(std::move(path)) {}

    // Sends one command (a JSON array of strings) and returns the answer's
    // output; empty with ok false when the daemon refused it.
    std::string run(const std::string& jsonArray, bool& ok) const {
        ok = false;
        const int fd = connectUnix(path_);
        if (fd < 0) return std::string();
        std::string answer;
        const std::string line = jsonArray + "\n";
        if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
                answer.append(buffer, static_cast<size_t>(n));
        }
        close(fd);
        if (answer.compare(0, 3, "ok\n") != 0) return std::string();
        ok = true;
        return answer.substr(3);
    }

    bool pushSyslog(unsigned entry) const {
        bool ok = false;
        return run("[\"push-syslog\",\"" + std::to_string(entry) + "\"]", ok) == "1\n" && ok;
    }

    // Requests the daemon has recorded so far.
    long requests() const {
        bool ok = false;
        const std::string status = run("[\"status\"]", ok);
        const size_t at = status.find("\"requests\":");
        return ok && at != std::string::npos ? std::atol(status.c_str() + at + 11) : -1;
    }

private:
    std::string path_;
};

// Counts indications as a handler or a listener receives them and notes when
// the last one came.
class Deliveries {
public:
    void operator()() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++count_;
            last_ = Clock::now();
        }
        changed_.notify_all();
    }
    // Waits until count reaches n; the time of that delivery, or nothing.
    bool waitFor(size_t n, Clock::time_point& at) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= n; })) return false;
        at = last_;
        return true;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t count_ = 0;
    Clock::time_point last_;
};

// Two ways of doing the same thing, run alternately in one benchmark loop
// with each side's time kept apart: two benchmarks run one after the other
// drift too much on a shared machine for their ratio to mean anything.
// Which side goes first changes every iteration, so neither always finds the
// daemon (or the caches) just warmed by the other. Each side is a callable
// returning null on success or what went wrong.
class Alternation {
public:
    Alternation(const char* first, const char* second) : names_{first, second} {}

    // Runs the loop; false after a SkipWithError.
    template <class First, class Second>
    bool run(benchmark::State& state, First&& first, Second&& second) {
        bool firstGoesFirst = true;
        for (auto _ : state) {
            for (int turn = 0; turn < 2; ++turn) {
                const bool isFirst = (turn == 0) == firstGoesFirst;
                const Clock::time_point start = Clock::now();
                if (const char* error = isFirst ? first() : second()) {
                    state.SkipWithError(error);
                    return false;
                }
                spent_[isFirst ? 0 : 1] += Clock::now() - start;
            }
            firstGoesFirst = !firstGoesFirst;
        }
        report(state);
        return true;
    }

private:
    void report(benchmark::State& state) const {
        const double n = static_cast<double>(state.iterations());
        double us[2];
        for (int i = 0; i < 2; ++i) {
            us[i] = std::chrono::duration<double, std::micro>(spent_[i]).count() / n;
            state.counters[std::string(names_[i]) + "_us"] = us[i];
        }
        state.counters["ratio"] = us[1] > 0 ? us[0] / us[1] : 0;
    }

    const char* names_[2];
    Clock::duration spent_[2]{};
};

// Pushes `batch` system-log entries (1 to 4 in turn) and waits until as many
// more indications have arrived; null on success, else what went wrong.
inline const char* deliverBatch(const SimControl& control, Deliveries& deliveries, size_t batch) {
    const size_t target = deliveries.count() + batch;
    for (size_t i = 0; i < batch; ++i)
        if (!control.pushSyslog(1 + i % 4)) return "push failed";
    Clock::time_point at;
    return deliveries.waitFor(target, at) ? nullptr : "indications missing";
}

}  // namespace qmsbench
