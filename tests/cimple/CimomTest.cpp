#include <gtest/gtest.h>

#include <vector>

#include "TestSchema.h"
#include "cimple/cimple.h"

using namespace cimple;

namespace {

// Binds a fresh in-memory CIMOM for one test and unbinds it afterwards.
class CimomTest : public ::testing::Test {
protected:
    void SetUp() override { cimom::set_cimom_binding(&store); }
    void TearDown() override { cimom::set_cimom_binding(nullptr); }

    std::vector<String> names(const char* ns, const Meta_Class* mc) {
        Ref<Instance> model(create(mc));
        cimom::Instance_Enumerator e;
        std::vector<String> out;
        if (cimom::enum_instances(ns, model.get(), e) != 0) return {"failed"};
        for (; e; e++) {
            Ref<Instance> inst = e();
            out.push_back(reinterpret_cast<T_Base*>(inst.get())->Name.value);
        }
        return out;
    }

    Memory_Cimom store;
};

}  // namespace

// Refused namespaces and failing the nth call are the fault injection the
// registration tests count exact leftovers with; they are checked there.
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

TEST_F(CimomTest, CreateRefusesDuplicateKeysAndKeepsItsOwnCopy) {
    Ref<T_Base> b(base("x", 1));
    EXPECT_EQ(cimom::create_instance("root/a", b.get()), 0);
    EXPECT_EQ(cimom::create_instance("root/a", b.get()), -1);
    EXPECT_EQ(cimom::create_instance("root/b", b.get()), 0);  // namespaces are separate
    b->Ratio.set(1.0);
    EXPECT_EQ(cimom::create_instance("root/a", b.get()), -1);  // non-keys do not matter
    b->Name.set("changed");                                    // the store must not see this
    EXPECT_EQ(names("root/a", &T_Base::static_meta_class), std::vector<String>{"x"});
    b.reset();  // nor mind the original going away
    EXPECT_EQ(names("root/a", &T_Base::static_meta_class), std::vector<String>{"x"});
    EXPECT_EQ(store.count("root/a"), 1u);
}

TEST_F(CimomTest, EnumerationIncludesSubclassesAndHandsOutClones) {
    Ref<T_Base> b(base("base", 1));
    Ref<T_Derived> d(make<T_Derived>());
    d->Name.set("derived");
    d->Id.set(1);
    Ref<T_Keyless> k(make<T_Keyless>());
    ASSERT_EQ(cimom::create_instance("ns", b.get()), 0);
    ASSERT_EQ(cimom::create_instance("ns", d.get()), 0);  // same keys, other class
    ASSERT_EQ(cimom::create_instance("ns", k.get()), 0);
    EXPECT_EQ(names("ns", &T_Base::static_meta_class), (std::vector<String>{"base", "derived"}));
    EXPECT_EQ(names("ns", &T_Derived::static_meta_class), std::vector<String>{"derived"});
    EXPECT_EQ(names("empty", &T_Base::static_meta_class), std::vector<String>{});

    cimom::Instance_Enumerator e;
    ASSERT_EQ(cimom::enum_instances("ns", b.get(), e), 0);
    Ref<Instance> first = e();
    reinterpret_cast<T_Base*>(first.get())->Name.set("scribbled");
    EXPECT_EQ(names("ns", &T_Base::static_meta_class)[0], "base");
    e++;
    e++;
    EXPECT_FALSE(e);
    EXPECT_FALSE(e());
    e++;  // past the end stays there
    EXPECT_FALSE(e);
}

TEST_F(CimomTest, KeyReferencesMustNameInstancesOfTheSameNamespace) {
    Ref<T_Base> right(base("r", 1));
    Ref<T_Base> left(base("l", 2));
    Ref<T_Link> link(make<T_Link>());
    link->Right = base("r", 1);
    link->Left = base("l", 2);
    EXPECT_EQ(cimom::create_instance("ns", link.get()), -1);  // neither end exists
    ASSERT_EQ(cimom::create_instance("ns", right.get()), 0);
    ASSERT_EQ(cimom::create_instance("other", left.get()), 0);
    EXPECT_EQ(cimom::create_instance("ns", link.get()), -1);  // one end elsewhere
    ASSERT_EQ(cimom::create_instance("ns", left.get()), 0);
    ASSERT_EQ(cimom::create_instance("ns", link.get()), 0);

    Ref<T_Link> dangling(make<T_Link>());
    dangling->Right = base("r", 1);  // Left stays null
    EXPECT_EQ(cimom::create_instance("ns", dangling.get()), -1);

    // Named ends stay until the association goes; the other namespace's
    // copy is free.
    EXPECT_EQ(cimom::delete_instance("ns", left.get()), -1);
    EXPECT_EQ(cimom::delete_instance("other", left.get()), 0);
    EXPECT_EQ(cimom::delete_instance("ns", link.get()), 0);
    EXPECT_EQ(cimom::delete_instance("ns", left.get()), 0);
    EXPECT_EQ(store.count("ns", &T_Base::static_meta_class), 1u);
    EXPECT_EQ(store.count("ns", &T_Link::static_meta_class), 0u);
}

namespace {

struct Calls {
    int instances = 0;
    int releases = 0;
    int last_status = -1;

    void count(Instance* inst) { (inst ? instances : releases)++; }
    static bool on_indication(Instance* inst, void* data) {
        static_cast<Calls*>(data)->count(inst);
        return true;
    }
    static bool on_enum(Instance* inst, int status, void* data) {
        static_cast<Calls*>(data)->count(inst);
        static_cast<Calls*>(data)->last_status = status;
        unref(inst);  // the callback owns what it is handed
        return true;
    }
};

}  // namespace

TEST(Handlers, IndicationHandlerReleasesOnceOnDestruction) {
    Calls calls;
    {
        Indication_Handler<T_Keyless> h(Calls::on_indication, &calls);
        Ref<T_Keyless> k(make<T_Keyless>());
        EXPECT_TRUE(h.handle(k.get()));
        EXPECT_TRUE(h.handle(k.get()));
        EXPECT_EQ(k->__base.refs.load(), 1u);  // the caller kept its reference
        EXPECT_EQ(calls.releases, 0);
    }
    EXPECT_EQ(calls.instances, 2);
    EXPECT_EQ(calls.releases, 1);
}

TEST(Handlers, EnumHandlerPassesOwnershipAndStatus) {
    Calls calls;
    Enum_Instances_Handler h(Calls::on_enum, &calls);
    EXPECT_TRUE(h.handle(base("x", 1)));
    EXPECT_EQ(calls.last_status, 0);
    h.proc()(nullptr, 70, h.client_data());
    EXPECT_EQ(calls.instances, 1);
    EXPECT_EQ(calls.releases, 1);
    EXPECT_EQ(calls.last_status, 70);
}
