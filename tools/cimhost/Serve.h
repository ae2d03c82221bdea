#pragma once

namespace cimhost {

// The serve command's usage after its name, and its help.
extern const char kServeArguments[];
extern const char kServeHelp[];

// `cimhost serve PROVIDERS [options]`: the embedded CIMOM with the providers
// of a registration file, offered to CIM-XML clients over HTTP until SIGINT
// or SIGTERM. argv[0] is "serve". Returns a process exit code: 0 after a
// clean stop, 1 when it cannot start, 2 for bad usage.
int serveCommand(int argc, char** argv);

// `cimhost passwd FILE USER`: adds USER to serve's password file or gives it
// a new password, asked for twice without echo on a terminal, else read as
// one line from stdin. argv[0] is "passwd". 0 done, 1 failed, 2 bad usage.
int passwdCommand(int argc, char** argv);

}  // namespace cimhost
