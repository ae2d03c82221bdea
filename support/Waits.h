// Every fixed wait of the agent link (probe intervals, retry sleeps, reply
// time limits) is written in the units the protocol states and passed through
// here. A production build waits exactly that long. A test build shortens
// every wait by one fixed factor, so the retry counts and the order of events
// stay those of production while the tests finish in reasonable time.
#pragma once

#include <cstdint>

namespace provider {

#ifdef QMS_TEST_BUILD
constexpr uint32_t kWaitDivisor = 20;
#else
constexpr uint32_t kWaitDivisor = 1;
#endif

// Milliseconds to actually wait for a stated wait of ms milliseconds; never 0
// for a non-zero wait.
constexpr uint32_t scaledMs(uint32_t ms) { return ms == 0 ? 0 : (ms / kWaitDivisor ? ms / kWaitDivisor : 1); }

// Sleeps for a stated wait of ms milliseconds (scaled as above).
void sleepMs(uint32_t ms);

}  // namespace provider
