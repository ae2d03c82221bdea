// Registration handles are model paths compared as text, so the same keys
// must always give the same text. The module's keys are strings and
// references only, and nothing in it reads a path back (the reader is left to
// the fuzz corpus).
#include <gtest/gtest.h>

#include <string>

#include "TestSchema.h"
#include "cimple/cimple.h"

using namespace cimple;

namespace {

String path_of(const void* inst) {
    String path;
    EXPECT_EQ(instance_to_model_path(static_cast<const Instance*>(inst), path), 0);
    return path;
}

}  // namespace

// Keys in name order (T_Link declares Right before Left); the subscription's
// tag travels inside a nested reference, so quotes and backslashes must be
// escaped per level.
TEST(ModelPath, NestedReferencesAreQuotedAndEscapedPerLevel) {
    Ref<T_Link> link(make<T_Link>());
    link->Left = base("back\\slash \"q\"", 1);
    link->Right = reinterpret_cast<T_Base*>(make<T_Derived>());  // a subclass behind a reference
    link->Right->Name.set("#Ttag\"T#");
    link->Right->Id.set(2);
    link->Note.set("not a key");
    Ref<T_Holder> holder(make<T_Holder>());
    holder->Link = clone(link.get());
    auto q = [](const std::string& text) {
        std::string quoted = "\"";
        for (char c : text) quoted += (c == '"' || c == '\\') ? std::string{'\\', c} : std::string{c};
        return quoted + "\"";
    };
    const std::string left = "T_Base.Id=1,Name=" + q("back\\slash \"q\""),
                      right = "T_Derived.Id=2,Name=" + q("#Ttag\"T#");
    EXPECT_EQ(std::string(path_of(holder.get()).c_str()),
              "T_Holder.Link=" + q("T_Link.Left=" + q(left) + ",Right=" + q(right)));
}

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
