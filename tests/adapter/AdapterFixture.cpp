#include "adapter/AdapterFixture.h"

#include <deque>

namespace adapter_test {

namespace {

int fakeProc(const cimple::Registration* r, int operation, void* a0, void* a1, void* a2, void* a3, void* a4,
             void* a5, void* a6, void* a7);

cimple::Registration* chainHead = nullptr;

struct TestRegistration {
    TestRegistration(const cimple::Meta_Class* metaClass, FakeProvider* fake_)
        : registration("Test_Module", "Test_Provider", fakeProc, metaClass, chainHead),
          fake(fake_),
          block{} {}
    cimple::Registration registration;  // first: the procedure finds the rest from it
    FakeProvider* fake;
    alignas(16) char block[2048];
};

// Registrations and their blocks live as long as the process, as the
// module's static records do.
std::deque<TestRegistration*>& registrations() {
    static auto* all = new std::deque<TestRegistration*>;
    return *all;
}

int fakeProc(const cimple::Registration* r, int operation, void* a0, void* a1, void* a2, void* a3, void* a4,
             void* a5, void* a6, void* a7) {
    FakeProvider& fake = *reinterpret_cast<const TestRegistration*>(r)->fake;
    fake.operations.push_back(operation);
    void* args[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
    switch (operation) {
        case cimple::OPERATION_CREATE_PROVIDER:
            *static_cast<void**>(a0) = &fake;
            return 0;
        case cimple::OPERATION_LOAD:
            return fake.loadStatus;
        case cimple::OPERATION_DESTROY_PROVIDER:
        case cimple::OPERATION_UNLOAD:
            return 0;
        case cimple::OPERATION_ENABLE_INDICATIONS: {
            fake.releaseHandler();
            fake.indicationProc = reinterpret_cast<FakeProvider::IndicationProc>(a1);
            fake.indicationData = a2;
            int status = fake.behave ? fake.behave(operation, args) : 0;
            if (status != 0) fake.releaseHandler();
            return status;
        }
        case cimple::OPERATION_DISABLE_INDICATIONS: {
            int status = fake.behave ? fake.behave(operation, args) : 0;
            fake.releaseHandler();
            return status;
        }
        default:
            return fake.behave ? fake.behave(operation, args) : -1;
    }
}

}  // namespace

void FakeProvider::releaseHandler() {
    IndicationProc proc = indicationProc;
    indicationProc = nullptr;
    if (proc) proc(nullptr, indicationData);
}

const cimple::Registration* AdapterTest::registration(const cimple::Meta_Class* metaClass,
                                                      FakeProvider& fake) {
    auto* t = new TestRegistration(metaClass, &fake);
    registrations().push_back(t);
    return &t->registration;
}

void* AdapterTest::block(const cimple::Registration* r) {
    return reinterpret_cast<TestRegistration*>(const_cast<cimple::Registration*>(r))->block;
}

cimhost::NamedValues AdapterTest::named(
    std::initializer_list<std::pair<const char*, cimhost::Value>> values) {
    cimhost::NamedValues out;
    for (const auto& [name, value] : values) out.set(name, value);
    return out;
}

cimhost::NamedValues AdapterTest::filterKeys(const std::string& name) {
    using cimhost::Value;
    return named({{"SystemCreationClassName", Value::string("CIM_ComputerSystem")},
                  {"SystemName", Value::string("host")},
                  {"CreationClassName", Value::string("CIM_IndicationFilter")},
                  {"Name", Value::string(name)}});
}

}  // namespace adapter_test
