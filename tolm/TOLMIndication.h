// The facade instance shared by all providers of the module, counted by their
// load and unload operations.
#pragma once

#include "tolm/TOLMCalls.h"

namespace provider {

// init=true: count the shared instance up, creating it on first use;
// init=false: count it down, destroying it at zero. False when creation
// failed or there was nothing to count down (both traced).
bool initTOLMIndication(bool init);

// As initTOLMIndication(true), but when there is no shared instance yet it
// adopts calls instead of making a facade that talks to the agent. Lets tests
// put a fake facade behind everything that fetches the shared instance; the
// matching initTOLMIndication(false) drops it again. Always true.
bool initTOLMIndicationWith(const ShPtr<TOLMCalls>& calls);

// The shared instance; throws BaseException "getTOLMIndication(): not
// initialized" when there is none.
TOLMCalls& getTOLMIndication();

}  // namespace provider
