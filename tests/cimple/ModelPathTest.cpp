#include <gtest/gtest.h>

#include <cmath>
#include <regex>
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
}

TEST(ModelPath, EveryKeyTypeRoundTrips) {
    Ref<T_AllKeys> k(all_keys());
    const float reals32[] = {0.1f, -3.4028235e38f, 1e-45f, 0.0f};
    const double reals64[] = {0.1, 1.7976931348623157e308, 5e-324, -2.5};
    const uint16_t chars[] = {'a', '"', '\\', 0, 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF};
    for (size_t i = 0; i < 9; i++) {
        k->r32.set(reals32[i % 4]);
        k->r64.set(reals64[i % 4]);
        k->c16.set(char16(chars[i]));
        k->b.set(i % 2 == 0);
        k->s.set(i % 2 ? "" : "a\\\"b\"\\");
        String path = path_of(k.get());
        Ref<Instance> back(model_path_to_instance(&test_repository, path.c_str()));
        ASSERT_TRUE(back) << path.c_str();
        EXPECT_TRUE(key_eq(back.get(), reinterpret_cast<Instance*>(k.get()))) << path.c_str();
        EXPECT_EQ(path_of(back.get()), path);
    }
}

TEST(ModelPath, DeclarationOrderDoesNotMatterButCaseOfNamesIsIgnored) {
    // T_Link declares Right before Left; the text still has Left first.
    Ref<T_Link> l(make<T_Link>());
    l->Left = base("L", 1);
    l->Right = base("R", 2);
    EXPECT_EQ(path_of(l.get()),
              "T_Link.Left=\"T_Base.Id=1,Name=\\\"L\\\"\",Right=\"T_Base.Id=2,Name=\\\"R\\\"\"");
    Ref<Instance> a(model_path_to_instance(&test_repository, "t_base.NAME=\"x\",id=3"));
    Ref<Instance> b(model_path_to_instance(&test_repository, "T_Base.Id=3,Name=\"x\""));
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_TRUE(key_eq(a.get(), b.get()));
    EXPECT_EQ(path_of(a.get()), "T_Base.Id=3,Name=\"x\"");
}

TEST(ModelPath, NestedReferencesWithEscapesRoundTrip) {
    Ref<T_Link> link(make<T_Link>());
    link->Left = base("back\\slash \"quoted\"", 1);
    link->Right = reinterpret_cast<T_Base*>(make<T_Derived>());  // a subclass behind a reference
    link->Right->Name.set("#Ttag\"T#");
    link->Right->Id.set(2);
    Ref<T_Holder> holder(make<T_Holder>());
    holder->Link = clone(link.get());

    String path = path_of(holder.get());
    Ref<Instance> back(model_path_to_instance(&test_repository, path.c_str()));
    ASSERT_TRUE(back) << path.c_str();
    EXPECT_TRUE(key_eq(back.get(), reinterpret_cast<Instance*>(holder.get())));
    T_Holder* h = cast<T_Holder>(back.get());
    ASSERT_NE(h, nullptr);
    ASSERT_NE(h->Link, nullptr);
    EXPECT_EQ(h->Link->Left->Name.value, "back\\slash \"quoted\"");
    EXPECT_EQ(h->Link->Right->__base.meta_class, &T_Derived::static_meta_class);
    EXPECT_EQ(path_of(back.get()), path);

    // Only keys come back.
    link->Note.set("n");
    Ref<Instance> keys(model_path_to_instance(&T_Link::static_meta_class, path_of(link.get()).c_str()));
    ASSERT_TRUE(keys);
    EXPECT_TRUE(cast<T_Link>(keys.get())->Note.null);
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

TEST(ModelPath, ParserRejectsMalformedText) {
    const char* bad[] = {
        nullptr,
        "",
        "T_Base",
        ".Id=1",
        "T_Base.Id=1",                     // missing Name
        "T_Base.Id=1,Name=\"x\",",         // trailing comma
        "T_Base.Id=1,Name=\"x\",Id=1",     // repeated key
        "T_Base.Id=1,Name=\"x\",Level=5",  // not a key
        "Nope.Id=1,Name=\"x\"",            // unknown key / class
        "T_Base.Id=1,Name=x",
        "T_Base.Id=\"1\",Name=\"x\"",  // wrong quoting
        "T_Base.Id=1,Name=\"x",
        "T_Base.Id=1,Name=\"x\\q\"",  // open quote, bad escape
        "T_Base.Id= 1,Name=\"x\"",
        "T_Base.Id=+1,Name=\"x\"",
        "T_Base.Id=4294967296,Name=\"x\"",
        "T_Base.Id=-1,Name=\"x\"",
        "T_Base.Id=,Name=\"x\"",
        "T_Keyless.Text=\"t\"",
        "T_Link.Left=\"T_Base.Id=1,Name=\\\"L\\\"\",Right=\"T_Link.Left=1\"",             // bad nested
        "T_Link.Left=\"T_Keyless.Text=\\\"L\\\"\",Right=\"T_Base.Id=1,Name=\\\"R\\\"\"",  // wrong class
        "T_Link.Left=T_Base,Right=\"T_Base.Id=1,Name=\\\"R\\\"\"",
    };
    for (const char* text : bad) {
        Instance* inst = model_path_to_instance(&test_repository, text);
        EXPECT_EQ(inst, nullptr) << (text ? text : "(null)");
        unref(inst);
    }
    const char* bad_values[] = {"b=maybe",
                                "s8=-129",
                                "u8=256",
                                "s64=-9223372036854775809",
                                "u64=18446744073709551616",
                                "r32=1e39",
                                "r64=0x",
                                "r64=1.5.",
                                "c16=\"ab\"",
                                "c16=\"\xC1\x81\"",
                                "d=\"19701301000000.000000+000\"",
                                "d=19700101000000.000000+000"};
    Ref<T_AllKeys> k(all_keys());
    const std::string good = path_of(k.get()).c_str();
    for (const std::string bad_value : bad_values) {
        // Spoil one key of a good path.
        const std::string key = bad_value.substr(0, bad_value.find('='));
        const std::regex value("([.,])" + key + "=(\"[^\"]*\"|[^,]*)");
        const std::string path = std::regex_replace(good, value, "$1" + bad_value);
        ASSERT_NE(path, good);
        EXPECT_EQ(model_path_to_instance(&test_repository, path.c_str()), nullptr) << path;
    }
    EXPECT_EQ(model_path_to_instance(&T_Derived::static_meta_class, "T_Base.Id=1,Name=\"x\""), nullptr);
    Ref<Instance> sub(model_path_to_instance(&T_Base::static_meta_class, "T_Derived.Id=1,Name=\"x\""));
    EXPECT_TRUE(sub);
    EXPECT_EQ(model_path_to_instance(static_cast<const Meta_Repository*>(nullptr), "T_Base.Id=1,Name=\"x\""),
              nullptr);
}

TEST(ModelPath, DeepNestingIsRefused) {
    // A path nested far deeper than any schema allows must fail cleanly.
    std::string inner = "T_Base.Id=1,Name=\"x\"";
    for (int i = 0; i < 18; i++) {  // escapes double per level: keep it small
        std::string escaped;
        for (char c : inner) {
            if (c == '"' || c == '\\') escaped += '\\';
            escaped += c;
        }
        inner = "T_Holder.Link=\"" + escaped + "\"";
    }
    EXPECT_EQ(model_path_to_instance(&test_repository, inner.c_str()), nullptr);
}
