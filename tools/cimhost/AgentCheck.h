// Why the module cannot reach the agent daemon, in words for whoever runs the
// host. The module itself only reports that switching indications on failed
// (the CIM status it must return); the cause is in its trace, which is off by
// default. This looks at what the module looks at, from the outside.
#pragma once

#include <string>

namespace cimhost {

// Checks the agent's daemon binary, its pid file and its three sockets at the
// paths the module uses (in a test build under $QMS_TEST_ROOT, as the module
// of the same build sees them), and says what is wrong and what to do, one
// finding a line. Empty when the agent looks reachable.
std::string diagnoseAgent();

}  // namespace cimhost
