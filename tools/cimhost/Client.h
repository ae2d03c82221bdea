#pragma once

namespace cimhost {

// `cimhost client ...`: the registration service of any CIMOM, over CIM-XML.
// argv[0] is "client". Returns a process exit code: 0 done, 1 the CIMOM or
// the service refused, 2 bad usage, 3 the CIMOM could not be reached or
// refused the credentials.
int clientCommand(int argc, char** argv);

}  // namespace cimhost
