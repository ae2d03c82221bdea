// Until the agent link exists there is no facade to make: the shared instance
// stays absent, provider loads report failure and every operation that needs
// the agent answers with its failure status.
#include "tolm/TOLMCalls.h"

#include "support/provider_utils.h"

namespace provider {

ShPtr<TOLMCalls> newTOLMCalls(const cimple::String&) {
    throw BaseException(__FILE__, __LINE__, "newTOLMCalls(): no agent link in this build");
}

}  // namespace provider
