// `cimhost watch`: the CIMOM's side of one indication subscription. It enables
// a provider's indications the way a CIMOM does when the first subscription
// for its class appears, prints what arrives, and disables them again as a
// CIMOM does when the last subscription goes.
#include "Watch.h"

#include <cimple/Instance.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "ProviderHost.h"

namespace cimhost {
namespace {

// SIGINT and SIGTERM are taken synchronously by the main thread. Blocking them
// before the module starts any thread keeps every one of its threads out of
// their way.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

class Printer {
public:
    void operator()(const cimple::Instance* instance) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        printf("--- indication %u\n", count_);
        cimple::print(instance, stdout);
        fflush(stdout);
    }
    unsigned count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

private:
    mutable std::mutex mutex_;
    unsigned count_ = 0;
};

}  // namespace

int watch(const char* modulePath, const char* providerName, const WatchLimits& limits) {
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    ProviderHost host;
    if (!host.open(modulePath)) {
        fprintf(stderr, "cimhost watch: %s\n", host.error().c_str());
        return 1;
    }
    const cimple::Registration* registration =
        providerName ? host.find(providerName) : host.findIndicationProvider();
    if (!registration) {
        fprintf(stderr, "cimhost watch: no %s in %s\n", providerName ? providerName : "indication provider",
                modulePath);
        return 1;
    }

    int exitCode = 0;
    Printer printer;
    {
        HostedProvider provider(registration);
        if (!provider.ok()) {
            fprintf(stderr, "cimhost watch: %s: create provider failed\n", registration->provider_name);
            return 1;
        }
        int status = provider.load();
        if (status != 0) {
            fprintf(stderr, "cimhost watch: %s: load answered %d\n", registration->provider_name, status);
            return 1;
        }
        status = provider.enableIndications([&printer](const cimple::Instance* i) { printer(i); });
        if (status != 0) {
            fprintf(stderr, "cimhost watch: %s: enable indications answered %d\n",
                    registration->provider_name, status);
            return 1;
        }
        fprintf(stderr, "cimhost watch: indications of %s enabled\n", registration->meta_class->name);

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.seconds);
        for (;;) {
            if (limits.count && printer.count() >= limits.count) break;
            if (limits.seconds && std::chrono::steady_clock::now() >= deadline) break;
            // A short tick, so that the count and time limits are noticed soon.
            const timespec tick{0, 100 * 1000 * 1000};
            const int sig = sigtimedwait(&signals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM) break;
        }

        status = provider.disableIndications();
        if (status != 0) {
            fprintf(stderr, "cimhost watch: disable indications answered %d\n", status);
            exitCode = 1;
        }
        status = provider.unload();
        if (status != 0) {
            fprintf(stderr, "cimhost watch: unload answered %d\n", status);
            exitCode = 1;
        }
    }
    fprintf(stderr, "cimhost watch: %u indication(s) delivered\n", printer.count());
    return exitCode;
}

}  // namespace cimhost
