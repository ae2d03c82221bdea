// The outer shell as the framework sees it: the operations each provider
// answers, and the ones it must refuse untouched. The registration chain and
// the class each provider names are exercised by every hosted road.
#include <gtest/gtest.h>

#include <string>

#include "ModuleTestSupport.h"

using namespace cimple;
using qms_test::call;
using qms_test::EnumRecorder;
using qms_test::kHosted;
using qms_test::kLogEntry;
using qms_test::kService;
using qms_test::ProviderObject;

namespace {

TEST(Dispatch, ProviderObjectsAreDestroyedOnceAndNullIsHarmless) {
    for (const char* name : {kLogEntry, kService, kHosted}) {
        const Registration* r = qms_test::registrationOf(name);
        void* object = nullptr;
        ASSERT_EQ(call(r, OPERATION_CREATE_PROVIDER, &object), 0);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(call(r, OPERATION_DESTROY_PROVIDER, object), 0);
        EXPECT_EQ(call(r, OPERATION_DESTROY_PROVIDER, nullptr), 0) << name;
    }
}

// Operations a provider does not offer are refused with -1 before any
// argument is looked at: the poisoned pointers below would crash otherwise.
TEST(Dispatch, OperationsAProviderDoesNotOfferAnswerMinusOneUntouched) {
    void* poison = reinterpret_cast<void*>(0x1);
    const struct {
        const char* provider;
        std::vector<int> refused;
    } cases[] = {
        {kLogEntry, {5, 6, 7, 8, 9, 10, 14, 15, 16, 17, 99, -1}},
        {kService, {10 /* only with a method record */, 11, 12, 14, 15, 16, 17, -7}},
        {kHosted, {10, 11, 12, 17, 1000}},
    };
    for (const auto& c : cases) {
        ProviderObject p(c.provider);
        for (int op : c.refused) {
            void* a2 = (op == OPERATION_INVOKE_METHOD) ? nullptr : poison;
            EXPECT_EQ(p.call(op, poison, a2, poison, poison, poison, poison), -1)
                << c.provider << " op " << op;
        }
    }
}

TEST(Dispatch, AssociationEnumerationsOfTheHostedProviderAreUnsupportedWithoutCallbacks) {
    ProviderObject p(kHosted);
    auto* source = QMS_VRXIndicationRegistrationService::create(true);
    String empty;
    EnumRecorder rec;
    EXPECT_EQ(p.call(OPERATION_ENUM_ASSOCIATOR_NAMES, source, &empty, &empty, &empty, rec.procArg(), &rec),
              111);
    EXPECT_EQ(p.call(OPERATION_ENUM_REFERENCES, source, nullptr, &empty, rec.procArg(), &rec), 121);
    EXPECT_EQ(p.call(OPERATION_ENUM_ASSOCIATORS, source, &empty, &empty, &empty, rec.procArg(), &rec), 171);
    EXPECT_TRUE(rec.calls.empty());
    unref(source);
}

TEST(Dispatch, MethodNamesMatchWithoutRegardToCaseAndUnknownNamesAreRefused) {
    ProviderObject p(kService);
    auto* self = QMS_VRXIndicationRegistrationService::create(true);
    const Meta_Class& startRecord =
        QMS_VRXIndicationRegistrationService_StartService_method::static_meta_class;
    for (const auto& [name, status] : {std::pair("StartService", 131),
                                       {"startservice", 131},
                                       {"STARTSERVICE", 131},
                                       {"StartServiceNow", -1}}) {
        Meta_Class renamed = startRecord;
        renamed.name = name;
        Instance* record = create(&renamed, false);
        EXPECT_EQ(p.call(OPERATION_INVOKE_METHOD, self, record), status) << name;
        unref(record);
    }
    unref(self);
}

}  // namespace
