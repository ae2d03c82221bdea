// Instances in one line and a scratch directory per test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>

#include "core/Value.h"

namespace indications_test {

inline cimhost::Instance make(const std::string& className,
                              std::initializer_list<std::pair<const char*, cimhost::Value>> properties,
                              const std::string& nameSpace = std::string()) {
    cimhost::Instance inst;
    inst.path.className = className;
    inst.path.nameSpace = nameSpace;
    for (const auto& p : properties) inst.properties.set(p.first, p.second);
    return inst;
}

class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/indications-XXXXXX";
        if (mkdtemp(name)) path_ = name;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace indications_test
