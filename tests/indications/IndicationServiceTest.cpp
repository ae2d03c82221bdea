#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <utility>

#include "common/Interop.h"
#include "common/Programs.h"
#include "core/Broker.h"
#include "core/Cimom.h"
#include "core/IndicationService.h"
#include "core/Objects.h"
#include "indications/Support.h"

using namespace cimhost;
using indications_test::make;
using qmstest::ScratchDir;

namespace {

std::string nameOf(const ObjectPath& path) {
    const Value* name = path.keys.find("Name");
    return name ? name->asText() : "?";
}

// Records every activation with its flag; can be told to refuse.
class FakeProviders : public IndicationProviders {
public:
    Status activate(const FilterInfo& filter, bool first) override {
        calls.push_back("activate " + nameOf(filter.filter) + (first ? " first" : "") + " " +
                        filter.className);
        if (onActivate) return onActivate(filter);
        return refusal;
    }
    Status deactivate(const FilterInfo& filter, bool last) override {
        calls.push_back("deactivate " + nameOf(filter.filter) + (last ? " last" : ""));
        return Status();
    }
    std::vector<std::string> take() { return std::exchange(calls, {}); }

    std::vector<std::string> calls;
    Status refusal;
    std::function<Status(const FilterInfo&)> onActivate;
};

// Each delivery as "<destination URL> <filter name> <indication class>".
std::vector<std::string> seen(const qmstest::RecordingSink& sink) {
    std::vector<std::string> out;
    for (size_t i = 0; i < sink.size(); ++i)
        out.push_back(sink.destinationAt(i) + " " +
                      sink.subscriptionAt(i).keys.find("Filter")->asReference()->keys.find("Name")->asText() +
                      " " + sink.at(i).className());
    return out;
}

class ThrowingSink : public DeliverySink {
public:
    void deliver(const Instance&, const ObjectPath&, const Instance&) override {
        throw std::runtime_error("down");
    }
};

Instance filter(const std::string& name, const std::string& query, const std::string& source = "root/qms") {
    return qmstest::interopFilter(name, query, source);
}
const auto destination = qmstest::interopDestination;
const auto subscription = qmstest::interopSubscription;

class Interop : public ::testing::Test {
protected:
    ObjectPath create(const Instance& inst) {
        ObjectPath path;
        const Status st = service->createInstance(inst, &path);
        EXPECT_TRUE(st.ok()) << st.message;
        return path;
    }
    std::vector<Instance> all(const char* className = "CIM_ManagedElement") {
        std::vector<Instance> out;
        EXPECT_TRUE(service->enumerateInstances(className, &out).ok());
        return out;
    }
    // What the namespace holds, to compare across a reopen.
    std::vector<std::pair<ObjectPath, NamedValues>> contents() {
        std::vector<std::pair<ObjectPath, NamedValues>> out;
        for (const Instance& i : all()) out.emplace_back(i.path, i.properties);
        return out;
    }
    // A modification of one property of the instance at path.
    Status modify(const ObjectPath& path, const char* name, const Value& value) {
        Instance changed;
        changed.path = path;
        changed.properties.set(name, value);
        return service->modifyInstance(changed);
    }
    void reopen() {
        service.reset();
        service.reset(new IndicationService(ClassRepository::builtin(), providers, store, options));
    }

    ScratchDir dir;
    std::string store = dir.file("interop.json");
    InteropOptions options;
    FakeProviders providers;
    std::unique_ptr<IndicationService> service{
        new IndicationService(ClassRepository::builtin(), providers, store)};
};

TEST_F(Interop, KeysAreFilledAndInstancesServed) {
    const ObjectPath f = create(filter("F", "SELECT * FROM QMS_VRXLogEntryArrived"));
    EXPECT_EQ(f.nameSpace, kInteropNamespace);
    EXPECT_EQ(f.keys.find("SystemCreationClassName")->asText(), "CIM_ComputerSystem");
    EXPECT_EQ(f.keys.find("SystemName")->asText(), qmstest::hostName());
    EXPECT_EQ(f.keys.size(), 4u);
    const ObjectPath h = create(destination("H", "http://listener:5988"));

    Instance got;
    ASSERT_TRUE(service->getInstance(f, &got).ok());
    EXPECT_EQ(got.property("Query")->asText(), "SELECT * FROM QMS_VRXLogEntryArrived");
    EXPECT_EQ(all("CIM_ListenerDestination").size(), 1u);
    EXPECT_EQ(all().size(), 2u);
    EXPECT_EQ(service->enumerateInstances("No_Such", nullptr).rc, CMPI_RC_ERR_INVALID_CLASS);

    // A subscription names its ends by any spelling of their paths.
    ObjectPath elsewhere = f;
    elsewhere.nameSpace = "root/qms";
    elsewhere.className = "cim_indicationfilter";
    const ObjectPath s = create(subscription(elsewhere, h));
    EXPECT_EQ(s.nameSpace, kInteropNamespace);
    EXPECT_TRUE(service->getInstance(s, &got).ok());
    EXPECT_EQ(got.property("Filter")->asReference()->nameSpace, kInteropNamespace);
    // And is found by them: its class in other case, its handler by a base
    // class, but not by an unrelated one.
    const auto byHandlerClass = [&](const char* className) {
        ObjectPath p = s, handler = h;
        p.className = "cim_indicationsubscription";
        handler.className = className;
        p.keys.set("Handler", Value::reference(handler));
        return service->getInstance(p, &got).rc;
    };
    EXPECT_EQ(byHandlerClass("CIM_ListenerDestination"), CMPI_RC_OK);
    EXPECT_EQ(byHandlerClass("CIM_IndicationFilter"), CMPI_RC_ERR_NOT_FOUND);

    ASSERT_TRUE(modify(h, "Destination", Value::string("http://other")).ok());
    ASSERT_TRUE(service->getInstance(h, &got).ok());
    EXPECT_EQ(got.property("Destination")->asText(), "http://other");
    EXPECT_EQ(modify(f, "Query", Value::string("SELECT * FROM CIM_Indication")).rc, CMPI_RC_ERR_FAILED);
}

TEST_F(Interop, RefusedCreations) {
    const ObjectPath f = create(filter("F", "SELECT * FROM CIM_Indication"));
    const ObjectPath h = create(destination("H", "http://x"));
    ObjectPath absent = h;
    absent.keys.set("Name", Value::string("other"));
    const std::pair<Instance, CMPIrc> cases[] = {
        {filter("", "SELECT * FROM CIM_Indication"), CMPI_RC_ERR_INVALID_PARAMETER},
        {make("CIM_IndicationFilter", {{"Query", Value::string("SELECT * FROM CIM_Indication")}}),
         CMPI_RC_ERR_INVALID_PARAMETER},
        {filter("G", "SELECT FROM"), CMPI_RC_ERR_INVALID_QUERY},
        {filter("G", "SELECT * FROM No_Such"), CMPI_RC_ERR_INVALID_CLASS},
        {make("CIM_IndicationFilter", {{"Name", Value::string("G")},
                                       {"Query", Value::string("SELECT * FROM CIM_Indication")},
                                       {"QueryLanguage", Value::string("DMTF:CQL")}}),
         CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED},
        {make("CIM_IndicationFilter", {{"Name", Value::string("G")}, {"Bogus", Value::uint8(1)}}),
         CMPI_RC_ERR_INVALID_PARAMETER},
        {filter("F", "SELECT * FROM CIM_Indication"), CMPI_RC_ERR_ALREADY_EXISTS},
        {make("CIM_ListenerDestinationCIMXML", {{"Name", Value::string("G")}}),
         CMPI_RC_ERR_INVALID_PARAMETER},
        {make("QMS_VRXLogEntryArrived", {}), CMPI_RC_ERR_INVALID_CLASS},
        {make("No_Such", {}), CMPI_RC_ERR_INVALID_CLASS},
        {subscription(f, absent), CMPI_RC_ERR_INVALID_PARAMETER},
        {subscription(h, h), CMPI_RC_ERR_INVALID_PARAMETER},
        {make("CIM_IndicationSubscription", {{"Filter", Value::reference(f)}}),
         CMPI_RC_ERR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        const Status st = service->createInstance(c.first, nullptr);
        EXPECT_EQ(st.rc, c.second) << c.first.className() << ": " << st.message;
    }
    EXPECT_EQ(all().size(), 2u);
    EXPECT_TRUE(providers.take().empty());
}

TEST_F(Interop, SubscriptionsActivateAndDeactivateTheirFilter) {
    const ObjectPath f = create(filter("F", "SELECT * FROM qms_vrxlogentryarrived"));
    const ObjectPath h1 = create(destination("H1", "http://a"));
    const ObjectPath h2 = create(destination("H2", "http://b"));
    const ObjectPath s1 = create(subscription(f, h1));
    EXPECT_EQ(service->createInstance(subscription(f, h1), nullptr).rc, CMPI_RC_ERR_ALREADY_EXISTS);
    const ObjectPath s2 = create(subscription(f, h2));
    EXPECT_EQ(providers.take(), (std::vector<std::string>{"activate F first QMS_VRXLogEntryArrived",
                                                          "activate F QMS_VRXLogEntryArrived"}));

    EXPECT_EQ(service->deleteInstance(f).rc, CMPI_RC_ERR_FAILED);
    EXPECT_EQ(service->deleteInstance(h1).rc, CMPI_RC_ERR_FAILED);
    ASSERT_TRUE(service->deleteInstance(s1).ok());
    EXPECT_EQ(service->deleteInstance(s1).rc, CMPI_RC_ERR_NOT_FOUND);
    ASSERT_TRUE(service->deleteInstance(h1).ok());
    ASSERT_TRUE(service->deleteInstance(s2).ok());
    EXPECT_EQ(providers.take(), (std::vector<std::string>{"deactivate F", "deactivate F last"}));
    ASSERT_TRUE(service->deleteInstance(f).ok());
    EXPECT_EQ(service->deleteInstance(f).rc, CMPI_RC_ERR_NOT_FOUND);
    EXPECT_EQ(all().size(), 1u);
}

TEST_F(Interop, RefusedActivationStoresNothing) {
    const ObjectPath f = create(filter("F", "SELECT * FROM CIM_Indication"));
    const ObjectPath h = create(destination("H", "http://a"));
    providers.refusal = Status::error(CMPI_RC_ERR_ACCESS_DENIED, "not you");
    const Status st = service->createInstance(subscription(f, h), nullptr);
    EXPECT_EQ(st.rc, CMPI_RC_ERR_ACCESS_DENIED);
    EXPECT_EQ(st.message, "not you");
    EXPECT_TRUE(all("CIM_IndicationSubscription").empty());
    reopen();
    EXPECT_TRUE(all("CIM_IndicationSubscription").empty());
    EXPECT_EQ(all().size(), 2u);

    // A provider that changes the namespace from its activation is refused,
    // not deadlocked.
    providers.refusal = Status();
    providers.onActivate = [&](const FilterInfo&) {
        return service->createInstance(destination("Inner", "http://i"), nullptr);
    };
    EXPECT_EQ(service->createInstance(subscription(f, h), nullptr).rc, CMPI_RC_ERR_FAILED);
}

TEST_F(Interop, StoreReadsBackIdentically) {
    Instance f = filter("F", "SELECT * FROM CIM_AlertIndication WHERE PerceivedSeverity > 3");
    f.properties.set("SourceNamespaces",
                     Value::array(CMPI_string, {Value::string("root/qms"), Value::null(CMPI_string)}));
    f.properties.set("IndividualSubscriptionSupported", Value::boolean(true));
    f.properties.set("Description", Value::string("quote \" slash \\ and \xc3\xa9"));
    const ObjectPath fp = create(f);
    const ObjectPath g = create(filter("G", "SELECT * FROM CIM_Indication", ""));
    const ObjectPath h = create(destination("H", "http://a"));
    create(subscription(g, h));
    Instance s = subscription(fp, h);
    s.properties.set("SubscriptionState", Value::uint16(2));
    s.properties.set("FailureTriggerTimeInterval", Value::uint64(UINT64_MAX));
    s.properties.set("TimeOfLastStateChange", Value::datetime("20240102030405.000000+060"));
    s.properties.set("OtherSubscriptionState", Value::null(CMPI_string));
    create(s);
    s.properties.set("Handler", Value::reference(create(destination("H2", "http://b"))));
    create(s);
    const auto before = contents();
    providers.take();
    reopen();
    EXPECT_EQ(contents(), before);
    EXPECT_TRUE(providers.take().empty());
    EXPECT_TRUE(service->restore().ok());
    EXPECT_EQ(providers.take(), (std::vector<std::string>{"activate G first CIM_Indication",
                                                          "activate F first CIM_AlertIndication",
                                                          "activate F CIM_AlertIndication"}));

    // Refusals are reported; the subscriptions stay.
    reopen();
    providers.refusal = Status::error(CMPI_RC_ERR_FAILED, "gone");
    const Status st = service->restore();
    EXPECT_EQ(st.rc, CMPI_RC_ERR_FAILED);
    EXPECT_NE(st.message.find("gone"), std::string::npos);
    EXPECT_EQ(all("CIM_IndicationSubscription").size(), 3u);
}

TEST_F(Interop, DestinationsMustBeDeliverableUrls) {
    const std::string accepted[] = {"http://road-listener:5988", "https://L.example.com/cimlistener/a?b#c",
                                    "http://0_1", "http://10.1.2.3:65535", "http://[2001:db8::1]:5988/x"};
    // clang-format off
    std::vector<std::string> refused = {
        "file:///etc/passwd", "javascript:alert(1)", "ftp://a/b", "http://a\r\nX-Injected: 1", "http://a/\tb",
        "http://a/\xff\xfe", "http://a/\xc0\xaf", "http://", "http:///path", "http://:5988",
        "http://user:secret@a:5988", "http://a:0", "http://a:65536", "http://a:", "http://169.254.169.254/latest",
        "http://2852039166/", "http://0xa9.0xfe.1.1/", "http://[fe80::1]:5988", "http://[FEBF::1]",
        "http://[::ffff:169.254.1.1]", "http://0.0.0.0:5988", "http://[fe80::1", "http://a b"};
    // clang-format on
    refused.push_back("http://a/" + std::string(3000, 'x'));
    int n = 0;
    for (const std::string& url : accepted) {
        const Status st = service->createInstance(destination("D" + std::to_string(n++), url), nullptr);
        EXPECT_TRUE(st.ok()) << url << ": " << st.message;
    }
    for (const std::string& url : refused) {
        const Status st = service->createInstance(destination("D" + std::to_string(n++), url), nullptr);
        EXPECT_EQ(st.rc, CMPI_RC_ERR_INVALID_PARAMETER) << url;
        EXPECT_NE(st.message.find("Destination refused: the URL"), std::string::npos) << st.message;
    }
    // Changing a destination is held to the same rules.
    EXPECT_EQ(
        modify(all("CIM_ListenerDestination").front().path, "Destination", Value::string("file:///x")).rc,
        CMPI_RC_ERR_INVALID_PARAMETER);

    // An administrator's list of listener hosts.
    options.allowedListenerHosts = {"Listener.Example", "[2001:db8::2]"};
    reopen();
    EXPECT_TRUE(service->createInstance(destination("A1", "http://listener.example:5988"), nullptr).ok());
    EXPECT_TRUE(service->createInstance(destination("A2", "https://[2001:DB8::2]/"), nullptr).ok());
    const Status st = service->createInstance(destination("A3", "http://elsewhere:5988"), nullptr);
    EXPECT_EQ(st.rc, CMPI_RC_ERR_INVALID_PARAMETER);
    EXPECT_NE(st.message.find("not among the allowed"), std::string::npos) << st.message;
}

TEST_F(Interop, LimitsRefuseWithTheExpectedErrors) {
    options.maxFilters = 2;
    options.maxDestinations = 1;
    options.maxSubscriptions = 1;
    options.maxTextBytes = 40;
    options.maxArrayItems = 2;
    reopen();
    const ObjectPath f = create(filter("F", "SELECT * FROM CIM_Indication"));
    const ObjectPath h = create(destination("H", "http://a"));
    create(subscription(f, h));
    Instance manyNamespaces = filter("M", "SELECT * FROM CIM_Indication");
    manyNamespaces.properties.set(
        "SourceNamespaces",
        Value::array(CMPI_string, {Value::string("a"), Value::string("b"), Value::string("c")}));
    Instance longItem = filter("M", "SELECT * FROM CIM_Indication");
    longItem.properties.set("SourceNamespaces",
                            Value::array(CMPI_string, {Value::string(std::string(41, 'n'))}));
    const std::pair<Instance, CMPIrc> cases[] = {
        {filter("Long", "SELECT * FROM CIM_Indication WHERE Description = 'abc'"),
         CMPI_RC_ERR_INVALID_PARAMETER},
        {manyNamespaces, CMPI_RC_ERR_INVALID_PARAMETER},
        {longItem, CMPI_RC_ERR_INVALID_PARAMETER},
        {destination("H2", "http://b"), CMPI_RC_ERR_FAILED},
        {destination("H", "http://b"), CMPI_RC_ERR_ALREADY_EXISTS},
        {subscription(create(filter("G", "SELECT * FROM CIM_Indication")), h), CMPI_RC_ERR_FAILED},
        {filter("G3", "SELECT * FROM CIM_Indication"), CMPI_RC_ERR_FAILED},
    };
    for (const auto& c : cases) {
        const Status st = service->createInstance(c.first, nullptr);
        EXPECT_EQ(st.rc, c.second) << st.message;
        const char* why = c.second == CMPI_RC_ERR_FAILED           ? "limit of"
                          : c.second == CMPI_RC_ERR_ALREADY_EXISTS ? "already exists"
                                                                   : "than";
        EXPECT_NE(st.message.find(why), std::string::npos) << st.message;
    }
    EXPECT_EQ(modify(f, "Description", Value::string(std::string(41, 'd'))).rc,
              CMPI_RC_ERR_INVALID_PARAMETER);
    EXPECT_EQ(all().size() + all("CIM_IndicationSubscription").size(), 4u);
    // Room made is room to use.
    ASSERT_TRUE(service->deleteInstance(all("CIM_IndicationSubscription").front().path).ok());
    create(subscription(f, h));
}

// Every byte of the journal cut off after it, as a killed or crashed writer
// leaves it: the store reads back as it was after the last whole record, and
// takes new records after it.
TEST_F(Interop, JournalReplaysUpToATornLastRecord) {
    options.syncWrites = false;
    reopen();
    std::vector<std::pair<uintmax_t, size_t>> states;  // journal size, instances
    const auto count = [&] { return all().size() + all("CIM_IndicationSubscription").size(); };
    const auto note = [&] { states.emplace_back(std::filesystem::file_size(store + ".journal"), count()); };
    const ObjectPath f = create(filter("F", "SELECT * FROM CIM_Indication"));
    note();
    const ObjectPath h = create(destination("H", "http://a"));
    note();
    const ObjectPath s = create(subscription(f, h));
    note();
    ASSERT_TRUE(service->deleteInstance(s).ok());
    note();
    const std::string journal = qmstest::fileText(store + ".journal");
    ASSERT_EQ(journal.size(), states.back().first);
    for (size_t cut = 0; cut < journal.size(); cut += 9) {
        std::ofstream(store + ".journal", std::ios::binary | std::ios::trunc) << journal.substr(0, cut);
        reopen();
        ASSERT_TRUE(service->storeStatus().ok()) << cut << ": " << service->storeStatus().message;
        size_t expected = 0;
        for (const auto& st : states)
            if (st.first <= cut) expected = st.second;
        EXPECT_EQ(count(), expected) << cut;
    }
    // A last record whose bytes never reached the disk (a power cut): its
    // length is there, its checksum fails.
    std::ofstream(store + ".journal", std::ios::binary | std::ios::trunc)
        << journal << std::string("\4\0\0\0\1\2\3\4\0\0\0\0", 12);
    reopen();
    ASSERT_TRUE(service->storeStatus().ok()) << service->storeStatus().message;
    EXPECT_EQ(count(), 2u);
    std::ofstream(store + ".journal", std::ios::binary | std::ios::trunc)
        << journal.substr(0, journal.size() - 3);
    reopen();
    EXPECT_EQ(count(), 3u);
    ASSERT_TRUE(service->deleteInstance(s).ok());
    reopen();
    EXPECT_EQ(count(), 2u);

    // A long life folds the journal into the snapshot now and then; what it
    // holds stays the same.
    options.maxDestinations = 1000;
    reopen();
    for (int i = 0; i < 400; ++i) {
        Instance d = destination("D" + std::to_string(i), "http://d");
        d.properties.set("Description", Value::string(std::string(1000, 'x')));
        create(d);
        if (i % 2) {
            ASSERT_TRUE(service->deleteInstance(all("CIM_ListenerDestination").back().path).ok());
        }
    }
    EXPECT_TRUE(std::filesystem::exists(store)) << "never compacted";
    const auto before = contents();
    reopen();
    EXPECT_EQ(contents(), before);
}

TEST_F(Interop, DamagedStoreIsRefusedOrSetAside) {
    const std::string subscriptionAlone =
        "{\"instances\":[{\"path\":{\"namespace\":\"\",\"host\":\"\",\"class\":"
        "\"CIM_IndicationSubscription\",\"keys\":[]},\"properties\":[]}]}";
    const std::pair<std::string, const char*> snapshots[] = {
        {"{not json", "Missing a name"},
        {"{\"instances\":[{\"path\":{}}]}", "instance 0 is malformed"},
        {"[]", "no instance list"},
        {subscriptionAlone, "names no stored filter"},
    };
    for (const auto& c : snapshots) {
        std::ofstream(store, std::ios::trunc) << c.first;
        reopen();
        const Status st = service->storeStatus();
        EXPECT_EQ(st.rc, CMPI_RC_ERR_FAILED);
        EXPECT_NE(st.message.find(store + " is damaged: "), std::string::npos) << st.message;
        EXPECT_NE(st.message.find(c.second), std::string::npos) << st.message;
        EXPECT_TRUE(all().empty());
        EXPECT_EQ(service->restore().message, st.message);
        // Nothing is written over it.
        EXPECT_EQ(service->createInstance(destination("H", "http://a"), nullptr).message, st.message);
        EXPECT_EQ(qmstest::fileText(store), c.first);
        EXPECT_FALSE(std::filesystem::exists(store + ".journal"));
    }

    // A bad record before good ones is damage, not a torn write.
    std::filesystem::remove(store);
    reopen();
    create(destination("H", "http://a"));
    create(destination("H2", "http://b"));
    std::string journal = qmstest::fileText(store + ".journal");
    journal[12] ^= 1;
    std::ofstream(store + ".journal", std::ios::binary | std::ios::trunc) << journal;
    reopen();
    EXPECT_NE(service->storeStatus().message.find(
                  store + ".journal is damaged: record at offset 0 fails its checksum"),
              std::string::npos)
        << service->storeStatus().message;

    // Told to start fresh, every damaged copy is kept, numbered.
    options.startFresh = true;
    reopen();
    EXPECT_TRUE(service->storeStatus().ok());
    EXPECT_NE(service->storeStatus().message.find(store + ".journal.damaged.1"), std::string::npos);
    EXPECT_EQ(qmstest::fileText(store + ".journal.damaged.1"), journal);
    EXPECT_TRUE(all().empty());
    create(destination("H", "http://a"));
    std::ofstream(store, std::ios::trunc) << subscriptionAlone;
    // Temporary files of interrupted snapshot writes go; other files stay.
    for (const char* name : {"interop.json.tmp.Ab12Cd", "interop.json.backup"})
        std::ofstream(dir.file(name)) << "x";
    reopen();
    EXPECT_TRUE(all().empty());
    EXPECT_EQ(qmstest::fileText(store + ".damaged.2"), subscriptionAlone);
    EXPECT_TRUE(std::filesystem::exists(store + ".journal.damaged.2"));
    EXPECT_TRUE(std::filesystem::exists(store + ".journal.damaged.1"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("interop.json.tmp.Ab12Cd")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("interop.json.backup")));
    create(destination("H", "http://a"));
    options.startFresh = false;
    reopen();
    EXPECT_TRUE(service->storeStatus().ok());
    EXPECT_EQ(all().size(), 1u);

    // Without a file there is nothing to keep.
    IndicationService memoryOnly(ClassRepository::builtin(), providers, "");
    EXPECT_TRUE(memoryOnly.createInstance(destination("H", "http://a"), nullptr).ok());
    EXPECT_TRUE(memoryOnly.restore().ok());
}

TEST_F(Interop, DeliveryFollowsFiltersAndIsolatesSinks) {
    const ObjectPath severe =
        create(filter("Severe", "SELECT * FROM CIM_AlertIndication WHERE PerceivedSeverity >= 5"));
    const ObjectPath any = create(filter("Any", "SELECT * FROM QMS_VRXLogEntryArrived", ""));
    const ObjectPath off = create(filter("Off", "SELECT * FROM CIM_Indication"));
    const ObjectPath a = create(destination("A", "http://a"));
    const ObjectPath b = create(destination("B", "http://b"));
    create(subscription(severe, a));
    create(subscription(any, b));
    Instance disabled = subscription(off, a);
    disabled.properties.set("SubscriptionState", Value::uint16(4));
    create(disabled);

    auto recorder = std::make_shared<qmstest::RecordingSink>();
    service->addSink(std::make_shared<ThrowingSink>());
    service->addSink(recorder);
    const Instance high = make("QMS_VRXLogEntryArrived", {{"PerceivedSeverity", Value::uint16(6)}});
    const Instance low = make("QMS_VRXLogEntryArrived", {{"PerceivedSeverity", Value::uint16(2)}});
    service->deliver("ROOT/QMS", high);
    service->deliver("root/other", high);
    service->deliver("root/qms", low);
    service->deliver("root/qms", make("CIM_AlertIndication", {{"PerceivedSeverity", Value::uint16(5)}}));
    EXPECT_EQ(seen(*recorder),
              (std::vector<std::string>{
                  "http://a Severe QMS_VRXLogEntryArrived", "http://b Any QMS_VRXLogEntryArrived",
                  "http://b Any QMS_VRXLogEntryArrived", "http://b Any QMS_VRXLogEntryArrived",
                  "http://a Severe CIM_AlertIndication"}));
    service->removeSink(recorder);
    service->deliver("root/qms", high);
    EXPECT_EQ(recorder->size(), 5u);

    // What a provider delivers as soon as it is switched on already finds
    // the subscription that switched it on.
    service->addSink(recorder);
    const ObjectPath early = create(filter("Early", "SELECT * FROM CIM_Indication"));
    providers.onActivate = [&](const FilterInfo&) {
        service->deliver("root/qms", low);
        return Status();
    };
    create(subscription(early, a));
    EXPECT_EQ(seen(*recorder).back(), "http://a Early QMS_VRXLogEntryArrived");
}

// Listings and gets that share the stored instances: the order and contents
// they give while removals leave holes in the tables, and that nobody holding
// a shared instance (a caller, a provider through the broker) can change what
// the namespace stores.
const char kUrl[] = "http://listener.example:5988/cimom";

TEST(InteropListing, KeepsCreationOrderThroughRemovalsAndReadditions) {
    struct Case {
        const char* what;
        bool (*removed)(int i);
    };
    const Case cases[] = {
        {"nothing", [](int) { return false; }},
        {"every other", [](int i) { return i % 2 == 1; }},
        {"all but the first", [](int i) { return i > 0; }},
        {"the last half", [](int i) { return i >= 100; }},
        {"all but every seventh", [](int i) { return i % 7 != 0; }},
    };
    InteropOptions roomy;
    roomy.maxDestinations = 1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeProviders providers;
        IndicationService service(ClassRepository::builtin(), providers, "", roomy);
        std::vector<ObjectPath> paths(205);
        const auto add = [&](int i) {
            ASSERT_TRUE(
                service.createInstance(qmstest::interopDestination("d" + std::to_string(i), kUrl), &paths[i])
                    .ok());
        };
        const auto gone = [&](int i) { return i < 200 && c.removed(i); };
        for (int i = 0; i < 200; ++i) add(i);
        for (int i = 0; i < 200; ++i) EXPECT_TRUE(!gone(i) || service.deleteInstance(paths[i]).ok()) << i;
        // New ones go after the survivors, whatever holes are left.
        for (int i = 200; i < 205; ++i) add(i);

        std::vector<std::string> expected, sharedNames, copiedNames;
        for (int i = 0; i < 205; ++i)
            if (!gone(i)) expected.push_back("d" + std::to_string(i));
        std::vector<std::shared_ptr<const Instance>> shared;
        std::vector<Instance> copied;
        ASSERT_TRUE(service.enumerateInstancesShared("CIM_ListenerDestination", &shared).ok());
        ASSERT_TRUE(service.enumerateInstances("CIM_ListenerDestinationCIMXML", &copied).ok());
        for (const auto& i : shared) sharedNames.push_back(nameOf(i->path));
        for (const auto& i : copied) copiedNames.push_back(nameOf(i.path));
        EXPECT_EQ(sharedNames, expected);
        EXPECT_EQ(copiedNames, expected);
        // Nothing else in the namespace is a listener destination.
        shared.clear();
        ASSERT_TRUE(service.enumerateInstancesShared("CIM_IndicationFilter", &shared).ok());
        EXPECT_TRUE(shared.empty());

        for (int i = 0; i < 205; ++i) {
            std::shared_ptr<const Instance> found;
            const Status st = service.getInstanceShared(paths[i], &found);
            EXPECT_EQ(st.ok() ? nameOf(found->path) : "gone", gone(i) ? "gone" : "d" + std::to_string(i));
        }
    }
}

TEST(InteropListing, HoldersOfSharedInstancesCannotChangeTheStoredOnes) {
    Cimom::Options options;
    options.exportToListeners = false;
    Cimom cimom(options);
    ObjectPath handler;
    ASSERT_TRUE(cimom.createInstance(qmstest::interopDestination("h", kUrl), &handler).ok());

    // A modification stores a new instance: one handed out before keeps
    // what it was handed.
    std::shared_ptr<const Instance> before;
    ASSERT_TRUE(cimom.getInstanceShared(handler, &before).ok());
    Instance changed = qmstest::interopDestination("h", "http://other.example:5988/cimom");
    changed.path = handler;
    ASSERT_TRUE(cimom.modifyInstance(changed).ok());
    EXPECT_EQ(before->property("Destination")->asText(), kUrl);

    // A provider that changes the instances it enumerated or got through
    // the broker changes its own copies.
    Broker& broker = cimom.broker();
    const CMPIBroker* mb = broker.cmpi();
    const auto redirect = [](CMPIInstance* inst, const char* url) {
        return inst->ft->setProperty(inst, "Destination", reinterpret_cast<const CMPIValue*>(url), CMPI_chars)
            .rc;
    };
    {
        CallScope scope;
        CMPIContext* ctx = broker.newContext("root/interop");
        ObjectPath all = handler;
        all.keys = NamedValues();
        CMPIStatus rc = ok();
        CMPIEnumeration* e =
            mb->bft->enumerateInstances(mb, ctx, newCmpiObjectPath(broker.space(), all), nullptr, &rc);
        ASSERT_EQ(rc.rc, CMPI_RC_OK);
        int seen = 0;
        for (; e->ft->hasNext(e, nullptr); ++seen) {
            CMPIInstance* inst = e->ft->getNext(e, nullptr).value.inst;
            // What it read before the change stays as it was read.
            CMPIString* read = inst->ft->getProperty(inst, "Destination", nullptr).value.string;
            EXPECT_EQ(redirect(inst, "http://x:1/"), CMPI_RC_OK);
            EXPECT_STREQ(read->ft->getCharPtr(read, nullptr), "http://other.example:5988/cimom");
        }
        EXPECT_EQ(seen, 1);
        CMPIInstance* got =
            mb->bft->getInstance(mb, ctx, newCmpiObjectPath(broker.space(), handler), nullptr, &rc);
        ASSERT_EQ(rc.rc, CMPI_RC_OK);
        EXPECT_EQ(redirect(got, "http://y:1/"), CMPI_RC_OK);
    }
    Instance stored;
    ASSERT_TRUE(cimom.getInstance(handler, &stored).ok());
    EXPECT_EQ(stored.property("Destination")->asText(), "http://other.example:5988/cimom");
}

}  // namespace
