// A listener's property as a test compares it: the type, "[]" for arrays,
// then NULL, the text, or {item,item} with NULL items.
#pragma once

#include <string>

#include "listener/InstanceXml.h"

namespace cimhost {
namespace listener {

inline std::string show(const Property& p) {
    std::string out = p.type + (p.array ? "[] " : " ");
    if (p.null) return out + "NULL";
    if (!p.array) return out + p.text;
    out += "{";
    for (size_t i = 0; i < p.items.size(); ++i) out += (i ? "," : "") + (p.items[i] ? *p.items[i] : "NULL");
    return out + "}";
}

}  // namespace listener
}  // namespace cimhost
