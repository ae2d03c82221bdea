#include <cimple/Memory_Cimom.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "registration/WMIRegistration.h"
#include "support/TraceCapture.h"

using namespace cimple;

namespace {

std::string hostName() {
    char name[256];
    if (gethostname(name, sizeof name) != 0) name[0] = '\0';
    name[sizeof name - 1] = '\0';
    return name;
}

class Registrations : public ::testing::Test {
protected:
    void SetUp() override {
        cimom::set_cimom_binding(&store);
        // An earlier test in this process may have moved the subscriptions to
        // root/interop; failing there too moves them back.
        store.refuse("root/qms", true);
        store.refuse("root/interop", true);
        Array<String> handles, tags;
        EnumSubscriptions(handles, tags);
        store.refuse("root/qms", false);
        store.refuse("root/interop", false);
    }
    void TearDown() override { cimom::set_cimom_binding(nullptr); }

    template <class T>
    std::vector<Ref<T>> stored(const char* ns) {
        Ref<Instance> model(create(&T::static_meta_class));
        cimom::Instance_Enumerator e;
        std::vector<Ref<T>> out;
        EXPECT_EQ(cimom::enum_instances(ns, model.get(), e), 0);
        for (; e; e++) out.emplace_back(reinterpret_cast<T*>(e().steal()));
        return out;
    }

    template <class T>
    std::vector<std::string> names(const char* ns = "root/qms") {
        std::vector<std::string> out;
        for (const Ref<T>& i : stored<T>(ns)) out.push_back(i->Name.value.c_str());
        return out;
    }

    // Handler, filter and subscription counts in a namespace.
    std::vector<size_t> counts(const char* ns = "root/qms") {
        return {store.count(ns, &CIM_ListenerDestinationCIMXML::static_meta_class),
                store.count(ns, &CIM_IndicationFilter::static_meta_class),
                store.count(ns, &CIM_IndicationSubscription::static_meta_class)};
    }

    std::string registerOne(const char* tag = "", const char* destination = "http://listener:5988") {
        String handle;
        EXPECT_TRUE(RegisterEvent(destination, "SELECT * FROM QMS_VRXLogEntryArrived", "WQL", tag, handle));
        return handle.c_str();
    }

    std::vector<std::string> listedTags() {
        Array<String> handles, tags;
        EXPECT_TRUE(EnumSubscriptions(handles, tags));
        EXPECT_EQ(handles.size(), tags.size());
        std::vector<std::string> out;
        for (size_t i = 0; i < tags.size(); i++) out.push_back(tags[i].c_str());
        return out;
    }

    void putFilter(const char* name, const char* systemName = "sys") {
        Ref<CIM_IndicationFilter> f(CIM_IndicationFilter::create(true));
        f->Name.set(name);
        f->CreationClassName.set("CIM_IndicationFilter");
        f->SystemCreationClassName.set("CIM_ComputerSystem");
        if (systemName) f->SystemName.set(systemName);
        ASSERT_EQ(cimom::create_instance("root/qms", f.get()), 0);
    }

    Memory_Cimom store;
};

TEST_F(Registrations, FirstRegistrationCreatesTheThreeInstances) {
    String handle;
    // The filter speaks WQL whatever language the caller names.
    ASSERT_TRUE(RegisterEvent("http://l:5988/cimom", "SELECT * FROM X", "CQL", "", handle));
    const std::string host = hostName();

    // Names, destinations and removal are checked on the registration road;
    // here the fields no listing shows.
    auto handlers = stored<CIM_ListenerDestinationCIMXML>("root/qms");
    ASSERT_EQ(handlers.size(), 1u);
    EXPECT_EQ(handlers[0]->SystemName.value, host.c_str());
    auto filters = stored<CIM_IndicationFilter>("root/qms");
    ASSERT_EQ(filters.size(), 1u);
    const CIM_IndicationFilter& f = *filters[0];
    EXPECT_EQ(f.QueryLanguage.value, "WQL");
    ASSERT_EQ(f.SourceNamespaces.value.size(), 1u);
    EXPECT_EQ(f.SourceNamespaces.value[0], "root/qms");

    const std::string filterPath =
        "CIM_IndicationFilter.CreationClassName=\\\"CIM_IndicationFilter\\\",Name=\\\"" +
        std::string("QMS:Filter_1\\\",SystemCreationClassName=\\\"CIM_ComputerSystem\\\"") +
        ",SystemName=\\\"" + host + "\\\"";
    const std::string handlerPath =
        "CIM_ListenerDestinationCIMXML.CreationClassName=\\\"CIM_ListenerDestinationCIMXML\\\",Name=\\\"" +
        std::string("QMS:Handler_1\\\",SystemCreationClassName=\\\"CIM_ComputerSystem\\\"") +
        ",SystemName=\\\"" + host + "\\\"";
    EXPECT_EQ(std::string(handle.c_str()),
              "CIM_IndicationSubscription.Filter=\"" + filterPath + "\",Handler=\"" + handlerPath + "\"");
    // The handle reads back as the stored subscription's keys.
    Ref<Instance> keys(
        model_path_to_instance(&CIM_IndicationSubscription::static_meta_class, handle.c_str()));
    ASSERT_TRUE(keys);
    auto subscriptions = stored<CIM_IndicationSubscription>("root/qms");
    ASSERT_EQ(subscriptions.size(), 1u);
    EXPECT_TRUE(key_eq(keys.get(), reinterpret_cast<Instance*>(subscriptions[0].get())));
}

TEST_F(Registrations, NumbersFollowTheHighestNameOfEachClass) {
    putFilter("QMS:Filter_3");
    putFilter("foo_12");
    putFilter("plain");           // no number
    putFilter("bar_x");           // reads as 0
    putFilter("neg_-40");         // below every real number
    putFilter("a_1_2");           // after the last '_' only
    putFilter("max_2147483647");  // no successor: passed over
    putFilter("huge_99999999999");
    registerOne("x");
    EXPECT_EQ(names<CIM_IndicationFilter>().back(), "QMS:Filter#TxT#_13");
    EXPECT_EQ(names<CIM_ListenerDestinationCIMXML>(), std::vector<std::string>{"QMS:Handler#TxT#_1"});

    // A freed number comes back only when it was the highest.
    registerOne();
    const std::string second = registerOne();
    EXPECT_EQ(UnRegisterEvent(second.c_str()), 0);
    registerOne();
    EXPECT_EQ(names<CIM_ListenerDestinationCIMXML>(),
              (std::vector<std::string>{"QMS:Handler#TxT#_1", "QMS:Handler_2", "QMS:Handler_3"}));
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
    };
    for (const Case& c : cases) registerOne(c.tag);
    registerOne("");
    std::vector<std::string> expected;
    for (const Case& c : cases) expected.push_back(c.listed);
    expected.push_back("");
    EXPECT_EQ(listedTags(), expected);
    EXPECT_EQ(names<CIM_IndicationFilter>()[1], "QMS:Filter#TaT#bT#_2");

    // Removal by tag goes by the listed form.
    EXPECT_EQ(UnRegisterEventByTag("a\"b"), 3);
    EXPECT_EQ(UnRegisterEventByTag("a\\\\\\\"b"), 0);
    EXPECT_EQ(UnRegisterEventByTag("a"), 0);
    EXPECT_EQ(UnRegisterEventByTag("Störung ✓"), 0);
    EXPECT_EQ(UnRegisterEventByTag((longTag + "k").c_str()), 3);
    EXPECT_EQ(UnRegisterEventByTag(longTag.c_str()), 0);
    EXPECT_EQ(UnRegisterEventByTag(""), 3);  // untagged ones never match
    EXPECT_EQ(listedTags(), (std::vector<std::string>{"alarm", "a#Tb", "", "a\\\\\\\\b", ""}));
}

TEST_F(Registrations, EmptyOrNullSystemNamesListWithTheHostName) {
    putFilter("f_1", "");
    putFilter("f_2", nullptr);
    Ref<CIM_ListenerDestinationCIMXML> h(CIM_ListenerDestinationCIMXML::create());
    h->Name.set("h_1");
    h->CreationClassName.set("CIM_ListenerDestinationCIMXML");
    h->SystemCreationClassName.set("CIM_ComputerSystem");
    h->SystemName.set("");
    ASSERT_EQ(cimom::create_instance("root/qms", h.get()), 0);
    auto filters = stored<CIM_IndicationFilter>("root/qms");
    Ref<CIM_IndicationSubscription> s(CreateSubscription(h.get(), filters[0].get()));
    ASSERT_TRUE(s);
    Array<String> handles, tags;
    ASSERT_TRUE(EnumSubscriptions(handles, tags));
    ASSERT_EQ(handles.size(), 1u);
    const std::string host = "SystemName=\\\"" + hostName() + "\\\"";
    const std::string handle = handles[0].c_str();
    EXPECT_NE(handle.find(host), std::string::npos) << handle;
    EXPECT_NE(handle.find(host, handle.find(host) + 1), std::string::npos) << handle;
    EXPECT_EQ(tags[0], "");

    // A subscription without a handler is refused by the CIMOM.
    Ref<CIM_IndicationFilter> second(filters[1]->clone());
    Ref<CIM_IndicationSubscription> none(CreateSubscription(nullptr, second.get()));
    EXPECT_FALSE(none);

    // The listed handle removes it, although the CIMOM knows it only by the
    // empty names.
    EXPECT_EQ(UnRegisterEvent(handles[0]), 0);
    EXPECT_EQ(counts(), (std::vector<size_t>{0, 1, 0}));
}

TEST_F(Registrations, RefusedModuleNamespaceMovesEverythingToInterop) {
    store.refuse("root/qms", true);
    const std::string first = registerOne("t");
    EXPECT_EQ(counts("root/interop"), (std::vector<size_t>{1, 1, 1}));
    store.refuse("root/qms", false);
    registerOne("t");  // later calls start in root/interop
    EXPECT_EQ(counts("root/interop"), (std::vector<size_t>{2, 2, 2}));
    EXPECT_EQ(counts("root/qms"), (std::vector<size_t>{0, 0, 0}));
    EXPECT_EQ(listedTags(), (std::vector<std::string>{"t", "t"}));
    EXPECT_EQ(UnRegisterEvent(first.c_str()), 0);
    EXPECT_EQ(UnRegisterEventByTag("t"), 0);

    // Refused in both: back to root/qms.
    store.refuse("root/interop", true);
    qms_test::TraceCapture traces;
    Array<String> handles, tags;
    EXPECT_FALSE(EnumSubscriptions(handles, tags));
    EXPECT_TRUE(traces.contains(3, "EnumSubscriptions: enum_instances failed (root/interop)"));
    store.refuse("root/interop", false);
    registerOne();
    EXPECT_EQ(counts("root/qms"), (std::vector<size_t>{1, 1, 1}));
}

TEST_F(Registrations, EachFallbackTracesAndSetsTheNamespaceBack) {
    registerOne("t");
    auto subscriptions = stored<CIM_IndicationSubscription>("root/qms");
    ASSERT_EQ(subscriptions.size(), 1u);
    struct Case {
        const char* trace;
        std::function<bool()> failed;
    } cases[] = {
        {"CreateXMLConsumerClass(root/interop): enum_instances failed",
         [] {
             Ref<CIM_ListenerDestinationCIMXML> h(CreateXMLConsumerClass("http://l", "t"));
             return !h;
         }},
        {"UnRegisterEvent: enum_instances failed (root/interop)", [] { return UnRegisterEvent("h") == 2; }},
        {"UnRegisterEventByTag(t): enum_instances failed (root/interop)",
         [] { return UnRegisterEventByTag("t") == 2; }},
        {"DeleteEvent: delete_instance Subscription failed (root/qms)",
         [&] { return !DeleteEvent(subscriptions[0].get()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        store.refuse("root/qms", true);
        store.refuse("root/interop", true);
        qms_test::TraceCapture traces;
        EXPECT_TRUE(c.failed());
        EXPECT_EQ(traces.countLevel(3), 1u);
        EXPECT_TRUE(traces.contains(3, c.trace));
        store.refuse("root/interop", false);
        store.refuse("root/qms", false);
        // Had it stayed at root/interop this would list nothing.
        EXPECT_EQ(listedTags(), std::vector<std::string>{"t"});
    }
    EXPECT_EQ(counts(), (std::vector<size_t>{1, 1, 1}));
}

TEST_F(Registrations, FilterEnumerationHasNoFallback) {
    Ref<CIM_ListenerDestinationCIMXML> handler(CreateXMLConsumerClass("http://l", ""));
    ASSERT_TRUE(handler);
    store.refuse("root/qms", true);
    const size_t before = store.calls(Memory_Cimom::ENUMERATE);
    qms_test::TraceCapture traces;
    Ref<CIM_IndicationFilter> filter(CreateFilterClass("SELECT", ""));
    EXPECT_FALSE(filter);
    EXPECT_EQ(store.calls(Memory_Cimom::ENUMERATE), before + 1);
    EXPECT_EQ(traces.size(), 0u);
    Ref<CIM_IndicationSubscription> none(CreateSubscription(handler.get(), nullptr));
    EXPECT_FALSE(none);
}

TEST_F(Registrations, RegistrationStoppedHalfwayLeavesWhatWasCreated) {
    struct Case {
        Memory_Cimom::Call call;
        size_t nth;
        std::vector<size_t> left;  // handlers, filters, subscriptions
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
        EXPECT_EQ(listedTags(), std::vector<std::string>{});
        registerOne("t");
        EXPECT_EQ(listedTags(), std::vector<std::string>{"t"});
    }
}

TEST_F(Registrations, RemovalStoppedHalfwayReportsFailure) {
    struct Case {
        size_t nth;  // the delete that fails
        const char* trace;
        std::vector<size_t> left;
    } cases[] = {
        {1, "DeleteEvent: delete_instance Subscription failed (root/qms)", {1, 1, 1}},
        {2, "DeleteEvent: delete_instance Handler failed (root/qms)", {1, 1, 0}},
        {3, "DeleteEvent: delete_instance Filter failed (root/qms)", {0, 1, 0}},
    };
    for (const Case& c : cases) {
        store.clear();
        const std::string handle = registerOne();
        store.fail_call(Memory_Cimom::DELETE, c.nth);
        qms_test::TraceCapture traces;
        EXPECT_EQ(UnRegisterEvent(handle.c_str()), 2);
        EXPECT_TRUE(traces.contains(3, c.trace));
        EXPECT_EQ(counts(), c.left);
    }
}

TEST_F(Registrations, OneFailedRemovalFailsTheWholeRemoval) {
    for (size_t nth : {1u, 4u}) {  // the first or the second subscription
        store.clear();
        registerOne("t");
        registerOne("t");
        store.fail_call(Memory_Cimom::DELETE, nth);
        EXPECT_EQ(UnRegisterEventByTag("t"), 2);
        EXPECT_EQ(store.count("root/qms", &CIM_IndicationSubscription::static_meta_class), 1u);
    }
}

TEST_F(Registrations, MissingInputCreatesNothing) {
    String handle;
    EXPECT_FALSE(RegisterEvent(nullptr, "SELECT", "WQL", "t", handle));
    EXPECT_FALSE(RegisterEvent("http://l", nullptr, "WQL", "t", handle));
    EXPECT_FALSE(DeleteEvent(nullptr));
    EXPECT_EQ(counts(), (std::vector<size_t>{1, 0, 0}));  // the handler of the second
    EXPECT_TRUE(RegisterEvent("http://l", "SELECT", nullptr, nullptr, handle));
    EXPECT_EQ(names<CIM_IndicationFilter>(), std::vector<std::string>{"QMS:Filter_1"});
}

// Consoles registering at the same moment each get a registration of their
// own: choosing the next name number and creating the instance under it is
// one step for each request.
TEST_F(Registrations, ConcurrentRegistrationsEachSucceedUnderTheirOwnNames) {
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 40; i++) {
                String handle;
                if (!RegisterEvent("http://l", "SELECT", "WQL", "", handle)) ++failed;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(counts(), (std::vector<size_t>{320, 320, 320}));
}

// Requests on several threads read and switch the one namespace value at
// once; a registration may lose its name number to another (it then fails),
// but nothing may break.
TEST_F(Registrations, ConcurrentRequestsWhileTheNamespaceSwitches) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; i++) {
                String handle;
                RegisterEvent("http://l", "SELECT", "WQL", t % 2 ? "odd" : "", handle);
                Array<String> handles, tags;
                EnumSubscriptions(handles, tags);
                if (i % 10 == 9) UnRegisterEventByTag("odd");
            }
        });
    }
    for (int i = 0; i < 100; i++) {
        store.refuse("root/qms", i % 2 == 0);
        std::this_thread::yield();
    }
    store.refuse("root/qms", false);
    for (std::thread& t : threads) t.join();
    Array<String> handles, tags;
    EXPECT_TRUE(EnumSubscriptions(handles, tags));
}

}  // namespace
