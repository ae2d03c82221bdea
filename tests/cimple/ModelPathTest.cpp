// Registration handles are model paths compared as text, so the same keys
// must always give the same text. Nothing in the module reads a path back:
// the reader is left to the fuzz corpus.
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

T_AllKeys* all_keys() {
    T_AllKeys* k = make<T_AllKeys>();
    k->s.set("text");
    k->s8.set(-128);
    k->s16.set(-32768);
    k->s32.set(INT32_MIN);
    k->s64.set(INT64_MIN);
    k->u8.set(255);
    k->u16.set(65535);
    k->u32.set(UINT32_MAX);
    k->u64.set(UINT64_MAX);
    k->r32.set(0.1f);
    k->r64.set(0.1);
    k->b.set(true);
    k->c16.set(char16(0x00E9));
    k->d.set(Datetime(3600 * Time::SEC, 60));
    return k;
}

}  // namespace

TEST(ModelPath, KeysInNameOrderWithTypedValues) {
    Ref<T_AllKeys> k(all_keys());
    EXPECT_EQ(path_of(k.get()),
              "T_AllKeys.b=TRUE,c16=\"\xC3\xA9\",d=\"19700101020000.000000+060\",r32=0.100000001,"
              "r64=0.10000000000000001,s=\"text\",s16=-32768,s32=-2147483648,s64=-9223372036854775808,"
              "s8=-128,u16=65535,u32=4294967295,u64=18446744073709551615,u8=255");
    k->c16.set(char16(0));
    k->s.set("");
    EXPECT_NE(path_of(k.get()).find("c16=\"\xC0\x80\""), String::npos) << "a NUL must not end the text";
}

// T_Link declares Right before Left; the subscription's tag travels inside
// a nested reference, so quotes and backslashes must be escaped per level.
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
    Ref<T_AllKeys> a(all_keys());
    a->d.value.clear();  // non-null property holding no date
    EXPECT_EQ(instance_to_model_path(a.get(), path), -1);
    EXPECT_EQ(instance_to_model_path(static_cast<Instance*>(nullptr), path), -1);
    EXPECT_EQ(path, "untouched");
}
