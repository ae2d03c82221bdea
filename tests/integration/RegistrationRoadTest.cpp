// A client registers, lists and removes CIM-XML listeners through the
// registration service's methods; the CIMOM's interop namespace holds the
// filters, destinations and subscriptions that result, activates the
// log-entry provider for them and hands its indications to the listeners.
#include <algorithm>
#include <atomic>
#include <thread>

#include "integration/RoadSupport.h"

namespace road {
namespace {

using cimhost::NamedValues;
using cimhost::Value;

class RegistrationRoad : public RoadTest {
protected:
    // Returns the method's return value; the handle lands in *handle.
    std::string registerListener(const char* tag, const char* receiver = "http://listener:5988",
                                 const char* query = kLogEntryQuery, int queryType = 0,
                                 std::string* handle = nullptr) {
        NamedValues in, out;
        if (query) in.set("Query", Value::string(query));
        if (queryType >= 0) in.set("QueryType", Value::uint16(static_cast<uint16_t>(queryType)));
        if (receiver) in.set("EventReceiver", Value::string(receiver));
        if (tag) in.set("Tag", Value::string(tag));
        const std::string rv = invoke("RegisterCIMXMLIndication", in, &out);
        const Value* h = out.find("RegistrationHandle");
        if (handle) *handle = h && !h->isNull() ? h->asText() : "NULL";
        return rv;
    }
    std::string unregister(const std::string& handle) {
        NamedValues in;
        in.set("RegistrationHandle", Value::string(handle));
        return invoke("UnRegisterIndication", in);
    }
    std::string unregisterByTag(const char* tag) {
        NamedValues in;
        in.set("Tag", Value::string(tag));
        return invoke("UnRegisterIndicationsByTag", in);
    }
    // Names of the instances of that class in the interop namespace.
    std::vector<std::string> stored(const char* className) {
        std::vector<cimhost::Instance> found;
        cimhost::Status st = cimom_->enumerateInstances(cimhost::kInteropNamespace, className, &found);
        EXPECT_TRUE(st.ok()) << st.message;
        std::vector<std::string> names;
        for (const cimhost::Instance& i : found) names.push_back(propertyText(i, "Name"));
        return names;
    }
    // Destinations of the deliveries from `from` on, sorted.
    std::vector<std::string> destinations(size_t from) {
        std::vector<std::string> out;
        for (size_t i = from; i < sink_->size(); ++i) out.push_back(sink_->destinationAt(i));
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(RegistrationRoad, RegisterListTestAndRemove) {
    // Nobody subscribed: the provider has no handler.
    EXPECT_EQ(invoke("SendTestIndication"), "1");

    std::string alarm, audit, plain;
    EXPECT_EQ(registerListener("alarm", "http://a:5988", kLogEntryQuery, 0, &alarm), "0");
    EXPECT_EQ(registerListener("audit", "http://b:5988", kLogEntryQuery, 0, &audit), "0");
    EXPECT_EQ(registerListener(nullptr, "http://c:5988", kLogEntryQuery, 0, &plain), "0");
    for (const std::string& h : {alarm, audit, plain}) EXPECT_NE(h, "NULL");
    EXPECT_EQ(stored("CIM_ListenerDestinationCIMXML"),
              (std::vector<std::string>{"\"QMS:Handler#TalarmT#_1\"", "\"QMS:Handler#TauditT#_2\"",
                                        "\"QMS:Handler_3\""}));
    EXPECT_EQ(stored("CIM_IndicationFilter"),
              (std::vector<std::string>{"\"QMS:Filter#TalarmT#_1\"", "\"QMS:Filter#TauditT#_2\"",
                                        "\"QMS:Filter_3\""}));
    EXPECT_EQ(stored("CIM_IndicationSubscription").size(), 3u);
    // Each filter was activated; only the first subscription switched the
    // provider on.
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.activateFilter"), 3u);
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.enableIndications"), 1u);

    NamedValues listed;
    EXPECT_EQ(invoke("ListRegistrations", {}, &listed), "0");
    ASSERT_NE(listed.find("Tags"), nullptr);
    EXPECT_EQ(listed.find("Tags")->toText(), "{\"alarm\", \"audit\", \"\"}");
    ASSERT_NE(listed.find("RegistrationHandles"), nullptr);
    EXPECT_EQ(listed.find("RegistrationHandles")->items().size(), 3u);

    // The test indication reaches every registered listener once.
    EXPECT_EQ(invoke("SendTestIndication"), "0");
    ASSERT_TRUE(sink_->waitFor(3));
    EXPECT_EQ(destinations(0), (std::vector<std::string>{"http://a:5988", "http://b:5988", "http://c:5988"}));
    EXPECT_EQ(propertyText(sink_->at(0), "EventID"), "\"Test Indication\"");

    EXPECT_EQ(unregister(audit), "0");
    EXPECT_EQ(unregister(audit), "3");
    EXPECT_EQ(stored("CIM_IndicationFilter"),
              (std::vector<std::string>{"\"QMS:Filter#TalarmT#_1\"", "\"QMS:Filter_3\""}));
    EXPECT_EQ(invoke("SendTestIndication"), "0");
    ASSERT_TRUE(sink_->waitFor(5));
    EXPECT_EQ(destinations(3), (std::vector<std::string>{"http://a:5988", "http://c:5988"}));

    EXPECT_EQ(unregisterByTag("alarm"), "0");
    EXPECT_EQ(unregisterByTag("alarm"), "3");
    EXPECT_EQ(unregisterByTag(""), "1");
    EXPECT_EQ(unregister(""), "1");
    EXPECT_EQ(stored("CIM_ListenerDestinationCIMXML"), std::vector<std::string>{"\"QMS:Handler_3\""});
    EXPECT_EQ(invoke("ListRegistrations", {}, &listed), "0");
    EXPECT_EQ(listed.find("Tags")->toText(), "{\"\"}");
    EXPECT_EQ(listed.find("RegistrationHandles")->toText(), "{" + Value::string(plain).toText() + "}");

    // The last one gone, the provider is switched off again.
    EXPECT_EQ(unregister(plain), "0");
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.deActivateFilter"), 3u);
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.disableIndications"), 1u);
    EXPECT_EQ(invoke("SendTestIndication"), "1");
    EXPECT_TRUE(stored("CIM_IndicationSubscription").empty());
}

TEST_F(RegistrationRoad, BadInputCreatesNothingAndRefusedQueriesSubscribeNothing) {
    struct Case {
        const char* query;
        int queryType;
        const char* receiver;
        const char* result;
    } cases[] = {
        {nullptr, 0, "http://l", "1"}, {"", 0, "http://l", "1"},       {kLogEntryQuery, 1, "http://l", "1"},
        {kLogEntryQuery, -1, "http://l", "1"}, {kLogEntryQuery, 0, nullptr, "1"}, {kLogEntryQuery, 0, "", "1"},
        // Well-formed requests that the CIMOM refuses in both namespaces.
        {"SELECT * FROM NoSuchClass", 0, "http://l", "2"},
        {"SELECT FROM WHERE", 0, "http://l", "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query ? c.query : "(no query)");
        std::string handle;
        EXPECT_EQ(registerListener("t", c.receiver, c.query, c.queryType, &handle), c.result);
        EXPECT_EQ(handle, "NULL");
    }
    // Tags the listing would show cut short or escaped, so that they could
    // not be used to remove the registration by tag.
    for (const char* tag : {"#T", "aT#b", "#x", "a\"b", "a\\b"}) {
        SCOPED_TRACE(tag);
        std::string handle;
        EXPECT_EQ(registerListener(tag, "http://l", kLogEntryQuery, 0, &handle), "1");
    }
    // Bad input creates nothing; a refused filter leaves the destination
    // made before it (what was created stays, as registration says), but no
    // subscription, so nothing is activated.
    EXPECT_EQ(stored("CIM_ListenerDestinationCIMXML").size(), 2u);
    EXPECT_TRUE(stored("CIM_IndicationFilter").empty());
    EXPECT_TRUE(stored("CIM_IndicationSubscription").empty());
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.activateFilter"), 0u);
}

// Clients on several threads at once, as a CIMOM serves them: registrations,
// listings, test indications and removals interleave. Every one of them must
// succeed (two registrations never pick the same name), and at the end the
// store holds exactly what the listing said.
TEST_F(RegistrationRoad, ConcurrentClientsLeaveAConsistentStore) {
    const int kThreads = 4, kRounds = 5;
    std::atomic<int> registered{0}, refused{0}, failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const std::string tag = "c" + std::to_string(t);
                std::string handle;
                const std::string rv =
                    registerListener(tag.c_str(), "http://concurrent:5988", kLogEntryQuery, 0, &handle);
                if (rv == "0") {
                    ++registered;
                } else if (rv == "2") {
                    ++refused;
                } else {
                    ++failed;
                }
                if (invoke("ListRegistrations") != "0") ++failed;
                const std::string sent = invoke("SendTestIndication");
                if (sent != "0" && sent != "1") ++failed;
                // Every other round the thread takes its newest one away again.
                if (rv == "0" && round % 2 == 1 && unregister(handle) != "0") ++failed;
            }
        });
    }
    for (std::thread& c : clients) c.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(registered.load(), kThreads * kRounds);

    NamedValues listed;
    ASSERT_EQ(invoke("ListRegistrations", {}, &listed), "0");
    const size_t subscriptions = stored("CIM_IndicationSubscription").size();
    ASSERT_NE(listed.find("RegistrationHandles"), nullptr);
    EXPECT_EQ(listed.find("RegistrationHandles")->items().size(), subscriptions);
    for (int t = 0; t < kThreads; ++t) unregisterByTag(("c" + std::to_string(t)).c_str());
    EXPECT_TRUE(stored("CIM_IndicationSubscription").empty());
    EXPECT_TRUE(stored("CIM_IndicationFilter").empty());
    EXPECT_EQ(invoke("SendTestIndication"), "1") << "the provider is still switched on";
}

}  // namespace
}  // namespace road
