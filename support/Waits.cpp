#include "support/Waits.h"

#include <time.h>

#include <cerrno>

namespace provider {

void sleepMs(uint32_t ms) {
    uint32_t actual = scaledMs(ms);
    timespec ts{static_cast<time_t>(actual / 1000), static_cast<long>(actual % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

}  // namespace provider
