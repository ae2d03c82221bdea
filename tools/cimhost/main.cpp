// cimhost: the embedded CIM object manager. `inspect` shows what a provider
// module serves; `watch` hosts its indication provider and prints what it
// delivers.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Inspect.h"
#include "Watch.h"

static int usage() {
    fprintf(stderr,
            "usage: cimhost inspect MODULE.so\n"
            "       cimhost watch MODULE.so [--provider NAME] [--count N] [--seconds S]\n");
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
    const char* provider = nullptr;
    cimhost::WatchLimits limits;
    for (int i = 3; i < argc; i += 2) {
        if (i + 1 >= argc) return usage();
        if (strcmp(argv[i], "--provider") == 0)
            provider = argv[i + 1];
        else if (strcmp(argv[i], "--count") == 0     ? !number(argv[i + 1], limits.count)
                 : strcmp(argv[i], "--seconds") == 0 ? !number(argv[i + 1], limits.seconds)
                                                     : true)
            return usage();
    }
    return cimhost::watch(argv[2], provider, limits);
}

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    if (strcmp(argv[1], "inspect") == 0 && argc == 3) return cimhost::inspect(argv[2]);
    if (strcmp(argv[1], "watch") == 0) return watchCommand(argc, argv);
    return usage();
}
