// cimhost: the embedded CIM object manager. For now it has one subcommand,
// `inspect`, which shows what a provider module serves.
#include <cstdio>
#include <cstring>

#include "Inspect.h"

static int usage() {
    fprintf(stderr, "usage: cimhost inspect MODULE.so\n");
    return 2;
}

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    if (strcmp(argv[1], "inspect") == 0 && argc == 3) return cimhost::inspect(argv[2]);
    return usage();
}
