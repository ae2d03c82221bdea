// The CMPI factories: each hands its provider's registration to the adapter
// with the arguments the adapter expects, and returns the adapter's table.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>

#include "FakeAdapter.h"
#include "ModuleTestSupport.h"

extern "C" {
#define FACTORY(name) void* name(const void*, const void*, void*);
FACTORY(QMS_VRXHostedIndicationRegistrationService_Provider_Create_InstanceMI)
FACTORY(QMS_VRXHostedIndicationRegistrationService_Provider_Create_MethodMI)
FACTORY(QMS_VRXHostedIndicationRegistrationService_Provider_Create_AssociationMI)
FACTORY(QMS_VRXIndicationRegistrationService_Provider_Create_InstanceMI)
FACTORY(QMS_VRXIndicationRegistrationService_Provider_Create_MethodMI)
FACTORY(QMS_VRXLogEntryArrived_Provider_Create_MethodMI)
FACTORY(QMS_VRXLogEntryArrived_Provider_Create_IndicationMI)
FACTORY(QMS_VRXHostedIndicationRegistrationService_Create_InstanceMI)
FACTORY(QMS_VRXHostedIndicationRegistrationService_Create_MethodMI)
FACTORY(QMS_VRXHostedIndicationRegistrationService_Create_AssociationMI)
FACTORY(QMS_VRXIndicationRegistrationService_Create_InstanceMI)
FACTORY(QMS_VRXIndicationRegistrationService_Create_MethodMI)
FACTORY(QMS_VRXLogEntryArrived_Create_MethodMI)
FACTORY(QMS_VRXLogEntryArrived_Create_IndicationMI)
#undef FACTORY
}

namespace {

using Factory = void* (*)(const void*, const void*, void*);

struct Expected {
    const char* symbol;
    Factory factory;
    const char* provider;
    char kind;
};

#define ROW(fn, provider, kind) \
    { #fn, fn, provider, kind }
const char kLog[] = "QMS_VRXLogEntryArrived_Provider";
const char kSvc[] = "QMS_VRXIndicationRegistrationService_Provider";
const char kHst[] = "QMS_VRXHostedIndicationRegistrationService_Provider";
const Expected kFactories[] = {
    ROW(QMS_VRXHostedIndicationRegistrationService_Provider_Create_InstanceMI, kHst, 'I'),
    ROW(QMS_VRXHostedIndicationRegistrationService_Provider_Create_MethodMI, kHst, 'M'),
    ROW(QMS_VRXHostedIndicationRegistrationService_Provider_Create_AssociationMI, kHst, 'A'),
    ROW(QMS_VRXIndicationRegistrationService_Provider_Create_InstanceMI, kSvc, 'I'),
    ROW(QMS_VRXIndicationRegistrationService_Provider_Create_MethodMI, kSvc, 'M'),
    ROW(QMS_VRXLogEntryArrived_Provider_Create_MethodMI, kLog, 'M'),
    ROW(QMS_VRXLogEntryArrived_Provider_Create_IndicationMI, kLog, 'N'),
    ROW(QMS_VRXHostedIndicationRegistrationService_Create_InstanceMI, kHst, 'I'),
    ROW(QMS_VRXHostedIndicationRegistrationService_Create_MethodMI, kHst, 'M'),
    ROW(QMS_VRXHostedIndicationRegistrationService_Create_AssociationMI, kHst, 'A'),
    ROW(QMS_VRXIndicationRegistrationService_Create_InstanceMI, kSvc, 'I'),
    ROW(QMS_VRXIndicationRegistrationService_Create_MethodMI, kSvc, 'M'),
    ROW(QMS_VRXLogEntryArrived_Create_MethodMI, kLog, 'M'),
    ROW(QMS_VRXLogEntryArrived_Create_IndicationMI, kLog, 'N'),
};
#undef ROW

TEST(Factories, PassTheProviderToTheAdapterAndReturnItsTable) {
    int broker, context, table, status;
    std::map<std::string, void*> blockOf;
    for (const Expected& e : kFactories) {
        qms_test::adapterCalls().clear();
        qms_test::setAdapterResult(&table);
        EXPECT_EQ(e.factory(&broker, &context, &status), &table) << e.symbol;
        ASSERT_EQ(qms_test::adapterCalls().size(), 1u) << e.symbol;
        const qms_test::AdapterCall& c = qms_test::adapterCalls()[0];
        EXPECT_EQ(c.magic, 0x43) << e.symbol;
        EXPECT_EQ(c.registration, qms_test::registrationOf(e.provider)) << e.symbol;
        EXPECT_EQ(c.broker, &broker);
        EXPECT_EQ(c.context, &context);
        EXPECT_STREQ(c.providerName, e.provider);
        EXPECT_EQ(c.kind, e.kind) << e.symbol;
        EXPECT_TRUE(c.resultWasNull) << "the result pointer starts out null";
        EXPECT_EQ(c.status, &status) << e.symbol << ": the CIMOM's status is filled";
        EXPECT_EQ(c.reportedMi, &table) << e.symbol;
        ASSERT_NE(c.block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(c.block) % alignof(std::max_align_t), 0u)
            << e.symbol << ": the adapter builds its state in the block";
        auto [it, fresh] = blockOf.emplace(e.provider, c.block);
        EXPECT_EQ(it->second, c.block) << e.symbol << ": all interfaces of a provider share one block";
        (void)fresh;
    }
    ASSERT_EQ(blockOf.size(), 3u);
    EXPECT_NE(blockOf[kLog], blockOf[kSvc]);
    EXPECT_NE(blockOf[kSvc], blockOf[kHst]);
    EXPECT_NE(blockOf[kLog], blockOf[kHst]);
}

TEST(Factories, AFailedAdapterGivesNull) {
    qms_test::setAdapterResult(nullptr);
    int broker, context, status;
    EXPECT_EQ(QMS_VRXLogEntryArrived_Provider_Create_IndicationMI(&broker, &context, &status), nullptr);
    EXPECT_EQ(qms_test::adapterCalls().back().reportedMi, nullptr);
}

}  // namespace
