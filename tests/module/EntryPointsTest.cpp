// The CMPI factories: each hands its provider's registration to the adapter
// with the arguments the adapter expects, and returns the adapter's table.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <tuple>

#include "FakeAdapter.h"
#include "ModuleTestSupport.h"

extern "C" {
#define QMS_FACTORY(symbol, provider, kind) void* symbol(const void*, const void*, void*);
#include "module/Factories.h"
#undef QMS_FACTORY
}

namespace {

using Factory = void* (*)(const void*, const void*, void*);

struct Expected {
    const char* symbol;
    Factory factory;
    const char* provider;
    char kind;
};

// Every factory the provider list names, with its provider and kind.
const Expected kFactories[] = {
#define QMS_FACTORY(symbol, provider, kind) {#symbol, symbol, provider, kind},
#include "module/Factories.h"
#undef QMS_FACTORY
};

TEST(Factories, PassTheProviderToTheAdapterAndReturnItsTable) {
    int broker, context, table, status;
    std::map<std::string, void*> blockOf;
    for (const Expected& e : kFactories) {
        qms_test::adapterCalls.clear();
        qms_test::adapterResult = &table;
        EXPECT_EQ(e.factory(&broker, &context, &status), &table) << e.symbol;
        ASSERT_EQ(qms_test::adapterCalls.size(), 1u) << e.symbol;
        const qms_test::AdapterCall& c = qms_test::adapterCalls[0];
        // The result pointer starts out null; the CIMOM's status is filled.
        EXPECT_EQ(std::tuple(c.magic, c.registration, c.broker, c.context, std::string(c.providerName),
                             c.kind, c.resultWasNull, c.status, c.reportedMi),
                  std::tuple(0x43, qms_test::registrationOf(e.provider), (const void*)&broker,
                             (const void*)&context, std::string(e.provider), int(e.kind), true,
                             (void*)&status, (const void*)&table))
            << e.symbol;
        ASSERT_NE(c.block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(c.block) % alignof(std::max_align_t), 0u)
            << e.symbol << ": the adapter builds its state in the block";
        EXPECT_EQ(blockOf.emplace(e.provider, c.block).first->second, c.block)
            << e.symbol << ": all interfaces of a provider share one block";
    }
    ASSERT_EQ(blockOf.size(), 3u);
    std::set<void*> blocks;
    for (const auto& b : blockOf) blocks.insert(b.second);
    EXPECT_EQ(blocks.size(), blockOf.size()) << "each provider has a block of its own";
}

TEST(Factories, AFailedAdapterGivesNull) {
    qms_test::adapterResult = nullptr;
    int broker = 0, context = 0, status = 0;
    EXPECT_EQ(QMS_VRXLogEntryArrived_Provider_Create_IndicationMI(&broker, &context, &status), nullptr);
    EXPECT_EQ(qms_test::adapterCalls.back().reportedMi, nullptr);
}

}  // namespace
