// Listings and gets that share the stored instances: the order and contents
// they give while removals leave holes in the tables, and that nobody holding
// a shared instance (a caller, a provider through the broker) can change what
// the namespace stores.
#include <gtest/gtest.h>

#include "common/Interop.h"
#include "core/Broker.h"
#include "core/Cimom.h"
#include "core/IndicationService.h"
#include "core/Objects.h"

using namespace cimhost;

namespace {

struct NoProviders : IndicationProviders {
    Status activate(const FilterInfo&, bool) override { return Status(); }
    Status deactivate(const FilterInfo&, bool) override { return Status(); }
};

std::string nameOf(const Instance& inst) {
    const Value* v = inst.property("Name");
    return v ? v->asText() : "?";
}

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
        NoProviders providers;
        IndicationService service(ClassRepository::builtin(), providers, "", roomy);
        std::vector<ObjectPath> paths(200);
        std::vector<std::string> expected;
        const auto add = [&](int i, ObjectPath* path) {
            ASSERT_TRUE(
                service.createInstance(qmstest::interopDestination("d" + std::to_string(i), kUrl), path)
                    .ok());
        };
        for (int i = 0; i < 200; ++i) add(i, &paths[i]);
        for (int i = 0; i < 200; ++i) {
            if (c.removed(i))
                ASSERT_TRUE(service.deleteInstance(paths[i]).ok());
            else
                expected.push_back("d" + std::to_string(i));
        }
        // New ones go after the survivors, whatever holes are left.
        for (int i = 200; i < 205; ++i) {
            add(i, nullptr);
            expected.push_back("d" + std::to_string(i));
        }

        std::vector<std::shared_ptr<const Instance>> shared;
        std::vector<Instance> copied;
        ASSERT_TRUE(service.enumerateInstancesShared("CIM_ListenerDestination", &shared).ok());
        ASSERT_TRUE(service.enumerateInstances("CIM_ListenerDestinationCIMXML", &copied).ok());
        std::vector<std::string> sharedNames, copiedNames;
        for (const auto& i : shared) sharedNames.push_back(nameOf(*i));
        for (const auto& i : copied) copiedNames.push_back(nameOf(i));
        EXPECT_EQ(sharedNames, expected);
        EXPECT_EQ(copiedNames, expected);
        // Nothing else in the namespace is a listener destination.
        shared.clear();
        ASSERT_TRUE(service.enumerateInstancesShared("CIM_IndicationFilter", &shared).ok());
        EXPECT_TRUE(shared.empty());

        for (int i = 0; i < 200; ++i) {
            std::shared_ptr<const Instance> found;
            const Status st = service.getInstanceShared(paths[i], &found);
            EXPECT_EQ(st.rc, c.removed(i) ? CMPI_RC_ERR_NOT_FOUND : CMPI_RC_OK) << i;
            if (st.ok()) {
                EXPECT_EQ(nameOf(*found), "d" + std::to_string(i));
            }
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
