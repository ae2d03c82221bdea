#include <gtest/gtest.h>

#include "TestSchema.h"
#include "cimple/cimple.h"

using namespace cimple;

// The in-memory CIMOM is a test double (nothing outside the tests binds it):
// the registration tests count exact leftovers with it, so its behaviour is
// checked there.
TEST(Cimom, WithoutBindingEveryCallFails) {
    ASSERT_EQ(cimom::cimom_binding(), nullptr);
    Ref<T_Base> b(base("x", 1));
    cimom::Instance_Enumerator e;
    EXPECT_EQ(cimom::enum_instances("root", b.get(), e), -1);
    EXPECT_FALSE(e);
    EXPECT_EQ(cimom::create_instance("root", b.get()), -1);
    EXPECT_EQ(cimom::delete_instance("root", b.get()), -1);
    cimom::allow_unload(false);
}

// An instance reaches the callback as its own, with status 0: the status is
// for the closing call alone.
TEST(Handlers, EnumHandlerPassesOwnershipWithStatusZero) {
    int seen[2] = {0, -1};  // instances, last status
    Enum_Instances_Handler h(
        [](Instance* inst, int status, void* data) {
            static_cast<int*>(data)[0] += inst != nullptr;
            static_cast<int*>(data)[1] = status;
            unref(inst);
            return true;
        },
        seen);
    EXPECT_TRUE(h.handle(base("x", 1)));
    EXPECT_EQ(seen[0], 1);
    EXPECT_EQ(seen[1], 0);
}
