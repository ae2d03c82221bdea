#include <cimple/Memory_Cimom.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/Programs.h"
#include "registration/WMIRegistration.h"
#include "support/TraceCapture.h"

using namespace cimple;

namespace {

typedef std::vector<size_t> Counts;  // handlers, filters, subscriptions
typedef std::vector<std::string> Texts;

void inThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; t++) threads.emplace_back(body, t);
    for (std::thread& t : threads) t.join();
}

class Registrations : public ::testing::Test {
protected:
    void SetUp() override {
        cimom::set_cimom_binding(&store);
        // An earlier test in this process may have moved the subscriptions to
        // root/interop; failing there too moves them back.
        refuseBoth(true);
        listedTags(false);
        refuseBoth(false);
    }
    void TearDown() override { cimom::set_cimom_binding(nullptr); }

    void refuseBoth(bool refuse) {
        store.refuse("root/qms", refuse);
        store.refuse("root/interop", refuse);
    }

    template <class T>
    std::vector<Ref<T>> stored(const char* ns = "root/qms") {
        Ref<Instance> model(create(&T::static_meta_class));
        cimom::Instance_Enumerator e;
        std::vector<Ref<T>> out;
        EXPECT_EQ(cimom::enum_instances(ns, model.get(), e), 0);
        for (; e; e++) out.emplace_back(reinterpret_cast<T*>(e().steal()));
        return out;
    }

    template <class T>
    Texts names() {
        Texts out;
        for (const Ref<T>& i : stored<T>()) out.push_back(i->Name.value.c_str());
        return out;
    }

    Counts counts(const char* ns = "root/qms") {
        return {store.count(ns, &CIM_ListenerDestinationCIMXML::static_meta_class),
                store.count(ns, &CIM_IndicationFilter::static_meta_class),
                store.count(ns, &CIM_IndicationSubscription::static_meta_class)};
    }

    std::string registerOne(const char* tag = "", const char* destination = "http://listener:5988") {
        String handle;
        EXPECT_TRUE(RegisterEvent(destination, "SELECT * FROM QMS_VRXLogEntryArrived", "WQL", tag, handle));
        return handle.c_str();
    }

    // The tags EnumSubscriptions lists (the handles in *handles).
    Texts listedTags(bool succeeds = true, Texts* handles = nullptr) {
        Array<String> h, tags;
        EXPECT_EQ(EnumSubscriptions(h, tags), succeeds);
        EXPECT_EQ(h.size(), tags.size());
        Texts out;
        for (size_t i = 0; i < tags.size(); i++) {
            out.push_back(tags[i].c_str());
            if (handles) handles->push_back(h[i].c_str());
        }
        return out;
    }

    template <class T>
    void put(const char* name, const char* systemName = "sys") {
        Ref<T> i(T::create(true));
        i->Name.set(name);
        i->CreationClassName.set(T::static_meta_class.name);
        i->SystemCreationClassName.set("CIM_ComputerSystem");
        if (systemName) i->SystemName.set(systemName);
        ASSERT_EQ(cimom::create_instance("root/qms", i.get()), 0);
    }

    Memory_Cimom store;
};

TEST_F(Registrations, FirstRegistrationCreatesTheThreeInstances) {
    String handle;
    // The filter speaks WQL whatever language the caller names.
    ASSERT_TRUE(RegisterEvent("http://l:5988/cimom", "SELECT * FROM X", "CQL", "", handle));
    const std::string host = qmstest::hostName();

    // Names, destinations and removal are checked on the registration road;
    // here the fields no listing shows.
    auto handlers = stored<CIM_ListenerDestinationCIMXML>();
    ASSERT_EQ(handlers.size(), 1u);
    EXPECT_EQ(handlers[0]->SystemName.value, host.c_str());
    auto filters = stored<CIM_IndicationFilter>();
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0]->QueryLanguage.value, "WQL");
    ASSERT_EQ(filters[0]->SourceNamespaces.value.size(), 1u);
    EXPECT_EQ(filters[0]->SourceNamespaces.value[0], "root/qms");

    const auto path = [&](const std::string& cls, const std::string& name) {
        return cls + ".CreationClassName=\\\"" + cls + "\\\",Name=\\\"" + name +
               "\\\",SystemCreationClassName=\\\"CIM_ComputerSystem\\\",SystemName=\\\"" + host + "\\\"";
    };
    EXPECT_EQ(std::string(handle.c_str()),
              "CIM_IndicationSubscription.Filter=\"" + path("CIM_IndicationFilter", "QMS:Filter_1") +
                  "\",Handler=\"" + path("CIM_ListenerDestinationCIMXML", "QMS:Handler_1") + "\"");
}

TEST_F(Registrations, NumbersFollowTheHighestNameOfEachClass) {
    for (const char* name : {"QMS:Filter_3", "foo_12",
                             "plain",           // no number
                             "bar_x",           // reads as 0
                             "neg_-40",         // below every real number
                             "a_1_2",           // after the last '_' only
                             "max_2147483647",  // no successor: passed over
                             "huge_99999999999"})
        put<CIM_IndicationFilter>(name);
    registerOne("x");
    EXPECT_EQ(names<CIM_IndicationFilter>().back(), "QMS:Filter#TxT#_13");
    EXPECT_EQ(names<CIM_ListenerDestinationCIMXML>(), Texts{"QMS:Handler#TxT#_1"});

    // A freed number comes back only when it was the highest.
    registerOne();
    const std::string second = registerOne();
    EXPECT_EQ(UnRegisterEvent(second.c_str()), 0);
    registerOne();
    EXPECT_EQ(names<CIM_ListenerDestinationCIMXML>(),
              (Texts{"QMS:Handler#TxT#_1", "QMS:Handler_2", "QMS:Handler_3"}));
    EXPECT_EQ(UnRegisterEventByTag("x"), 0);
    registerOne();
    EXPECT_EQ(names<CIM_ListenerDestinationCIMXML>().back(), "QMS:Handler_4");
}

TEST_F(Registrations, TagsAreFoldedIntoNamesAndReadBackByTheMarkers) {
    const std::string longTag(5000, 'k');
    struct Case {
        const char* tag;
        const char* listed;
    } cases[] = {
        {"alarm", "alarm"},
        {"aT#b", "a"},     // the first closing marker ends the tag
        {"a#Tb", "a#Tb"},  // the first opening marker starts it
        {"#T", ""},        // the closing marker overlaps the opening one
        {"Störung ✓", "Störung ✓"},
        {"a\"b", "a\\\\\\\"b"},  // quotes come back escaped twice, as in the handle
        {"a\\b", "a\\\\\\\\b"},
        {longTag.c_str(), longTag.c_str()},
        {"", ""},
    };
    Texts expected;
    for (const Case& c : cases) {
        registerOne(c.tag);
        expected.push_back(c.listed);
    }
    EXPECT_EQ(listedTags(), expected);
    EXPECT_EQ(names<CIM_IndicationFilter>()[1], "QMS:Filter#TaT#bT#_2");

    // Removal by tag goes by the listed form.
    const std::pair<std::string, int> removals[] = {
        {"a\"b", 3},        {"a\\\\\\\"b", 0}, {"a", 0}, {"Störung ✓", 0},
        {longTag + "k", 3}, {longTag, 0},      {"", 3},  // untagged ones never match
    };
    for (const auto& r : removals) EXPECT_EQ(UnRegisterEventByTag(r.first.c_str()), r.second) << r.first;
    EXPECT_EQ(listedTags(), (Texts{"alarm", "a#Tb", "", "a\\\\\\\\b", ""}));
}

TEST_F(Registrations, EmptyOrNullSystemNamesListWithTheHostName) {
    put<CIM_IndicationFilter>("f_1", "");
    put<CIM_IndicationFilter>("f_2", nullptr);
    put<CIM_ListenerDestinationCIMXML>("h_1", "");
    auto filters = stored<CIM_IndicationFilter>();
    Ref<CIM_IndicationSubscription> s(
        CreateSubscription(stored<CIM_ListenerDestinationCIMXML>()[0].get(), filters[0].get()));
    ASSERT_TRUE(s);
    Texts handles;
    EXPECT_EQ(listedTags(true, &handles), Texts{""});
    ASSERT_EQ(handles.size(), 1u);
    const std::string host = "SystemName=\\\"" + qmstest::hostName() + "\\\"";
    EXPECT_NE(handles[0].find(host), std::string::npos) << handles[0];
    EXPECT_NE(handles[0].find(host, handles[0].find(host) + 1), std::string::npos) << handles[0];

    // A subscription without a handler is refused by the CIMOM.
    Ref<CIM_IndicationFilter> second(filters[1]->clone());
    Ref<CIM_IndicationSubscription> none(CreateSubscription(nullptr, second.get()));
    EXPECT_FALSE(none);

    // The listed handle removes it, although the CIMOM knows it only by the
    // empty names.
    EXPECT_EQ(UnRegisterEvent(handles[0].c_str()), 0);
    EXPECT_EQ(counts(), (Counts{0, 1, 0}));
}

TEST_F(Registrations, RefusedModuleNamespaceMovesEverythingToInterop) {
    store.refuse("root/qms", true);
    const std::string first = registerOne("t");
    EXPECT_EQ(counts("root/interop"), (Counts{1, 1, 1}));
    store.refuse("root/qms", false);
    registerOne("t");  // later calls start in root/interop
    EXPECT_EQ(counts("root/interop"), (Counts{2, 2, 2}));
    EXPECT_EQ(counts("root/qms"), (Counts{0, 0, 0}));
    EXPECT_EQ(listedTags(), (Texts{"t", "t"}));
    EXPECT_EQ(UnRegisterEvent(first.c_str()), 0);
    EXPECT_EQ(UnRegisterEventByTag("t"), 0);
    EXPECT_EQ(counts("root/interop"), (Counts{0, 0, 0}));
}

TEST_F(Registrations, EachFallbackTracesAndSetsTheNamespaceBack) {
    registerOne("t");
    auto subscriptions = stored<CIM_IndicationSubscription>();
    ASSERT_EQ(subscriptions.size(), 1u);
    struct Case {
        const char* trace;
        std::function<bool()> failed;
    } cases[] = {
        {"CreateXMLConsumerClass(root/interop): enum_instances failed",
         [] { return !Ref<CIM_ListenerDestinationCIMXML>(CreateXMLConsumerClass("http://l", "t")); }},
        {"UnRegisterEvent: enum_instances failed (root/interop)", [] { return UnRegisterEvent("h") == 2; }},
        {"UnRegisterEventByTag(t): enum_instances failed (root/interop)",
         [] { return UnRegisterEventByTag("t") == 2; }},
        {"DeleteEvent: delete_instance Subscription failed (root/qms)",
         [&] { return !DeleteEvent(subscriptions[0].get()); }},
        {"EnumSubscriptions: enum_instances failed (root/interop)",
         [] {
             Array<String> handles, tags;
             return !EnumSubscriptions(handles, tags);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        refuseBoth(true);
        qms_test::TraceCapture traces;
        EXPECT_TRUE(c.failed());
        EXPECT_EQ(traces.countLevel(3), 1u);
        EXPECT_TRUE(traces.contains(3, c.trace));
        refuseBoth(false);
        // Had it stayed at root/interop this would list nothing.
        EXPECT_EQ(listedTags(), Texts{"t"});
    }
    EXPECT_EQ(counts(), (Counts{1, 1, 1}));
}

TEST_F(Registrations, RegistrationStoppedHalfwayLeavesWhatWasCreated) {
    struct Case {
        Memory_Cimom::Call call;
        size_t nth;
        Counts left;
    } cases[] = {
        {Memory_Cimom::CREATE, 1, {0, 0, 0}},     // handler
        {Memory_Cimom::ENUMERATE, 2, {1, 0, 0}},  // filter numbering
        {Memory_Cimom::CREATE, 2, {1, 0, 0}},     // filter
        {Memory_Cimom::CREATE, 3, {1, 1, 0}},     // subscription
    };
    for (const Case& c : cases) {
        store.clear();
        store.fail_call(c.call, c.nth);
        qms_test::TraceCapture traces;
        String handle;
        EXPECT_FALSE(RegisterEvent("http://l", "SELECT", "WQL", "t", handle));
        EXPECT_EQ(handle, "");
        EXPECT_EQ(counts(), c.left);
        EXPECT_EQ(traces.size(), 0u);
        // The leftovers are in no listing and the next registration works.
        EXPECT_EQ(listedTags(), Texts{});
        registerOne("t");
        EXPECT_EQ(listedTags(), Texts{"t"});
    }
}

TEST_F(Registrations, RemovalStoppedHalfwayReportsFailure) {
    struct Case {
        size_t registrations;
        size_t nth;  // the delete that fails
        const char* trace;
        Counts left;
    } cases[] = {
        {1, 1, "DeleteEvent: delete_instance Subscription failed (root/qms)", {1, 1, 1}},
        {1, 2, "DeleteEvent: delete_instance Handler failed (root/qms)", {1, 1, 0}},
        {1, 3, "DeleteEvent: delete_instance Filter failed (root/qms)", {0, 1, 0}},
        // One failed removal of two fails the whole removal, first or second.
        {2, 1, "DeleteEvent: delete_instance Subscription failed (root/qms)", {1, 1, 1}},
        {2, 4, "DeleteEvent: delete_instance Subscription failed (root/qms)", {1, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.registrations) + " " + c.trace);
        store.clear();
        std::string handle;
        for (size_t i = 0; i < c.registrations; i++) handle = registerOne("t");
        store.fail_call(Memory_Cimom::DELETE, c.nth);
        qms_test::TraceCapture traces;
        EXPECT_EQ(c.registrations == 1 ? UnRegisterEvent(handle.c_str()) : UnRegisterEventByTag("t"), 2);
        EXPECT_TRUE(traces.contains(3, c.trace));
        EXPECT_EQ(counts(), c.left);
    }
}

TEST_F(Registrations, MissingInputCreatesNothing) {
    String handle;
    EXPECT_FALSE(RegisterEvent(nullptr, "SELECT", "WQL", "t", handle));
    EXPECT_FALSE(RegisterEvent("http://l", nullptr, "WQL", "t", handle));
    EXPECT_FALSE(DeleteEvent(nullptr));
    EXPECT_EQ(counts(), (Counts{1, 0, 0}));  // the handler of the second
    auto handlers = stored<CIM_ListenerDestinationCIMXML>();
    ASSERT_EQ(handlers.size(), 1u);
    EXPECT_FALSE(Ref<CIM_IndicationSubscription>(CreateSubscription(handlers[0].get(), nullptr)));
    EXPECT_TRUE(RegisterEvent("http://l", "SELECT", nullptr, nullptr, handle));
    EXPECT_EQ(names<CIM_IndicationFilter>(), Texts{"QMS:Filter_1"});
}

// Consoles registering at the same moment each get a registration of their
// own: choosing the next name number and creating the instance under it is
// one step for each request.
TEST_F(Registrations, ConcurrentRegistrationsEachSucceedUnderTheirOwnNames) {
    std::atomic<int> failed{0};
    inThreads(8, [&](int) {
        for (int i = 0; i < 40; i++) {
            String handle;
            if (!RegisterEvent("http://l", "SELECT", "WQL", "", handle)) ++failed;
        }
    });
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(counts(), (Counts{320, 320, 320}));
}

// Requests on several threads read and switch the one namespace value at
// once; a registration may lose its name number to another (it then fails),
// but nothing may break.
TEST_F(Registrations, ConcurrentRequestsWhileTheNamespaceSwitches) {
    inThreads(5, [&](int t) {
        if (t == 4) {
            for (int i = 0; i < 100; i++) {
                store.refuse("root/qms", i % 2 == 0);
                std::this_thread::yield();
            }
            store.refuse("root/qms", false);
            return;
        }
        for (int i = 0; i < 50; i++) {
            String handle;
            RegisterEvent("http://l", "SELECT", "WQL", t % 2 ? "odd" : "", handle);
            Array<String> handles, tags;
            EnumSubscriptions(handles, tags);
            if (i % 10 == 9) UnRegisterEventByTag("odd");
        }
    });
    listedTags();
}

}  // namespace
