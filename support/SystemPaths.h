// Fixed system paths (agent sockets, trace configuration, trace output, pid
// file, daemon binaries) all pass through here.
//
// A production build returns each path as given. A test build (QMS_TEST_BUILD)
// places it under the directory named by $QMS_TEST_ROOT, so tests never touch
// the machine's real /dev, /etc, /var or /usr; with the variable unset it uses
// "$TMPDIR/qms-test-root" rather than falling back to the real path.
#pragma once

#include <string>

namespace provider {

std::string systemPath(const char* path);

}  // namespace provider
