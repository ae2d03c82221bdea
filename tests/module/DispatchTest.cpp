// The outer shell as the framework sees it: the registration chain, the
// operations each provider answers, and the ones it must refuse untouched.
#include <gtest/gtest.h>

#include <string>

#include "ModuleTestSupport.h"
#include "support/TraceCapture.h"

using namespace cimple;
using qms_test::call;
using qms_test::EnumRecorder;
using qms_test::ProviderObject;
using qms_test::kHosted;
using qms_test::kLogEntry;
using qms_test::kService;

namespace {


TEST(RegistrationChain, ListsTheThreeProvidersInOrderWithTheirClasses) {
    const Registration* r = cimple_module();
    ASSERT_NE(r, nullptr);
    const struct {
        const char* provider;
        const Meta_Class* meta_class;
    } expected[] = {
        {kLogEntry, &QMS_VRXLogEntryArrived::static_meta_class},
        {kService, &QMS_VRXIndicationRegistrationService::static_meta_class},
        {kHosted, &QMS_VRXHostedIndicationRegistrationService::static_meta_class},
    };
    for (const auto& e : expected) {
        ASSERT_NE(r, nullptr) << e.provider;
        EXPECT_STREQ(r->module_name, "QMS_VRXIndication_Module");
        EXPECT_STREQ(r->provider_name, e.provider);
        EXPECT_EQ(r->meta_class, e.meta_class);
        EXPECT_NE(r->provider_proc, nullptr);
        r = r->next;
    }
    EXPECT_EQ(r, nullptr) << "a freshly loaded library ends the chain with null";
}

TEST(Dispatch, EveryProviderGivesItsClassAndTheRepository) {
    for (const char* name : {kLogEntry, kService, kHosted}) {
        const Registration* r = qms_test::registrationOf(name);
        const Meta_Class* mc = nullptr;
        const Meta_Repository* repo = nullptr;
        EXPECT_EQ(call(r, OPERATION_GET_META_CLASS, &mc), 0);
        EXPECT_EQ(call(r, OPERATION_GET_REPOSITORY, &repo), 0);
        EXPECT_EQ(mc, r->meta_class) << name;
        ASSERT_NE(repo, nullptr);
        EXPECT_EQ(repo, mc->meta_repository);
        EXPECT_EQ(find_meta_class(repo, mc->name), mc);
    }
}

TEST(Dispatch, ProviderObjectsTraceTheirConstructionAndDestruction) {
    qms_test::TraceCapture traces;
    for (const char* name : {kLogEntry, kService, kHosted}) {
        const Registration* r = qms_test::registrationOf(name);
        void* object = nullptr;
        ASSERT_EQ(call(r, OPERATION_CREATE_PROVIDER, &object), 0);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(call(r, OPERATION_DESTROY_PROVIDER, object), 0);
        EXPECT_EQ(call(r, OPERATION_DESTROY_PROVIDER, nullptr), 0) << "destroying null is harmless";
        std::string n(name);
        EXPECT_EQ(traces.count(5, n + "::" + n + "()"), 1u);
        EXPECT_EQ(traces.count(5, n + "::~" + n + "()"), 1u);
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
            EXPECT_EQ(p.call(op, poison, a2, poison, poison, poison, poison), -1) << c.provider << " op " << op;
        }
    }
}

TEST(Dispatch, AssociationEnumerationsOfTheHostedProviderAreUnsupportedWithoutCallbacks) {
    ProviderObject p(kHosted);
    auto* source = QMS_VRXIndicationRegistrationService::create(true);
    String empty;
    EnumRecorder rec;
    EXPECT_EQ(p.call(OPERATION_ENUM_ASSOCIATOR_NAMES, source, &empty, &empty, &empty, rec.procArg(), &rec), 111);
    EXPECT_EQ(p.call(OPERATION_ENUM_REFERENCES, source, nullptr, &empty, rec.procArg(), &rec), 121);
    EXPECT_EQ(p.call(OPERATION_ENUM_ASSOCIATORS, source, &empty, &empty, &empty, rec.procArg(), &rec), 171);
    EXPECT_EQ(rec.instances + rec.closings, 0);
    unref(source);
}

TEST(Dispatch, EnumerationsEndWithExactlyOneClosingCallEvenWhenTheyFail) {
    for (const char* name : {kService, kHosted}) {
        ProviderObject p(name);
        EnumRecorder rec;
        int status = p.call(OPERATION_ENUM_INSTANCES, nullptr, rec.procArg(), &rec);
        EXPECT_EQ(rec.closings, 1) << name;
        EXPECT_EQ(rec.lastStatus, status);
    }
}

TEST(Dispatch, MethodNamesMatchWithoutRegardToCaseAndUnknownNamesAreRefused) {
    ProviderObject p(kService);
    auto* self = QMS_VRXIndicationRegistrationService::create(true);
    const Meta_Class& startRecord = QMS_VRXIndicationRegistrationService_StartService_method::static_meta_class;
    for (const char* name : {"StartService", "startservice", "STARTSERVICE"}) {
        Meta_Class renamed = startRecord;
        renamed.name = name;
        Instance* record = create(&renamed, false);
        EXPECT_EQ(p.call(OPERATION_INVOKE_METHOD, self, record), 131) << name;
        unref(record);
    }
    Meta_Class unknown = startRecord;
    unknown.name = "StartServiceNow";
    Instance* odd = create(&unknown, false);
    EXPECT_EQ(p.call(OPERATION_INVOKE_METHOD, self, odd), -1);
    unref(odd);
    unref(self);
}

}  // namespace
