#include "support/SystemPaths.h"

#include <cstdlib>

namespace provider {

std::string systemPath(const char* path) {
#ifdef QMS_TEST_BUILD
    const char* root = std::getenv("QMS_TEST_ROOT");
    std::string prefix;
    if (root && *root) {
        prefix = root;
    } else {
        const char* tmp = std::getenv("TMPDIR");
        prefix = std::string(tmp && *tmp ? tmp : "/tmp") + "/qms-test-root";
    }
    return prefix + path;
#else
    return path;
#endif
}

}  // namespace provider
