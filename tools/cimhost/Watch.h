#pragma once

namespace cimhost {

// What `cimhost watch` waits for before it winds the provider down; 0 means
// no limit of that kind.
struct WatchLimits {
    unsigned count = 0;    // indications delivered
    unsigned seconds = 0;  // wall time since indications were enabled
};

// Hosts the module's indication provider (or the one named), enables its
// indications and prints every delivered indication to stdout until SIGINT,
// SIGTERM or a limit; then disables, unloads and destroys it. Progress goes to
// stderr. Returns a process exit code.
int watch(const char* modulePath, const char* providerName, const WatchLimits& limits);

}  // namespace cimhost
