// The embedded CIMOM's CIM-XML server against a real CIMOM: `cimhost serve`
// and sfcb host the same installed module build, with the same agent
// simulator behind both, and the same client (CimClient) asks each in turn.
//
// Beside them, the same module build hosted in this process by the embedded
// CIMOM and called without HTTP ("inproc"): what the module's own work (its
// account check asks the agent three times per request) costs, the floor
// under both servers.
//
// - BM_GetInstance, BM_EnumerateInstances: the registration service's one
//   instance, one request to each side per iteration, rotating which goes
//   first; each side's mean and median in microseconds, speedup = sfcb /
//   serve of the means, median_speedup of the medians, and floor_speedup =
//   sfcb / inproc of the medians, the most any server could reach.
// - BM_EightClients: 8 threads with a client each send GetInstance to one
//   side for a round, then to the next; requests per second of each and
//   speedup = serve / sfcb.
//
// Needs a test build (the simulator's root stands for the agent's paths)
// and SFCB_HOME (the folder holding sfcb-ctl); without it, says so and ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "cimom/Sfcb.h"
#include "client/CimClient.h"
#include "common/Programs.h"
#include "common/RqbdSim.h"
#include "core/Cimom.h"

namespace {

using cimhost::client::CimClient;
using qmsbench::Clock;

const char kNamespace[] = "root/qms";
const char kService[] = "QMS_VRXIndicationRegistrationService";

struct Server {
    std::string url;
    cimhost::client::InstanceName service;
};
Server g_servers[2];  // [0] serve, [1] sfcb
const char* const kNames[3] = {"serve", "sfcb", "inproc"};
cimhost::Cimom* g_inProcess = nullptr;
cimhost::ObjectPath g_servicePath;  // in g_inProcess

std::unique_ptr<CimClient> clientOf(const std::string& url) {
    cimhost::client::Options options;
    options.url = url;
    return std::make_unique<CimClient>(options);
}

bool getInstance(CimClient& client, const Server& server) {
    cimhost::listener::Instance found;
    cimhost::client::Failure failure;
    return client.getInstance(kNamespace, server.service, &found, &failure);
}

bool enumerateInstances(CimClient& client, const Server&) {
    std::vector<cimhost::listener::Instance> found;
    cimhost::client::Failure failure;
    return client.enumerateInstances(kNamespace, kService, &found, &failure) && found.size() == 1;
}

bool getInProcess() {
    cimhost::Instance found;
    return g_inProcess->getInstance(g_servicePath, &found).ok();
}

bool enumerateInProcess() {
    std::vector<cimhost::Instance> found;
    return g_inProcess->enumerateInstances(kNamespace, kService, &found).ok() && found.size() == 1;
}

double threadCpuMicros() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

double median(std::vector<double>& v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// One request to each side per iteration, rotating which goes first.
void compare(benchmark::State& state, bool (*op)(CimClient&, const Server&), bool (*inProcess)()) {
    std::unique_ptr<CimClient> clients[2] = {clientOf(g_servers[0].url), clientOf(g_servers[1].url)};
    std::vector<double> micros[3];
    double cpu[3] = {0, 0, 0};
    int first = 0;
    for (auto _ : state) {
        for (int turn = 0; turn < 3; ++turn) {
            const int side = (first + turn) % 3;
            const double cpuStart = threadCpuMicros();
            const Clock::time_point start = Clock::now();
            if (!(side == 2 ? inProcess() : op(*clients[side], g_servers[side]))) {
                state.SkipWithError((std::string(kNames[side]) + " did not answer").c_str());
                return;
            }
            micros[side].push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            cpu[side] += threadCpuMicros() - cpuStart;
        }
        first = (first + 1) % 3;
    }
    double mean[3], middle[3];
    for (int side = 0; side < 3; ++side) {
        double sum = 0;
        for (const double m : micros[side]) sum += m;
        mean[side] = micros[side].empty() ? 0 : sum / static_cast<double>(micros[side].size());
        middle[side] = median(micros[side]);
        state.counters[std::string(kNames[side]) + "_us"] = mean[side];
        state.counters[std::string(kNames[side]) + "_median_us"] = middle[side];
    }
    // What the calling thread itself spent: the client's share of a
    // server's time (the same client for both), the whole call in process.
    for (int side = 0; side < 3; ++side)
        state.counters[std::string(kNames[side]) + "_caller_cpu_us"] =
            micros[side].empty() ? 0 : cpu[side] / static_cast<double>(micros[side].size());
    state.counters["speedup"] = mean[0] > 0 ? mean[1] / mean[0] : 0;
    state.counters["median_speedup"] = middle[0] > 0 ? middle[1] / middle[0] : 0;
    state.counters["floor_speedup"] = middle[2] > 0 ? middle[1] / middle[2] : 0;
}

void BM_GetInstance(benchmark::State& state) { compare(state, getInstance, getInProcess); }
void BM_EnumerateInstances(benchmark::State& state) {
    compare(state, enumerateInstances, enumerateInProcess);
}
BENCHMARK(BM_GetInstance)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnumerateInstances)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Requests per second of 8 clients at once against one side (a server, or
// the in-process CIMOM for side 2) for `round`.
double eightClients(int side, std::chrono::milliseconds round, bool* ok) {
    std::atomic<long> done{0};
    std::atomic<bool> failed{false};
    const Clock::time_point end = Clock::now() + round;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            std::unique_ptr<CimClient> client = side == 2 ? nullptr : clientOf(g_servers[side].url);
            while (Clock::now() < end && !failed)
                if (side == 2 ? getInProcess() : getInstance(*client, g_servers[side]))
                    ++done;
                else
                    failed = true;
        });
    for (std::thread& t : threads) t.join();
    *ok = !failed;
    return static_cast<double>(done) / std::chrono::duration<double>(round).count();
}

// Short rounds, many of them, rotating which side goes first: the load of a
// shared machine drifts over seconds, and every side then sees the same.
void BM_EightClients(benchmark::State& state) {
    double rps[3] = {0, 0, 0};
    int first = 0;
    for (auto _ : state) {
        for (int turn = 0; turn < 3; ++turn) {
            const int side = (first + turn) % 3;
            bool ok = false;
            rps[side] += eightClients(side, std::chrono::milliseconds(300), &ok);
            if (!ok) {
                state.SkipWithError((std::string(kNames[side]) + " failed a request").c_str());
                return;
            }
        }
        first = (first + 1) % 3;
    }
    const double n = static_cast<double>(state.iterations());
    for (int side = 0; side < 3; ++side) state.counters[std::string(kNames[side]) + "_rps"] = rps[side] / n;
    state.counters["speedup"] = rps[1] > 0 ? rps[0] / rps[1] : 0;
}
BENCHMARK(BM_EightClients)->Iterations(12)->UseRealTime()->Unit(benchmark::kMillisecond);

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// The service's instance name, asked until the server answers (it may still
// be starting).
bool findService(Server& server) {
    std::unique_ptr<CimClient> client = clientOf(server.url);
    for (int i = 0; i < 200; ++i) {
        std::vector<cimhost::client::InstanceName> names;
        cimhost::client::Failure failure;
        if (client->enumerateInstanceNames(kNamespace, kService, &names, &failure) && names.size() == 1) {
            server.service = names[0];
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (!qmsbench::start(argc, argv, "serve_bench", exitCode)) return exitCode;
    const char* sfcbHome = std::getenv("SFCB_HOME");
    if (!sfcbHome || !*sfcbHome) {
        std::fprintf(stderr, "serve_bench: set SFCB_HOME to the folder holding sfcb-ctl\n");
        return 0;
    }
    char dir[] = "/tmp/qmsbench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string scratch = dir, prefix = scratch + "/prefix";
    if (qmstest::run({QMS_CMAKE_COMMAND, "--install", QMS_BUILD_DIR, "--prefix", prefix}).exitCode != 0) {
        std::fprintf(stderr, "serve_bench: cmake --install failed\n");
        return 1;
    }
    qmstest::RqbdSim sim(QMS_ROAD_SCENARIO);
    sim.makeTraceDir();
    setenv("QMS_TEST_ROOT", sim.root().c_str(), 1);
    {
        cimomtest::Sfcb sfcb(sfcbHome, scratch + "/sfcb", prefix, qmstest::currentEnvironment(), {});
        const int port = freePort();
        const pid_t serve =
            qmstest::startDetached({CIMHOST_BINARY, "serve", QMS_PROVIDERS_FILE, "--library-path",
                                    prefix + "/lib", "--port", std::to_string(port)});
        g_servers[0].url = "http://127.0.0.1:" + std::to_string(port);
        g_servers[1].url = sfcb.url();
        cimhost::Cimom::Options options;
        options.libraryPath.push_back(prefix + "/lib");
        options.exportToListeners = false;
        cimhost::Cimom inProcess(options);
        std::string error;
        std::vector<cimhost::ObjectPath> names;
        if (!inProcess.loadRegistrations(QMS_PROVIDERS_FILE, &error)) {
            std::fprintf(stderr, "serve_bench: %s\n", error.c_str());
            exitCode = 1;
        } else if (!findService(g_servers[0]) || !findService(g_servers[1]) ||
                   !inProcess.enumerateInstanceNames(kNamespace, kService, &names).ok() ||
                   names.size() != 1) {
            std::fprintf(stderr, "serve_bench: a server did not show the registration service\n");
            exitCode = 1;
        } else {
            g_inProcess = &inProcess;
            g_servicePath = names[0];
            benchmark::RunSpecifiedBenchmarks();
        }
        qmstest::endDetached(serve);
    }
    benchmark::Shutdown();
    qmstest::run({"rm", "-rf", scratch});
    return exitCode;
}
