// `cimhost serve`: the CIMOM of `watch`, reached by clients instead of a
// built-in subscription. What it listens on is printed on stdout first, so
// that a script (or a test given port 0) learns where to connect.
#include "Serve.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "StopSignals.h"
#include "core/Cimom.h"
#include "export/Exporter.h"
#include "server/Server.h"

namespace cimhost {

const char kServeArguments[] =
    "PROVIDERS [--library-path DIR]... [--port N] [--bind ADDRESS]\n"
    "                     [--store FILE [--fresh-store]] [--listener-hosts HOST,...]\n"
    "                     [--password-file FILE] [--cert PEM --key PEM] [--export-cacert PEM]";
const char kServeHelp[] =
    "Serves CIM operations over CIM-XML at http://ADDRESS:N/cimom; N defaults to 5988\n"
    "(0 picks a free port), ADDRESS to 127.0.0.1. With --password-file only its users\n"
    "are served (HTTP Basic; add them with cimhost passwd FILE USER), which any address\n"
    "other than loopback requires. --cert and --key serve HTTPS. --store keeps filters,\n"
    "destinations and subscriptions in FILE (--fresh-store sets a damaged FILE aside and\n"
    "begins empty); --listener-hosts accepts listener destinations on these hosts only.\n"
    "Indications go to https listeners whose certificates chain to those of\n"
    "--export-cacert (default: the system's trusted certificates).\n"
    "Stops on SIGINT or SIGTERM.\n";

namespace {

int usage() {
    fprintf(stderr, "usage: cimhost serve %s\n%s", kServeArguments, kServeHelp);
    return 2;
}

bool portNumber(const char* text, int* out) {
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno || !end || *end || end == text || value < 0 || value > 65535) return false;
    *out = static_cast<int>(value);
    return true;
}

// "a,b,c" as its items; empty items are dropped.
std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    size_t from = 0;
    while (from <= text.size()) {
        const size_t comma = std::min(text.find(',', from), text.size());
        if (comma > from) items.push_back(text.substr(from, comma - from));
        from = comma + 1;
    }
    return items;
}

struct ServeOptions {
    std::string providersFile;
    std::vector<std::string> libraryPath;
    std::string storeFile;
    InteropOptions interop;
    server::ServerOptions server;
    std::string exportCaFile;
};

}  // namespace

int serveCommand(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') return usage();
    ServeOptions options;
    options.providersFile = argv[1];
    for (int i = 2; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--fresh-store") == 0) {
            options.interop.startFresh = true;
            --i;  // a switch, without a value
            continue;
        }
        if (i + 1 >= argc) return usage();
        const std::string flag = argv[i];
        const char* value = argv[i + 1];
        if (flag == "--library-path")
            options.libraryPath.push_back(value);
        else if (flag == "--store")
            options.storeFile = value;
        else if (flag == "--listener-hosts")
            options.interop.allowedListenerHosts = splitList(value);
        else if (flag == "--bind")
            options.server.address = value;
        else if (flag == "--password-file")
            options.server.passwordFile = value;
        else if (flag == "--cert")
            options.server.certFile = value;
        else if (flag == "--key")
            options.server.keyFile = value;
        else if (flag == "--export-cacert")
            options.exportCaFile = value;
        else if (flag != "--port" || !portNumber(value, &options.server.port))
            return usage();
    }

    const sigset_t signals = blockStopSignals();

    Cimom::Options cimomOptions;
    cimomOptions.storeFile = options.storeFile;
    cimomOptions.libraryPath = options.libraryPath;
    cimomOptions.interop = options.interop;
    cimomOptions.exportCaFile = options.exportCaFile;
    Cimom cimom(cimomOptions);
    std::string error;
    if (!cimom.loadRegistrations(options.providersFile, &error)) {
        fprintf(stderr, "cimhost serve: %s\n", error.c_str());
        return 1;
    }
    if (!options.storeFile.empty()) {
        const Status restored = cimom.restoreSubscriptions();
        if (!restored.ok())
            fprintf(stderr, "cimhost serve: restoring stored subscriptions: %s\n", restored.message.c_str());
    }
    std::unique_ptr<server::Server> http;
    try {
        http = std::make_unique<server::Server>(cimom, options.server);
    } catch (const std::exception& e) {
        fprintf(stderr, "cimhost serve: %s\n", e.what());
        return 1;
    }
    const bool v6 = options.server.address.find(':') != std::string::npos;
    printf("cimhost serve: listening on %s://%s%s%s:%d/cimom\n",
           options.server.certFile.empty() ? "http" : "https", v6 ? "[" : "", options.server.address.c_str(),
           v6 ? "]" : "", http->port());
    fflush(stdout);

    // The waiter also ends when the server ends on its own (it cannot, short
    // of a failure), so it looks up every so often.
    std::atomic<bool> served{false};
    std::thread waiter([&] {
        const timespec tick{0, 200L * 1000 * 1000};
        while (!served && sigtimedwait(&signals, nullptr, &tick) < 0) {
        }
        http->stop();
    });
    http->run();
    served = true;
    waiter.join();
    http.reset();
    if (cimom.exporter()) cimom.exporter()->stop();
    fprintf(stderr, "cimhost serve: stopped\n");
    return 0;
}

}  // namespace cimhost
