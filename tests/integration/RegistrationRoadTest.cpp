// A client registers, lists and removes CIM-XML listeners through the
// registration service's methods; the CIMOM's interop namespace holds the
// filters, destinations and subscriptions that result. The whole road of one
// registration is walked against sfcb (tests/cimom) and `cimhost serve`;
// here: bad input, and many clients among other applications' subscriptions.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>

#include "common/Interop.h"
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
    std::string remove(const char* method, const char* parameter, const std::string& value) {
        NamedValues in;
        in.set(parameter, Value::string(value));
        return invoke(method, in);
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
};

TEST_F(RegistrationRoad, BadInputCreatesNothingAndRefusedQueriesSubscribeNothing) {
    struct Case {
        const char* tag;
        const char* query;
        int queryType;
        const char* receiver;
        const char* result;
    } cases[] = {
        {"t", nullptr, 0, "http://l", "1"},
        {"t", "", 0, "http://l", "1"},
        {"t", kLogEntryQuery, 1, "http://l", "1"},
        {"t", kLogEntryQuery, -1, "http://l", "1"},
        {"t", kLogEntryQuery, 0, nullptr, "1"},
        {"t", kLogEntryQuery, 0, "", "1"},
        // Tags the listing would show cut short or escaped, so that they
        // could not be used to remove the registration by tag.
        {"#T", kLogEntryQuery, 0, "http://l", "1"},
        {"aT#b", kLogEntryQuery, 0, "http://l", "1"},
        {"#x", kLogEntryQuery, 0, "http://l", "1"},
        {"a\"b", kLogEntryQuery, 0, "http://l", "1"},
        {"a\\b", kLogEntryQuery, 0, "http://l", "1"},
        // Well-formed requests that the CIMOM refuses in both namespaces.
        {"t", "SELECT * FROM NoSuchClass", 0, "http://l", "2"},
        {"t", "SELECT FROM WHERE", 0, "http://l", "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tag) + " " + (c.query ? c.query : "(no query)"));
        std::string handle;
        EXPECT_EQ(registerListener(c.tag, c.receiver, c.query, c.queryType, &handle), c.result);
        EXPECT_EQ(handle, "NULL");
    }
    // Bad input creates nothing; a refused filter leaves the destination
    // made before it (what was created stays, as registration says), but no
    // subscription, so nothing is activated.
    EXPECT_EQ(stored("CIM_ListenerDestinationCIMXML").size(), 2u);
    EXPECT_TRUE(stored("CIM_IndicationFilter").empty());
    EXPECT_TRUE(stored("CIM_IndicationSubscription").empty());
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.activateFilter"), 0u);
    // Nobody subscribed: the provider has no handler for a test indication.
    EXPECT_EQ(invoke("SendTestIndication"), "1");
}

// A writer of the store killed (-9) mid-change: what it acknowledged is there
// after a restart, what it did not is whole or absent, and the store reads.
void killWritersMidChange(const std::string& store, const cimhost::InteropOptions& options, size_t* kept) {
    qmstest::AcceptAll providers;
    for (int round = 0; round < 3; ++round) {
        int acks[2];
        ASSERT_EQ(pipe(acks), 0);
        const pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            close(acks[0]);
            cimhost::IndicationService service(cimhost::ClassRepository::builtin(), providers, store,
                                               options);
            for (int i = 0;; ++i) {
                const std::string name = "killed-" + std::to_string(round) + "-" + std::to_string(i);
                const cimhost::Instance f = qmstest::interopFilter(name, kLogEntryQuery);
                const cimhost::Instance d = qmstest::interopDestination(name, "http://killed:5988");
                cimhost::ObjectPath fp, dp, sp;
                if (!service.createInstance(f, &fp).ok() || !service.createInstance(d, &dp).ok() ||
                    !service.createInstance(qmstest::interopSubscription(fp, dp), &sp).ok())
                    _exit(1);
                // Every other one is taken away again, leaving gaps to check.
                const bool removed = i % 2 == 1 && service.deleteInstance(sp).ok() &&
                                     service.deleteInstance(dp).ok() && service.deleteInstance(fp).ok();
                const std::string ack = name + (removed ? " -\n" : " +\n");
                if (write(acks[1], ack.data(), ack.size()) != static_cast<ssize_t>(ack.size())) _exit(1);
            }
        }
        close(acks[1]);
        // The countdown starts once the writer has the store open and is
        // writing.
        std::string acked;
        char buffer[4096];
        for (ssize_t n; (n = read(acks[0], buffer, sizeof buffer)) > 0;) {
            if (acked.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20 + 30 * round));
                kill(writer, SIGKILL);
            }
            acked.append(buffer, static_cast<size_t>(n));
        }
        close(acks[0]);
        int status = 0;
        waitpid(writer, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

        cimhost::IndicationService reread(cimhost::ClassRepository::builtin(), providers, store, options);
        ASSERT_TRUE(reread.storeStatus().ok()) << reread.storeStatus().message;
        std::vector<cimhost::Instance> subs;
        ASSERT_TRUE(reread.enumerateInstances("CIM_IndicationSubscription", &subs).ok());
        std::set<std::string> subscribed;
        for (const auto& s : subs)
            subscribed.insert(s.property("Filter")->asReference()->keys.find("Name")->asText());
        std::istringstream lines(acked);
        std::string name, mark;
        size_t checked = 0, present = 0, acknowledged = 0;
        for (; lines >> name >> mark; ++checked) {
            EXPECT_EQ(subscribed.count(name), mark == "+" ? 1u : 0u) << name;
            acknowledged += mark == "+";
        }
        EXPECT_GT(checked, 0u) << "the writer acknowledged nothing before it was killed";
        const std::string ours = "killed-" + std::to_string(round) + "-";
        for (const std::string& n : subscribed) present += n.compare(0, ours.size(), ours) == 0;
        // Beyond what was acknowledged, at most the change it was killed in.
        EXPECT_LE(present - acknowledged, 1u);
        *kept += present;
    }
}

// Many clients at once among other applications' subscriptions: a thousand
// registrations from eight threads, most made in the interop namespace as
// other clients make them and some through the registration service; bad
// destinations refused; removal by handle, by tag and by path; the listing
// always what the store holds, across a restart and writers killed
// mid-change.
TEST_F(RegistrationRoad, AThousandRegistrationsAmongForeignSubscriptions) {
    interop_.maxFilters = interop_.maxDestinations = interop_.maxSubscriptions = 2000;
    interop_.syncWrites = false;  // a killed process loses nothing either way
    startCimom();
    const int kForeign = 50, kThreads = 8, kEach = 125, kThroughService = 10;
    for (int i = 0; i < kForeign; ++i) {
        const std::string query = i % 3 == 0 ? kLogEntryQuery
                                  : i % 3 == 1
                                      ? "SELECT * FROM QMS_VRXLogEntryArrived WHERE PerceivedSeverity > 4"
                                      : "SELECT * FROM CIM_AlertIndication";
        subscribe("foreign-" + std::to_string(i), query,
                  "https://foreign-" + std::to_string(i) + ".example:5989/x");
    }
    // The listing shows every subscription, foreign ones included.
    const auto expectListingIsStore = [&](size_t subscriptions) {
        NamedValues listed;
        ASSERT_EQ(invoke("ListRegistrations", {}, &listed), "0");
        const Value* handles = listed.find("RegistrationHandles");
        EXPECT_EQ(handles && !handles->isNull() ? handles->items().size() : 0u, subscriptions);
        EXPECT_EQ(stored("CIM_IndicationSubscription").size(), subscriptions);
    };

    std::vector<std::vector<std::string>> handles(kThreads);
    std::vector<std::vector<cimhost::ObjectPath>> direct(kThreads);
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&, t] {
            const std::string tag = "t" + std::to_string(t);
            const std::string receiver = "http://listener-" + std::to_string(t) + ":5988";
            for (int i = 0; i < kThroughService; ++i) {
                std::string handle;
                EXPECT_EQ(registerListener(tag.c_str(), receiver.c_str(), kLogEntryQuery, 0, &handle), "0");
                handles[t].push_back(handle);
            }
            for (int i = kThroughService; i < kEach; ++i)
                direct[t].push_back(
                    subscribe("direct-" + tag + "-" + std::to_string(i), kLogEntryQuery, receiver));
        });
    }
    for (std::thread& c : clients) c.join();
    for (const char* bad : {"file:///etc/passwd", "javascript:alert(1)", "http://a\r\nX: y", "http://l/\xff",
                            "http://169.254.169.254/", "http://[fe80::1]:5988", "http://u:p@l:5988"}) {
        SCOPED_TRACE(bad);
        std::string handle;
        EXPECT_EQ(registerListener("bad", bad, kLogEntryQuery, 0, &handle), "2");
    }
    expectListingIsStore(kForeign + kThreads * kEach);

    size_t left = kForeign + kThreads * kEach;
    for (int t = 0; t < kThreads; ++t) {
        for (size_t i = 0; i < direct[t].size(); i += 2, --left)
            EXPECT_TRUE(cimom_->deleteInstance(direct[t][i]).ok());
        if (t < kThreads / 2) {
            for (size_t i = 0; i < handles[t].size(); i += 2, --left)
                EXPECT_EQ(remove("UnRegisterIndication", "RegistrationHandle", handles[t][i]), "0");
        } else {
            EXPECT_EQ(remove("UnRegisterIndicationsByTag", "Tag", "t" + std::to_string(t)), "0");
            left -= handles[t].size();
        }
    }
    expectListingIsStore(left);
    startCimom();
    expectListingIsStore(left);

    cimom_.reset();
    size_t kept = 0;
    killWritersMidChange(storeFile_, interop_, &kept);
    startCimom();
    expectListingIsStore(left + kept);
}

}  // namespace
}  // namespace road
