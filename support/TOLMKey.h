// The address of one object in the agent's tables: the cabinet it sits in, its
// index there and the extension of the request's opcode. Agent requests carry
// the three numbers as they are; a device identifier "cab-obj" fills the first
// two (parseDeviceID).
#pragma once

#include <cstdint>

namespace provider {

struct TOLMKey {
    uint32_t cabNr = 0;
    uint32_t objId = 0;
    uint32_t opCdExt = 0;
};

}  // namespace provider
