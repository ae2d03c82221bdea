#pragma once

#include <string>

namespace cimhost {

// What `cimhost listen` serves and how it writes what it receives.
struct ListenOptions {
    std::string bind = "127.0.0.1";  // only this machine unless told otherwise
    int port = 5988;                 // the port of `cimhost watch`'s default destination
    bool json = false;               // JSON lines instead of readable lines
    std::string outFile;             // appended to; empty: stdout
};

// A CIM-XML listener for people and scripts: answers every ExportIndication
// POSTed to it and writes one line per indication (listener::indicationLine,
// or one JSON object), in the order they are answered. Gaps, repeats and
// late arrivals in a sender's sequence numbering, and every refused request,
// are reported on stderr. Runs until SIGINT or SIGTERM, then says how many
// indications it received. Returns a process exit code: 0 after a signal,
// 1 when it cannot listen or cannot write its output.
int listen(const ListenOptions& options);

// `cimhost listen` with its arguments (after the command's name): reads the
// options and runs listen(); 2 for arguments it does not understand.
int listenCommand(int argc, char** argv);

}  // namespace cimhost
