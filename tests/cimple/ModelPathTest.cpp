// Registration handles are model paths compared as text; the registration
// tests check that text (key order, escaping per nesting level, the class of
// a referenced instance) exactly. Here: no path without every key.
#include <gtest/gtest.h>

#include "TestSchema.h"
#include "cimple/cimple.h"

using namespace cimple;

TEST(ModelPath, NullOrMissingKeysGiveNoPath) {
    String path("untouched");
    Ref<T_Base> b(base("x", 1));
    b->Id.clear();
    EXPECT_EQ(instance_to_model_path(b.get(), path), -1);
    Ref<T_Link> l(make<T_Link>());
    l->Left = base("x", 1);
    EXPECT_EQ(instance_to_model_path(l.get(), path), -1);  // Right is null
    l->Right = base("y", 1);
    l->Right->Name.clear();
    EXPECT_EQ(instance_to_model_path(l.get(), path), -1);  // a key of the referenced instance
    Ref<T_Keyless> k(make<T_Keyless>());
    k->Text.set("t");
    EXPECT_EQ(instance_to_model_path(k.get(), path), -1);
    EXPECT_EQ(instance_to_model_path(static_cast<Instance*>(nullptr), path), -1);
    EXPECT_EQ(path, "untouched");
}
