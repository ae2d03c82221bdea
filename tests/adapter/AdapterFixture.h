// Drives the CMPI adapter the way a CIMOM does, with the embedded host's
// broker (its objects and factories; up-calls are scripted where a test needs
// them) underneath and a provider double behind the registration.
#pragma once

#include <cimple/cimple.h>
#include <cimple/cmpi_adapter.h>
#include <cmpi/cmpift.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/Broker.h"
#include "core/Objects.h"

namespace adapter_test {

using ::testing::HasSubstr;

// The provider behind a test registration: records every operation and lets
// the test decide what the non-lifecycle ones do (a status, or -1 by default).
// Like the module, it keeps the indication handler it is given from enable
// (when enabling succeeds) until disable, and then releases it.
struct FakeProvider {
    typedef bool (*IndicationProc)(cimple::Instance*, void*);

    std::vector<int> operations;
    int loadStatus = 0;
    std::function<int(int operation, void** args)> behave;
    IndicationProc indicationProc = nullptr;
    void* indicationData = nullptr;

    int count(int operation) const {
        return int(std::count(operations.begin(), operations.end(), operation));
    }
    // Delivers through the handler held; false without one.
    bool deliver(cimple::Instance* instance) const {
        return indicationProc && indicationProc(instance, indicationData);
    }
    // What releasing the handler does: one last call with no instance.
    void releaseHandler();
};

class AdapterTest : public ::testing::Test {
protected:
    AdapterTest()
        : broker_(cimhost::ClassRepository::builtin(), nullptr), ctx_(broker_.newContext("root/qms")) {}

    // A registration for `metaClass` served by `fake`, with a state block of
    // its own.
    const cimple::Registration* registration(const cimple::Meta_Class* metaClass, FakeProvider& fake);
    void* block(const cimple::Registration* r);
    template <class MI>
    MI* mi(const cimple::Registration* r, char kind) {
        void* result = nullptr;
        EXPECT_EQ(
            0, cimple_cmpi_adapter(0x43, block(r), r, broker_.cmpi(), ctx_, r->provider_name, kind, &result));
        return static_cast<MI*>(result);
    }

    CMPIObjectPath* path(const cimhost::ObjectPath& p) {
        return cimhost::newCmpiObjectPath(broker_.space(), p);
    }
    CMPIObjectPath* path(const std::string& className, cimhost::NamedValues keys,
                         const std::string& nameSpace = "root/qms") {
        return path({nameSpace, "", className, keys});
    }
    CMPIInstance* instance(const std::string& className, cimhost::NamedValues properties) {
        return cimhost::newCmpiInstance(broker_.space(), {{"root/qms", "", className, {}}, properties});
    }
    CMPIArgs* args(cimhost::NamedValues values) { return cimhost::newCmpiArgs(broker_.space(), values); }
    CMPIResult* result() { return cimhost::newCmpiResult(broker_.space()); }
    static const std::vector<cimhost::Value>& returned(const CMPIResult* r) {
        return cimhost::resultData(r)->values;
    }
    static std::string text(const CMPIStatus& status) {
        const char* p = status.msg ? status.msg->ft->getCharPtr(status.msg, nullptr) : nullptr;
        return p ? p : "";
    }
    static cimhost::NamedValues named(std::initializer_list<std::pair<const char*, cimhost::Value>> values);
    static cimhost::NamedValues filterKeys(const std::string& name = "f1");

    cimhost::Broker broker_;
    const CMPIContext* ctx_;
};

}  // namespace adapter_test
