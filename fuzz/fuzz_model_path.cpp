// An instance path as a client or a stored registration names it, read
// against the whole generated repository. What reads must write back to a
// path that reads again as the same keys.
#include <cstdint>
#include <string>

#include "cimple/cimple.h"
#include "schema/Classes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader takes a C string: the text ends at the first NUL.
    const std::string text(reinterpret_cast<const char*>(data), size);
    cimple::Instance* inst = cimple::model_path_to_instance(&cimple::meta_repository, text.c_str());
    if (!inst) return 0;

    cimple::String path;
    if (cimple::instance_to_model_path(inst, path) == 0) {
        cimple::Instance* again = cimple::model_path_to_instance(&cimple::meta_repository, path.c_str());
        if (!again) __builtin_trap();  // a written path must read back
        cimple::unref(again);
    }
    cimple::to_text(inst);
    cimple::unref(inst);
    return 0;
}
