#include <gtest/gtest.h>

#include "TestSchema.h"
#include "cimple/cimple.h"

using namespace cimple;

TEST(Instance, CreateWithoutDefaultsLeavesEverythingNull) {
    Ref<T_Base> b(make<T_Base>());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->__base.refs.load(), 1u);
    EXPECT_EQ(b->__base.meta_class, &T_Base::static_meta_class);
    for (uint32_t i = 0; i < T_Base::static_meta_class.num_meta_features; i++)
        EXPECT_TRUE(is_null(&b->__base, T_Base::static_meta_class.meta_features[i]));
    Ref<T_Link> l(make<T_Link>(true));
    EXPECT_EQ(l->Left, nullptr);
    EXPECT_TRUE(l->Members.null);
    EXPECT_EQ(create(nullptr, true), nullptr);
}

TEST(Instance, CreateWithDefaultsFillsDeclaredDefaultsOnly) {
    Ref<T_Derived> d(make<T_Derived>(true));
    EXPECT_TRUE(d->Flag.value);
    ASSERT_FALSE(d->Tags.null);
    ASSERT_EQ(d->Tags.value.size(), 2u);
    EXPECT_EQ(d->Tags.value[1], "b");
    EXPECT_EQ(d->When.value.to_string(), "20240102030405.000006+060");
    EXPECT_EQ(d->Letter.value, char16('x'));
    EXPECT_TRUE(d->Name.null);
}

TEST(Instance, RejectsRecordsWhoseFieldsDoNotFit) {
    // A string field that runs past the record, and a type of no known size.
    const Meta_Property fields[] = {{CIMPLE_FLAG_PROPERTY, "X", STRING, 0, sizeof(Instance), nullptr},
                                    {CIMPLE_FLAG_PROPERTY, "X", 99, 0, sizeof(Instance), nullptr}};
    const uint32_t sizes[] = {sizeof(Instance) + 4, sizeof(Instance) + 64};
    for (int i = 0; i < 2; i++) {
        const Meta_Feature* const features[] = {reinterpret_cast<const Meta_Feature*>(&fields[i])};
        const Meta_Class mc = {CIMPLE_FLAG_CLASS, "Bad", features, 1, sizes[i], nullptr, 0, nullptr};
        EXPECT_EQ(create(&mc), nullptr) << i;
    }
}

TEST(Instance, CloneIsDeepAndIndependent) {
    Ref<T_Link> link(make<T_Link>());
    link->Left = base("left", 1);
    link->Right = base("right", 2);
    link->Members.set(Array<Instance*>());
    link->Members.value.append(reinterpret_cast<Instance*>(base("m", 3)));
    link->Members.value.append(nullptr);
    link->Note.set("note");
    link->__base.__name_space = "root/x";

    Ref<T_Link> copy(clone(link.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->__base.refs.load(), 1u);
    EXPECT_EQ(copy->__base.__name_space, "root/x");
    ASSERT_NE(copy->Left, link->Left);
    EXPECT_EQ(copy->Left->Name.value, "left");
    ASSERT_EQ(copy->Members.value.size(), 2u);
    EXPECT_NE(copy->Members.value[0], link->Members.value[0]);
    EXPECT_EQ(copy->Members.value[1], nullptr);
    EXPECT_TRUE(key_eq(copy.get(), link.get()));

    // Changing the copy leaves the original alone, and releasing the original
    // first leaves the copy intact (ASan would catch a shared pointer).
    copy->Left->Name.set("changed");
    copy->Note.set("other");
    EXPECT_EQ(link->Left->Name.value, "left");
    EXPECT_EQ(link->Note.value, "note");
    link.reset();
    EXPECT_EQ(copy->Right->Name.value, "right");
    EXPECT_EQ(reinterpret_cast<T_Base*>(copy->Members.value[0])->Name.value, "m");
}

TEST(Instance, CountedReferencesFreeExactlyOnce) {
    T_Base* b = base("x", 1);
    ref(b);
    ref(b);
    unref(b);
    unref(b);
    EXPECT_EQ(b->__base.refs.load(), 1u);
    {
        Ref<T_Base> r1(b);  // adopts the last reference
        Ref<T_Base> r2 = r1;
        Ref<T_Base> r3;
        r3 = r2;
        r3 = r3;  // NOLINT: self-assignment keeps the count
        EXPECT_EQ(b->__base.refs.load(), 3u);
        Ref<T_Base> r4(std::move(r3));
        EXPECT_FALSE(r3);
        EXPECT_EQ(b->__base.refs.load(), 3u);
    }
    // b is gone now; ASan reports any second free or leak.
    Ref<T_Base> owner(base("y", 2));
    T_Base* raw = owner.steal();
    EXPECT_FALSE(owner);
    destroy(raw);
    ref(static_cast<Instance*>(nullptr));
    unref(static_cast<Instance*>(nullptr));
}

TEST(Instance, KeyEqComparesKeysOnly) {
    Ref<T_Base> a(base("n", 1)), b(base("n", 1));
    b->Ratio.set(2.0);  // not a key
    EXPECT_TRUE(key_eq(a.get(), b.get()));
    b->Id.set(2);
    EXPECT_FALSE(key_eq(a.get(), b.get()));
    b->Id.clear();
    EXPECT_FALSE(key_eq(a.get(), b.get()));
    a->Id.clear();
    EXPECT_TRUE(key_eq(a.get(), b.get()));  // both null
    b->Name.set("N");
    EXPECT_FALSE(key_eq(a.get(), b.get()));  // key strings are case-sensitive

    // Same keys, different class: not the same instance.
    Ref<T_Derived> d(make<T_Derived>());
    d->Name.set("n");
    EXPECT_FALSE(key_eq(reinterpret_cast<Instance*>(a.get()), reinterpret_cast<Instance*>(d.get())));
    EXPECT_FALSE(key_eq(static_cast<Instance*>(nullptr), static_cast<Instance*>(nullptr)));
}

TEST(Instance, CastChecksTheClassChain) {
    Ref<T_Derived> d(make<T_Derived>());
    Instance* inst = reinterpret_cast<Instance*>(d.get());
    EXPECT_EQ(cast<T_Base>(inst), reinterpret_cast<T_Base*>(d.get()));
    EXPECT_EQ(cast<T_Link>(inst), nullptr);
    EXPECT_EQ(cast<T_Base>(static_cast<Instance*>(nullptr)), nullptr);
    EXPECT_TRUE(is_subclass(&T_Base::static_meta_class, &T_Base::static_meta_class));
    EXPECT_FALSE(is_subclass(&T_Derived::static_meta_class, &T_Base::static_meta_class));
}

TEST(Meta, LookupsIgnoreCaseAndFilterByKind) {
    EXPECT_EQ(find_meta_class(nullptr, "T_Base"), nullptr);
    const Meta_Feature* touch = find_feature(&T_Link::static_meta_class, "TOUCH");
    ASSERT_NE(touch, nullptr);
    EXPECT_EQ(find_feature(&T_Link::static_meta_class, "touch", CIMPLE_FLAG_PROPERTY), nullptr);
    EXPECT_EQ(field_of(static_cast<Instance*>(nullptr), touch), nullptr);
    Ref<T_Link> l(make<T_Link>());
    EXPECT_EQ(field_of(reinterpret_cast<Instance*>(l.get()), touch), nullptr);
    EXPECT_EQ(
        field_of(reinterpret_cast<Instance*>(l.get()), find_feature(&T_Link::static_meta_class, "Note")),
        &l->Note);
}

// Registration handles are model paths compared as text; the registration
// tests check that text (key order, escaping per nesting level, the class of
// a referenced instance) exactly. Here: no path without every key.
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
