// What the interop store and the JSON-lines sink write alike: booleans and
// integers of a non-null value, with any RapidJSON writer. Reals, texts,
// references and instances each writer treats its own way.
#pragma once

#include "core/Value.h"

namespace cimhost {

// False, writing nothing, when the value is of none of those types.
template <class Writer>
bool writeJsonInteger(Writer& w, const Value& v) {
    switch (v.elementType()) {
        case CMPI_boolean:
            w.Bool(v.asBool());
            return true;
        case CMPI_uint8:
        case CMPI_uint16:
        case CMPI_uint32:
        case CMPI_uint64:
        case CMPI_char16:
            w.Uint64(v.asUnsigned());
            return true;
        case CMPI_sint8:
        case CMPI_sint16:
        case CMPI_sint32:
        case CMPI_sint64:
            w.Int64(v.asSigned());
            return true;
        default:
            return false;
    }
}

}  // namespace cimhost
