// One entry of the server's system message log as the chunk read delivers it.
#pragma once

#include <cimple/cimple.h>

#include <cstdint>

namespace provider {

struct LogMessage {
    uint32_t severity = 0;   // 0..3 as the agent grades it
    uint32_t messageId = 0;  // 16-bit message number
    bool bit0Flag = false;   // bit 0 of the entry's attributes, carried as is
    cimple::Datetime timestamp;
    uint32_t seqNr = 0;  // position of the entry in the log
    cimple::String text;
};

}  // namespace provider
