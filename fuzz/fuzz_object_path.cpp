// An object path as a CIM client writes it, read by the embedded CIMOM. What
// reads must write back to text that reads again as the same path.
#include <cstdint>
#include <string>

#include "core/Value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    cimhost::ObjectPath path;
    if (!cimhost::ObjectPath::parse(text, &path)) return 0;
    cimhost::ObjectPath again;
    if (!cimhost::ObjectPath::parse(path.toText(), &again) || !(again == path)) __builtin_trap();
    return 0;
}
