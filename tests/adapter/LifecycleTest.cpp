// The factory, the provider's life from first call to last cleanup, the
// MI boundary's argument checks and the mapping of framework statuses.
#include <schema/Classes.h>

#include "adapter/AdapterFixture.h"

namespace adapter_test {
namespace {

using cimple::CIM_IndicationFilter;

class LifecycleTest : public AdapterTest {
protected:
    CMPIInstanceMI* filterMI(FakeProvider& fake) {
        return mi<CMPIInstanceMI>(registration(&CIM_IndicationFilter::static_meta_class, fake), 'I');
    }
    CMPIStatus deleteFilter(CMPIInstanceMI* instance) {
        return instance->ft->deleteInstance(instance, ctx_, result(),
                                            path("CIM_IndicationFilter", filterKeys()));
    }
};

TEST_F(LifecycleTest, FactoryRefusesBadArgumentsAndLeavesResultNull) {
    FakeProvider fake;
    auto* r = registration(&CIM_IndicationFilter::static_meta_class, fake);
    const void* mb = broker_.cmpi();
    struct Case {
        int magic;
        bool block, reg, broker, context, name;
        int kind;
    } cases[] = {{0x42, 1, 1, 1, 1, 1, 'I'}, {0x43, 0, 1, 1, 1, 1, 'I'}, {0x43, 1, 0, 1, 1, 1, 'I'},
                 {0x43, 1, 1, 0, 1, 1, 'I'}, {0x43, 1, 1, 1, 0, 1, 'I'}, {0x43, 1, 1, 1, 1, 0, 'I'},
                 {0x43, 1, 1, 1, 1, 1, 'P'}, {0x43, 1, 1, 1, 1, 1, 0}};
    for (const Case& c : cases) {
        void* result = reinterpret_cast<void*>(1);
        EXPECT_EQ(-1, cimple_cmpi_adapter(c.magic, c.block ? block(r) : nullptr, c.reg ? r : nullptr,
                                          c.broker ? mb : nullptr, c.context ? ctx_ : nullptr,
                                          c.name ? "Test_Provider" : nullptr, c.kind, &result));
        EXPECT_EQ(nullptr, result);
    }
    EXPECT_EQ(-1, cimple_cmpi_adapter(0x43, block(r), r, mb, ctx_, "Test_Provider", 'I', nullptr));
    void* result = nullptr;
    EXPECT_EQ(-1, cimple_cmpi_adapter(0x43, static_cast<char*>(block(r)) + 1, r, mb, ctx_, "Test_Provider",
                                      'I', &result))
        << "state is built in the block: a misaligned one is refused";
    EXPECT_TRUE(fake.operations.empty());

    // What the factory reports to the CIMOM beside the table.
    CMPIStatus st{CMPI_RC_ERR_FAILED, nullptr};
    cimple_cmpi_factory_status(&st, mb, "Test_Provider", 'I', &st);
    EXPECT_EQ(CMPI_RC_OK, st.rc);
    cimple_cmpi_factory_status(&st, mb, "Test_Provider", 'N', nullptr);
    EXPECT_EQ(CMPI_RC_ERR_FAILED, st.rc);
    EXPECT_EQ("Test_Provider: the indication interface could not be made", text(st));
    cimple_cmpi_factory_status(nullptr, mb, "Test_Provider", 'N', nullptr);
}

TEST_F(LifecycleTest, ProviderLivesFromFirstCallUntilTheLastHandedOutTableIsCleanedUp) {
    FakeProvider fake;
    fake.behave = [](int, void**) { return 0; };
    auto* r = registration(&CIM_IndicationFilter::static_meta_class, fake);
    auto* instance = mi<CMPIInstanceMI>(r, 'I');
    EXPECT_EQ(instance, mi<CMPIInstanceMI>(r, 'I'));
    auto* method = mi<CMPIMethodMI>(r, 'M');
    EXPECT_EQ(instance->hdl, method->hdl);
    EXPECT_STREQ("Test_Provider", method->ft->miName);
    EXPECT_TRUE(fake.operations.empty());  // nothing until a call needs it

    for (int i = 0; i < 2; i++) EXPECT_EQ(CMPI_RC_OK, deleteFilter(instance).rc);
    EXPECT_EQ(CMPI_RC_OK, instance->ft->cleanup(instance, ctx_, false).rc);
    EXPECT_EQ(CMPI_RC_OK, method->ft->cleanup(method, ctx_, false).rc);
    EXPECT_EQ((std::vector<int>{1, 3, 8, 8}), fake.operations);  // the instance table was handed out twice
    // The last cleanup unloads; one more has no effect.
    for (int i = 0; i < 2; i++) EXPECT_EQ(CMPI_RC_OK, instance->ft->cleanup(instance, ctx_, false).rc);
    EXPECT_EQ((std::vector<int>{1, 3, 8, 8, 4, 2}), fake.operations);
}

TEST_F(LifecycleTest, FailedLoadFailsTheCallAndTheNextCallRetries) {
    FakeProvider fake;
    fake.loadStatus = cimple::LOAD_FAILED;
    fake.behave = [](int, void**) { return 0; };
    auto* instance = filterMI(fake);
    CMPIStatus st = deleteFilter(instance);
    EXPECT_EQ(CMPI_RC_ERR_FAILED, st.rc);
    EXPECT_THAT(text(st), HasSubstr("load"));
    fake.loadStatus = 0;
    EXPECT_EQ(CMPI_RC_OK, deleteFilter(instance).rc);
    EXPECT_EQ((std::vector<int>{1, 3, 2, 1, 3, 8}), fake.operations);  // a failed load leaves no provider
}

TEST_F(LifecycleTest, KeptLoadedWhileProvidersForbidUnloadingUnlessTerminating) {
    FakeProvider fake;
    fake.behave = [](int operation, void**) {
        if (operation == cimple::OPERATION_ENABLE_INDICATIONS) cimple::cimom::allow_unload(false);
        if (operation == cimple::OPERATION_DISABLE_INDICATIONS) cimple::cimom::allow_unload(true);
        return 0;
    };
    auto* indication =
        mi<CMPIIndicationMI>(registration(&cimple::QMS_VRXLogEntryArrived::static_meta_class, fake), 'N');
    ASSERT_EQ(CMPI_RC_OK, indication->ft->enableIndications(indication, ctx_).rc);

    EXPECT_EQ(CMPI_RC_DO_NOT_UNLOAD, indication->ft->cleanup(indication, ctx_, false).rc);
    EXPECT_EQ((std::vector<int>{1, 3, 11}), fake.operations);

    EXPECT_EQ(CMPI_RC_OK, indication->ft->cleanup(indication, ctx_, true).rc);
    EXPECT_EQ((std::vector<int>{1, 3, 11, 12, 4, 2}), fake.operations);
}

TEST_F(LifecycleTest, MissingHandleOrArgumentsAreRefusedWithAMessage) {
    FakeProvider fake;
    auto* r = registration(&cimple::QMS_VRXHostedIndicationRegistrationService::static_meta_class, fake);
    auto* instance = mi<CMPIInstanceMI>(r, 'I');
    auto* method = mi<CMPIMethodMI>(r, 'M');
    auto* association = mi<CMPIAssociationMI>(r, 'A');
    auto* indication = mi<CMPIIndicationMI>(r, 'N');
    CMPIObjectPath* op = path("CIM_IndicationFilter", filterKeys());
    CMPIResult* rs = result();
    CMPIArgs* out = args({});
    CMPIInstanceMI stale = {nullptr, instance->ft};

    std::vector<std::pair<CMPIrc, CMPIStatus>> calls = {
        {CMPI_RC_ERR_INVALID_HANDLE, instance->ft->getInstance(nullptr, ctx_, rs, op, nullptr)},
        {CMPI_RC_ERR_INVALID_HANDLE, instance->ft->getInstance(&stale, ctx_, rs, op, nullptr)},
        {CMPI_RC_ERR_INVALID_HANDLE, indication->ft->enableIndications(nullptr, ctx_)},
        {CMPI_RC_ERR_INVALID_PARAMETER, instance->ft->getInstance(instance, nullptr, rs, op, nullptr)},
        {CMPI_RC_ERR_INVALID_PARAMETER, instance->ft->getInstance(instance, ctx_, nullptr, op, nullptr)},
        {CMPI_RC_ERR_INVALID_PARAMETER,
         instance->ft->enumerateInstances(instance, ctx_, rs, nullptr, nullptr)},
        {CMPI_RC_ERR_INVALID_PARAMETER, instance->ft->createInstance(instance, ctx_, rs, op, nullptr)},
        {CMPI_RC_ERR_INVALID_PARAMETER,
         method->ft->invokeMethod(method, ctx_, rs, op, nullptr, nullptr, out)},
        {CMPI_RC_ERR_INVALID_PARAMETER,
         method->ft->invokeMethod(method, ctx_, rs, op, "x", nullptr, nullptr)},
        {CMPI_RC_ERR_INVALID_PARAMETER,
         association->ft->referenceNames(association, ctx_, rs, nullptr, nullptr, nullptr)},
        {CMPI_RC_ERR_NOT_SUPPORTED,
         instance->ft->execQuery(instance, ctx_, rs, op, "SELECT * FROM X", "WQL")},
    };
    for (auto& [rc, st] : calls) {
        EXPECT_EQ(rc, st.rc) << text(st);
        EXPECT_FALSE(text(st).empty());
    }
    EXPECT_EQ(0, fake.count(cimple::OPERATION_CREATE_PROVIDER));
}

TEST_F(LifecycleTest, FrameworkStatusesBecomeCmpiCodesNamingProviderOperationAndStatus) {
    FakeProvider fake;
    int status = 0;
    fake.behave = [&](int, void**) { return status; };
    auto* instance = filterMI(fake);
    const std::vector<std::pair<CMPIrc, std::vector<int>>> table = {
        {CMPI_RC_OK, {0}},
        {CMPI_RC_ERR_NOT_FOUND, {60, 90, 100}},
        {CMPI_RC_ERR_NOT_SUPPORTED, {-1, 61, 81, 91, 101, 111, 121, 131, 171}},
        {CMPI_RC_ERR_INVALID_PARAMETER, {62, 102}},
        {CMPI_RC_ERR_ACCESS_DENIED, {63, 71, 92, 103, 132}},
        {CMPI_RC_ERR_FAILED, {30, 93, 130, 999}},
    };
    for (const auto& [rc, statuses] : table) {
        for (int framework : statuses) {
            status = framework;
            CMPIStatus st = deleteFilter(instance);
            EXPECT_EQ(rc, st.rc) << framework;
            if (framework == 0) continue;
            EXPECT_THAT(text(st), HasSubstr("Test_Provider::deleteInstance"));
            EXPECT_THAT(text(st), HasSubstr("status " + std::to_string(framework)));
        }
    }
}

}  // namespace
}  // namespace adapter_test
