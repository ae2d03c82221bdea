#pragma once

#include <string>
#include <vector>

namespace cimhost {

// What `cimhost watch` sets up and how long it runs.
struct WatchOptions {
    std::string providersFile;             // the registration file to host
    std::vector<std::string> libraryPath;  // where provider libraries are looked for
    std::string query = "SELECT * FROM QMS_VRXLogEntryArrived";
    std::string sourceNamespace = "root/qms";
    std::string destination = "http://localhost:5988/cimhost-watch";
    std::string storeFile;     // the interop store; empty: in memory
    bool freshStore = false;   // a damaged store is set aside (numbered) and the run starts empty
    std::string deliveryLog;   // JSON lines of every delivery; empty: none
    std::string exportCaFile;  // what an https destination's certificate must chain to; empty: the system's
    unsigned count = 0;        // stop after that many indications; 0: no limit
    unsigned seconds = 0;      // stop after that long; 0: no limit
    // Each indication as one readable line (listener::indicationLine), or
    // as the whole instance, every property, headed "--- indication N to URL".
    enum class Show { line, full } show = Show::line;
};

// Hosts the providers of the registration file in the embedded CIMOM,
// subscribes a listener destination to the query in the interop namespace,
// as a client does, and prints every indication delivered to it on stdout
// as options.show says
// until SIGINT, SIGTERM or a limit; then removes the subscription (which
// switches the provider off) and shuts the CIMOM down. Progress goes to
// stderr. Returns a process exit code.
int watch(const WatchOptions& options);

}  // namespace cimhost
