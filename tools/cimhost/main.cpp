// cimhost: the embedded CIM object manager. `inspect` shows what a provider
// module serves; `watch` hosts the providers of a registration file, subscribes
// a listener and prints the indications the CIMOM delivers to it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Client.h"
#include "Inspect.h"
#include "Serve.h"
#include "Watch.h"

static int usage() {
    fprintf(stderr,
            "usage: cimhost inspect MODULE.so\n"
            "       cimhost watch PROVIDERS [--library-path DIR]... [--query WQL] [--namespace NS]\n"
            "                     [--destination URL] [--store FILE] [--log FILE.jsonl]\n"
            "                     [--count N] [--seconds S]\n"
            "       cimhost serve PROVIDERS [--library-path DIR]... [--port N] [--bind ADDRESS] ...  (serve alone: help)\n"
            "       cimhost passwd FILE USER\n"
            "       cimhost client [--url URL] ... register|list|unregister|test ...  (client --help)\n");
    return 2;
}

static bool number(const char* text, unsigned& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 10);
    if (errno || !end || *end || end == text || value > 0xFFFFFFFFul) return false;
    out = static_cast<unsigned>(value);
    return true;
}

static int watchCommand(int argc, char** argv) {
    cimhost::WatchOptions options;
    options.providersFile = argv[2];
    for (int i = 3; i < argc; i += 2) {
        if (i + 1 >= argc) return usage();
        const char* flag = argv[i];
        const char* value = argv[i + 1];
        if (strcmp(flag, "--library-path") == 0)
            options.libraryPath.push_back(value);
        else if (strcmp(flag, "--query") == 0)
            options.query = value;
        else if (strcmp(flag, "--namespace") == 0)
            options.sourceNamespace = value;
        else if (strcmp(flag, "--destination") == 0)
            options.destination = value;
        else if (strcmp(flag, "--store") == 0)
            options.storeFile = value;
        else if (strcmp(flag, "--log") == 0)
            options.deliveryLog = value;
        else if (strcmp(flag, "--count") == 0 ? !number(value, options.count)
                 : strcmp(flag, "--seconds") == 0 ? !number(value, options.seconds)
                                                   : true)
            return usage();
    }
    return cimhost::watch(options);
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "client") == 0) return cimhost::clientCommand(argc - 1, argv + 1);
    if (argc >= 2 && strcmp(argv[1], "serve") == 0) return cimhost::serveCommand(argc - 1, argv + 1);
    if (argc >= 2 && strcmp(argv[1], "passwd") == 0) return cimhost::passwdCommand(argc - 1, argv + 1);
    if (argc < 3) return usage();
    if (strcmp(argv[1], "inspect") == 0 && argc == 3) return cimhost::inspect(argv[2]);
    if (strcmp(argv[1], "watch") == 0) return watchCommand(argc, argv);
    return usage();
}
