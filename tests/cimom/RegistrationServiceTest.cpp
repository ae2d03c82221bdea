// A client registers, lists, tests and removes CIM-XML listeners through the
// registration service's methods in sfcb. sfcb's root/qms refuses the
// filters, destinations and subscriptions, so the module makes them in
// root/interop, where after every step exactly the registered ones must be:
// nothing half made, nothing left over, and a client's own subscription
// listed but never touched.
#include <gmock/gmock.h>

#include <algorithm>

#include "cimom/CimomSupport.h"
#include "common/Programs.h"
#include "core/Value.h"

namespace cimomtest {
namespace {

using ::testing::HasSubstr;

class CimomRegistrationService : public CimomTest {
protected:
    // What root/interop holds, one line each, reduced to the values the
    // module sets: "destination Name Destination", "filter Name Query" and
    // "subscription FilterName DestinationName".
    std::set<std::string> stored() {
        std::set<std::string> now;
        for (const Instance& d : interop("CIM_ListenerDestinationCIMXML"))
            now.insert("destination " + propertyText(d, "Name") + " " + propertyText(d, "Destination"));
        for (const Instance& f : interop("CIM_IndicationFilter")) {
            now.insert("filter " + propertyText(f, "Name") + " " + propertyText(f, "Query"));
            // What the module sets beyond name and query.
            if (propertyText(f, "Name").rfind("\"QMS:", 0) == 0) {
                EXPECT_EQ(propertyText(f, "QueryLanguage"), "\"WQL\"");
                EXPECT_EQ(propertyText(f, "SourceNamespace"), "\"root/qms\"");
            }
        }
        for (const Instance& s : interop("CIM_IndicationSubscription")) {
            std::string line = "subscription";
            for (const char* end : {"Filter", "Handler"}) {
                const Property* p = s.find(end);
                cimhost::ObjectPath path;
                const bool read =
                    p && !p->null && cimhost::ObjectPath::parse(p->text, &path) && path.keys.find("Name");
                EXPECT_TRUE(read) << (p ? p->text : "no reference");
                line += " " + (read ? quoted(path.keys.find("Name")->asText()) : "?");
            }
            now.insert(line);
        }
        return now;
    }
    // Only the module's registrations, each its name's ending ("#TalarmT#_1")
    // and its listener's target, stored with the log-entry query.
    void expectRegistered(const std::map<std::string, const char*>& registrations) {
        std::set<std::string> want;
        for (const auto& r : registrations) {
            const std::string handler = "\"QMS:Handler" + r.first + "\"",
                              filter = "\"QMS:Filter" + r.first + "\"";
            want.insert("destination " + handler + " " + receiver(r.second));
            want.insert("filter " + filter + " " + quoted(kLogEntryQuery));
            want.insert("subscription " + filter + " " + handler);
        }
        EXPECT_EQ(stored(), want);
    }

    // Returns the return value; the handle lands in *handle.
    std::string registerListener(const char* tag, const std::string& target, std::string* handle) {
        std::string in = "Query=\"" + std::string(kLogEntryQuery) + "\",QueryType=0,EventReceiver=\"" +
                         listener_->url(target) + "\"";
        if (tag) in += std::string(",Tag=\"") + tag + "\"";
        CimAnswer a;
        const std::string rv = invoke("RegisterCIMXMLIndication", in, &a);
        const auto h = a.outputs.find("RegistrationHandle");
        *handle = h == a.outputs.end() || h->second.null ? "NULL" : h->second.text;
        return rv;
    }
    // Handles and tags as ListRegistrations gives them, each sorted (the
    // order is the CIMOM's enumeration order).
    void list(std::vector<std::string>* handles, std::vector<std::string>* tags) {
        CimAnswer a;
        ASSERT_EQ(invoke("ListRegistrations", "", &a), "0");
        handles->clear();
        tags->clear();
        for (const auto& out :
             {std::make_pair("RegistrationHandles", handles), std::make_pair("Tags", tags)}) {
            const auto it = a.outputs.find(out.first);
            ASSERT_NE(it, a.outputs.end()) << out.first << " missing";
            for (const auto& item : it->second.items) out.second->push_back(item ? *item : "NULL");
            std::sort(out.second->begin(), out.second->end());
        }
        EXPECT_EQ(handles->size(), tags->size());
    }
    // Targets of the deliveries from `from` on, sorted.
    std::vector<std::string> targets(size_t from) {
        std::vector<std::string> out;
        for (size_t i = from; i < listener_->size(); ++i) out.push_back(listener_->at(i).target);
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string receiver(const char* target) { return quoted(listener_->url(target)); }
};

TEST_F(CimomRegistrationService, RegisterListTestAndRemoveLeaveExactlyTheRegisteredSubscriptions) {
    const std::string query = quoted(kLogEntryQuery);
    expectRegistered({});
    // Nobody subscribed: the provider has no handler.
    EXPECT_EQ(invoke("SendTestIndication"), "1");

    std::string alarm, audit, plain;
    EXPECT_EQ(registerListener("alarm", "/a", &alarm), "0");
    EXPECT_EQ(registerListener("audit", "/b", &audit), "0");
    EXPECT_EQ(registerListener(nullptr, "/c", &plain), "0");
    for (const std::string& h : {alarm, audit, plain}) EXPECT_NE(h, "NULL");
    expectRegistered({{"#TalarmT#_1", "/a"}, {"#TauditT#_2", "/b"}, {"_3", "/c"}});

    std::vector<std::string> handles, tags;
    list(&handles, &tags);
    std::vector<std::string> registered = {alarm, audit, plain};
    std::sort(registered.begin(), registered.end());
    EXPECT_EQ(handles, registered) << "ListRegistrations must give the handles registration gave";
    EXPECT_EQ(tags, (std::vector<std::string>{"", "alarm", "audit"}));

    // The test indication reaches every registered listener once.
    EXPECT_EQ(invoke("SendTestIndication"), "0");
    ASSERT_TRUE(listener_->waitFor(3, std::chrono::seconds(15))) << listener_->size();
    EXPECT_EQ(targets(0), (std::vector<std::string>{"/a", "/b", "/c"}));
    for (size_t i = 0; i < 3; ++i) {
        const Instance test = listener_->at(i).indication;
        EXPECT_EQ(test.className, "QMS_VRXLogEntryArrived");
        EXPECT_EQ(propertyText(test, "EventID"), "\"Test Indication\"");
        EXPECT_EQ(propertyText(test, "MessageID"), "\"Test Indication\"");
        EXPECT_EQ(propertyText(test, "SystemName"), "\"ROAD0001\"");
        EXPECT_EQ(propertyText(test, "HostAddress"), "\"road-test.example.net\"");
        // The agent's clock, in UTC.
        EXPECT_EQ(propertyText(test, "EventTime"), "20250615151500.000000+000");
    }

    // A handle goes whole; a second time there is nothing to remove.
    EXPECT_EQ(client({"unregister", "--handle", audit}).exitCode, 0);
    EXPECT_THAT(client({"unregister", "--handle", audit}).err, HasSubstr("no registration matched"));
    expectRegistered({{"#TalarmT#_1", "/a"}, {"_3", "/c"}});
    EXPECT_EQ(invoke("SendTestIndication"), "0");
    ASSERT_TRUE(listener_->waitFor(5, std::chrono::seconds(15))) << listener_->size();
    EXPECT_EQ(targets(3), (std::vector<std::string>{"/a", "/c"}));

    EXPECT_EQ(invoke("UnRegisterIndicationsByTag", "Tag=\"alarm\""), "0");
    EXPECT_EQ(invoke("UnRegisterIndicationsByTag", "Tag=\"alarm\""), "3");
    EXPECT_EQ(invoke("UnRegisterIndicationsByTag", "Tag=\"\""), "1");
    EXPECT_EQ(invoke("UnRegisterIndication", "RegistrationHandle=\"\""), "1");
    expectRegistered({{"_3", "/c"}});
    list(&handles, &tags);
    EXPECT_EQ(handles, std::vector<std::string>{plain});
    EXPECT_EQ(tags, std::vector<std::string>{""});

    // The last one gone, the provider is switched off again.
    EXPECT_EQ(client({"unregister", "--handle", plain}).exitCode, 0);
    expectRegistered({});
    EXPECT_EQ(invoke("SendTestIndication"), "1");
    EXPECT_EQ(listener_->size(), 5u);

    // Other clients' subscriptions beside a registration: one to a listener
    // destination, listed without a tag, and one to a handler class the
    // module's schema lacks, which it cannot read and must pass over without
    // failing the listing. Both get the test indication, and removals leave
    // them alone.
    subscribe("client", "/client");
    subscribe("legacy", "/legacy", kLogEntryQuery, "CIM_IndicationHandlerCIMXML");
    std::string again;
    EXPECT_EQ(registerListener("alarm", "/a", &again), "0");
    list(&handles, &tags);
    EXPECT_EQ(handles.size(), 2u);
    EXPECT_EQ(std::count(handles.begin(), handles.end(), again), 1) << "the new registration is not listed";
    EXPECT_EQ(tags, (std::vector<std::string>{"", "alarm"}));
    EXPECT_EQ(invoke("SendTestIndication"), "0");
    ASSERT_TRUE(listener_->waitFor(8, std::chrono::seconds(15))) << listener_->size();
    EXPECT_EQ(targets(5), (std::vector<std::string>{"/a", "/client", "/legacy"}));
    EXPECT_EQ(invoke("UnRegisterIndicationsByTag", "Tag=\"alarm\""), "0");
    EXPECT_EQ(stored(), (std::set<std::string>{
                            "destination \"client-destination\" " + receiver("/client"),
                            "filter \"client-filter\" " + query,
                            "filter \"legacy-filter\" " + query,
                            "subscription \"client-filter\" \"client-destination\"",
                            "subscription \"legacy-filter\" \"legacy-destination\"",
                        }));
    list(&handles, &tags);
    EXPECT_EQ(handles.size(), 1u);
    EXPECT_EQ(tags, std::vector<std::string>{""});
}

// `cimhost client` against a real CIMOM: what a script can rely on, exit
// status and output, for each command and for the failures it must tell apart.
TEST_F(CimomRegistrationService, TheClientCommandServesScriptsAgainstARealCimom) {
    qmstest::ProgramResult r = client({"register", "--destination", listener_->url("/tool"), "--tag", "ops"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string handle = r.out.substr(0, r.out.find('\n'));
    EXPECT_NE(handle.find("QMS:"), std::string::npos) << r.out;
    EXPECT_EQ(client({"list"}).out, handle + "\ttag=ops\n");

    const struct {
        std::vector<std::string> args;
        std::string at;
        int exitCode;
        const char* says;
    } cases[] = {
        {{"test"}, "", 0, "done"},
        {{"unregister", "--handle", handle}, "", 0, "done"},
        {{"unregister", "--handle", handle}, "", 1, "no registration matched"},
        {{"unregister", "--tag", "ops"}, "", 1, "no registration matched"},
        {{"test"}, "", 1, "no test indication was sent"},
        {{"register", "--destination", ""}, "", 1, "refused the input"},
        {{"list"}, "http://127.0.0.1:1", 3, "no answer from"},
        {{"--namespace", "root/none", "list"}, "", 1, "CIM_ERR_INVALID_NAMESPACE"},
        {{"unregister"}, "", 2, "usage:"},
    };
    for (const auto& c : cases) {
        r = client(c.args, c.at);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    ASSERT_TRUE(listener_->waitFor(1, std::chrono::seconds(15)));
    EXPECT_EQ(listener_->at(0).target, "/tool");
    expectRegistered({});
}

}  // namespace
}  // namespace cimomtest
