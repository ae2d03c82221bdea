// What the interop store and the JSON-lines sink write alike, with any
// RapidJSON writer: nulls, booleans, integers (a char16 as its code) and
// arrays as JSON arrays of their items. Reals, texts, references and
// instances each writer treats its own way, in the hooks its Derived class
// adds.
#pragma once

#include <cstdint>
#include <vector>

#include "core/ValueVisitor.h"

namespace cimhost {

template <class Derived, class Json>
class JsonValueWriter : public ValueVisitor<Derived> {
public:
    void null(CMPIType) { json_.Null(); }
    void array(CMPIType, const std::vector<Value>& items) {
        json_.StartArray();
        this->visitItems(items);
        json_.EndArray();
    }
    void boolean(bool b) { json_.Bool(b); }
    void unsignedInteger(uint64_t x) { json_.Uint64(x); }
    void signedInteger(int64_t x) { json_.Int64(x); }

protected:
    explicit JsonValueWriter(Json& json) : json_(json) {}
    ~JsonValueWriter() = default;

    Json& json() { return json_; }

private:
    Json& json_;
};

}  // namespace cimhost
