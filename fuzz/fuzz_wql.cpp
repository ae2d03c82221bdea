// A filter's query as a CIM client writes it: parsed, and when it parses,
// matched against an indication holding every kind of value a comparison meets.
#include <cstdint>
#include <string>

#include "core/Classes.h"
#include "core/IndicationService.h"
#include "tests/indications/Support.h"

using namespace cimhost;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Instance indication = indications_test::everyKindOfValue();

    std::string error;
    const auto query = WqlQuery::parse(std::string(reinterpret_cast<const char*>(data), size), &error);
    if (!query) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    query->matches(indication, ClassRepository::builtin());
    return 0;
}
