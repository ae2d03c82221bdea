#pragma once

namespace cimhost {

// `cimhost serve PROVIDERS [options]`: the embedded CIMOM with the providers
// of a registration file, offered to CIM-XML clients over HTTP until SIGINT
// or SIGTERM. argv[0] is "serve". Returns a process exit code: 0 after a
// clean stop, 1 when it cannot start, 2 for bad usage.
int serveCommand(int argc, char** argv);

}  // namespace cimhost
