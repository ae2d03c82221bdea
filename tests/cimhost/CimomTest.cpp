// The host driving a real provider library (TestProvider.cpp) through a
// registration file: routing, load failures, up-calls, subscriptions,
// and clean-up.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>

#include "common/Interop.h"
#include "common/Programs.h"
#include "core/Broker.h"
#include "core/Cimom.h"
#include "core/IndicationService.h"

namespace cimhost {
namespace {

const char kRegistrations[] =
    "# class namespace provider library kinds\n"
    "CIM_ComputerSystem root/qms Test_Provider cimhosttestprov instance,method\n"
    "QMS_VRXComputerSystem root/qms Sub_Provider cimhosttestprov instance\n"
    "QMS_VRXLogEntryArrived root/qms Ind_Provider cimhosttestprov indication,method\n"
    "CIM_LogEntry root/qms Keep_Provider cimhosttestprov instance\n"
    "QMS_VRXStoragePoolCompositeExtent root/qms Null_Provider cimhosttestprov instance\n"
    "QMS_VRXDiskExtent root/qms Absent_Provider cimhosttestprov instance   # no factory\n"
    "QMS_VRXIndicationRegistrationService root/qms Lost_Provider nosuchlib instance\n";

const std::string kProviderLibrary = std::string(CIMHOST_TEST_PROVIDER_DIR) + "/libcimhosttestprov.so";

class CimomTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(regFile) << kRegistrations;
        cimom = make();
    }

    std::unique_ptr<Cimom> make(const std::string& store = "") {
        Cimom::Options options;
        options.libraryPath = {CIMHOST_TEST_PROVIDER_DIR};
        options.storeFile = store;
        std::unique_ptr<Cimom> c(new Cimom(options));
        std::string error;
        EXPECT_TRUE(c->loadRegistrations(regFile, &error)) << error;
        c->broker().setLog([this](char, int, const std::string& component, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines[component].push_back(line);
        });
        return c;
    }

    // Trace lines of one test provider.
    std::vector<std::string> log(const std::string& provider) {
        std::lock_guard<std::mutex> lock(mutex);
        return lines[provider];
    }

    static ObjectPath pathOf(const std::string& ns, const std::string& cls) { return {ns, "", cls, {}}; }
    static Instance system(const std::string& cls, const std::string& name) {
        Instance i;
        i.path = pathOf("root/qms", cls);
        i.properties.set("CreationClassName", Value::string(cls));
        i.properties.set("Name", Value::string(name));
        return i;
    }

    // A method of a class in root/qms; its return value in *rv when asked for.
    Status invoke(const std::string& cls, const std::string& method, NamedValues in = {},
                  Value* rv = nullptr) {
        NamedValues out;
        Value ignored;
        return cimom->invokeMethod(pathOf("root/qms", cls), method, in, &out, rv ? rv : &ignored);
    }

    // A filter on the log-entry indication, a destination and a subscription
    // joining them; returns the subscription's path.
    Status subscribe(const std::string& name, const std::string& query, ObjectPath* subscription) {
        ObjectPath filterPath, destPath;
        Status s = cimom->createInstance(qmstest::interopFilter(name, query), &filterPath);
        if (s.ok())
            s = cimom->createInstance(qmstest::interopDestination(name, "http://localhost/" + name),
                                      &destPath);
        if (s.ok())
            s = cimom->createInstance(qmstest::interopSubscription(filterPath, destPath), subscription);
        return s;
    }

    qmstest::ScratchDir scratch{"cimhost-core"};
    const std::string dir = scratch.path(), regFile = scratch.file("providers.reg");
    std::mutex mutex;
    std::map<std::string, std::vector<std::string>> lines;  // by component
    std::unique_ptr<Cimom> cimom;
};

TEST(Registrations, MalformedFilesAreRefusedWhole) {
    const qmstest::ScratchDir dir("cimhost-reg");
    const std::string file = dir.file("bad.reg");
    Cimom cimom{Cimom::Options()};
    std::string error;
    EXPECT_FALSE(cimom.loadRegistrations(file, &error));
    EXPECT_NE(std::string::npos, error.find("cannot read"));
    for (const char* bad :
         {"A root/qms P lib instance\nB root/qms P lib\n", "A root/qms P lib instance,ghost\n"}) {
        std::ofstream(file) << bad;
        EXPECT_FALSE(cimom.loadRegistrations(file, &error));
        EXPECT_NE(std::string::npos, error.find("bad.reg:")) << error;
    }
    EXPECT_TRUE(cimom.registrations().empty());
    std::ofstream(file) << "\n  # only a comment\nA root/qms P lib Instance,method # trailing\n";
    ASSERT_TRUE(cimom.loadRegistrations(file, &error)) << error;
    ASSERT_EQ(1u, cimom.registrations().size());
    EXPECT_TRUE(cimom.registrations()[0].instance && cimom.registrations()[0].method);
}

TEST_F(CimomTest, InstanceOperationsReachTheClassesProvider) {
    ObjectPath created;
    ASSERT_TRUE(cimom->createInstance(system("CIM_ComputerSystem", "a"), &created).ok());
    EXPECT_EQ("root/qms", created.nameSpace);
    EXPECT_EQ(Value::string("a"), *created.keys.find("Name"));
    EXPECT_EQ(CMPI_RC_ERR_ALREADY_EXISTS,
              cimom->createInstance(system("CIM_ComputerSystem", "a"), nullptr).rc);
    ASSERT_TRUE(cimom->createInstance(system("QMS_VRXComputerSystem", "sub"), nullptr).ok());

    Instance got;
    Instance changed = system("CIM_ComputerSystem", "a");
    changed.path = created;
    changed.properties.set("ElementName", Value::string("renamed"));
    ASSERT_TRUE(cimom->modifyInstance(changed).ok());
    ASSERT_TRUE(cimom->getInstance(created, &got).ok());
    EXPECT_EQ(Value::string("renamed"), *got.property("ElementName"));

    // The class and its subclasses, each from its own provider.
    std::vector<Instance> all;
    ASSERT_TRUE(cimom->enumerateInstances("root/qms", "CIM_ComputerSystem", &all).ok());
    ASSERT_EQ(2u, all.size());
    std::vector<ObjectPath> names;
    ASSERT_TRUE(cimom->enumerateInstanceNames("root/qms", "QMS_ComputerSystem", &names).ok());
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ("QMS_VRXComputerSystem", names[0].className);

    ASSERT_TRUE(cimom->deleteInstance(created).ok());
    EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, cimom->getInstance(created, &got).rc);
    EXPECT_EQ(2u, cimom->calls("Test_Provider.createInstance"));

    Status s = invoke("CIM_ComputerSystem", "Fail");
    EXPECT_EQ(CMPI_RC_ERR_ACCESS_DENIED, s.rc);
    EXPECT_EQ("denied by the test provider", s.message);
}

TEST_F(CimomTest, UnservedRequestsAndUpcallsGetTheirStatus) {
    std::vector<Instance> out;
    EXPECT_EQ(CMPI_RC_ERR_INVALID_NAMESPACE,
              cimom->enumerateInstances("root/none", "CIM_ComputerSystem", &out).rc);
    EXPECT_EQ(CMPI_RC_ERR_INVALID_NAMESPACE, cimom->enumerateInstances("", "CIM_ComputerSystem", &out).rc);
    EXPECT_EQ(CMPI_RC_ERR_INVALID_CLASS, cimom->enumerateInstances("root/qms", "CIM_Nothing", &out).rc);
    // A class nobody serves here: the module then falls back to the interop
    // namespace.
    Instance sub;
    sub.path = pathOf("root/qms", "CIM_IndicationSubscription");
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, cimom->createInstance(sub, nullptr).rc);
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, invoke("CIM_LogEntry", "Ping").rc);
    ASSERT_TRUE(invoke("QMS_VRXComputerSystem", "Ping").ok());  // the nearest ancestor's provider
    EXPECT_EQ(CMPI_RC_ERR_METHOD_NOT_FOUND, invoke("CIM_ComputerSystem", "Nope").rc);
    std::vector<ObjectPath> paths;
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED,
              cimom->associatorNames(pathOf("root/qms", "CIM_ComputerSystem"), "", "", "", "", &paths).rc);

    // A provider's up-calls go through the same routing, from inside its
    // call; a worker thread it attaches through the broker is freed at
    // detach.
    NamedValues in;
    in.set("ClassName", Value::string("CIM_Nothing"));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_CLASS, invoke("CIM_ComputerSystem", "Enumerate", in).rc);
    Value rv;
    ASSERT_TRUE(invoke("CIM_ComputerSystem", "Thread", {}, &rv).ok());
    EXPECT_EQ(Value::uint32(1), rv);
}

// A provider that cannot be had fails its own requests with the reason, every
// time, and the others keep serving.
TEST_F(CimomTest, BrokenProvidersFailAloneWithTheReason) {
    struct {
        const char* cls;
        const char* reason;
    } const broken[] = {
        {"QMS_VRXIndicationRegistrationService", "libnosuchlib.so not found"},
        {"QMS_VRXDiskExtent", "has no Absent_Provider_Create_InstanceMI"},
        {"QMS_VRXStoragePoolCompositeExtent", "gave no MI: not today"},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& b : broken) {
            std::vector<Instance> out;
            Status s = cimom->enumerateInstances("root/qms", b.cls, &out);
            EXPECT_EQ(CMPI_RC_ERR_FAILED, s.rc) << b.cls;
            EXPECT_NE(std::string::npos, s.message.find(b.reason)) << s.message;
        }
        EXPECT_TRUE(
            cimom->createInstance(system("CIM_ComputerSystem", "ok" + std::to_string(round)), nullptr).ok());
    }
    EXPECT_EQ(0u, cimom->calls("Null_Provider.enumerateInstances"));
}

TEST_F(CimomTest, SubscriptionsActivateAndEnableTheIndicationProvider) {
    auto sink = std::make_shared<qmstest::RecordingSink>();
    cimom->addSink(sink);
    ObjectPath first, second;
    ASSERT_TRUE(subscribe("one", "SELECT * FROM QMS_VRXLogEntryArrived", &first).ok());
    ASSERT_TRUE(subscribe("two", "SELECT * FROM CIM_AlertIndication", &second).ok());
    EXPECT_EQ((std::vector<std::string>{"created", "authorizeFilter QMS_VRXLogEntryArrived",
                                        "activateFilter first=1", "enableIndications",
                                        "authorizeFilter CIM_AlertIndication", "activateFilter first=1"}),
              log("Ind_Provider"));

    ASSERT_TRUE(invoke("QMS_VRXLogEntryArrived", "Deliver").ok());
    EXPECT_EQ(2u, sink->size());  // one per subscription

    // A refused filter leaves nothing behind.
    ObjectPath refused;
    Status s = subscribe("three", "SELECT * FROM QMS_VRXLogEntryArrived WHERE Message = 'Refuse'", &refused);
    EXPECT_EQ(CMPI_RC_ERR_ACCESS_DENIED, s.rc);
    EXPECT_EQ("filter refused", s.message);
    EXPECT_EQ(2u, cimom->calls("Ind_Provider.activateFilter"));

    lines.clear();
    ASSERT_TRUE(cimom->deleteInstance(first).ok());
    ASSERT_TRUE(cimom->deleteInstance(second).ok());
    EXPECT_EQ((std::vector<std::string>{"deActivateFilter last=1", "deActivateFilter last=1",
                                        "disableIndications"}),
              log("Ind_Provider"));
    EXPECT_EQ(1u, cimom->calls("Ind_Provider.disableIndications"));
}

// At the end: indications off first, then every MI cleaned up for good, then
// the library closed.
TEST_F(CimomTest, ShutdownDisablesCleansUpAndUnloads) {
    ObjectPath sub;
    ASSERT_TRUE(subscribe("one", "SELECT * FROM QMS_VRXLogEntryArrived", &sub).ok());
    ASSERT_TRUE(invoke("QMS_VRXLogEntryArrived", "Ping").ok());
    ASSERT_TRUE(cimom->createInstance(system("CIM_ComputerSystem", "a"), nullptr).ok());
    void* loaded = dlopen(kProviderLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(nullptr, loaded);
    dlclose(loaded);

    cimom.reset();
    EXPECT_EQ((std::vector<std::string>{"created", "authorizeFilter QMS_VRXLogEntryArrived",
                                        "activateFilter first=1", "enableIndications", "created",
                                        "disableIndications", "cleanup Indication terminating=1",
                                        "cleanup Method terminating=1"}),
              log("Ind_Provider"));
    EXPECT_EQ((std::vector<std::string>{"created", "cleanup Instance terminating=1"}), log("Test_Provider"));
    EXPECT_EQ(nullptr, dlopen(kProviderLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD));
}

TEST_F(CimomTest, IdleUnloadHonoursDoNotUnload) {
    std::vector<Instance> out;
    ASSERT_TRUE(cimom->enumerateInstances("root/qms", "CIM_LogEntry", &out).ok());
    ASSERT_TRUE(cimom->createInstance(system("CIM_ComputerSystem", "a"), nullptr).ok());

    EXPECT_EQ(CMPI_RC_DO_NOT_UNLOAD, cimom->unloadProvider("Keep_Provider").rc);
    EXPECT_TRUE(cimom->unloadProvider("Test_Provider").ok());
    EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, cimom->unloadProvider("Nobody").rc);
    ASSERT_TRUE(cimom->enumerateInstances("root/qms", "CIM_LogEntry", &out).ok());
    ASSERT_TRUE(cimom->enumerateInstances("root/qms", "CIM_ComputerSystem", &out).ok());
    // The kept MI serves on; the other was made again, empty.
    EXPECT_EQ((std::vector<std::string>{"created", "cleanup Instance terminating=0"}), log("Keep_Provider"));
    EXPECT_EQ((std::vector<std::string>{"created", "cleanup Instance terminating=0", "created"}),
              log("Test_Provider"));
    EXPECT_TRUE(out.empty());
}

// `cimhost watch --store` killed before it unsubscribed leaves its instances
// in the store; the next run replaces them instead of being refused their
// names, and leaves nothing of its own behind when it ends.
TEST_F(CimomTest, WatchReplacesWhatAKilledRunLeftInItsStore) {
    const std::string store = dir + "/interop.json";
    cimom = make(store);
    ObjectPath leftover;
    ASSERT_TRUE(subscribe("cimhost-watch", "SELECT * FROM QMS_VRXLogEntryArrived", &leftover).ok());
    cimom.reset();

    const qmstest::ProgramResult run =
        qmstest::run({CIMHOST_BINARY, "watch", regFile, "--library-path", CIMHOST_TEST_PROVIDER_DIR,
                      "--store", store, "--seconds", "1"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("replaced what an earlier run left in " + store), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("subscribed to"), std::string::npos) << run.err;

    cimom = make(store);
    for (const char* cls :
         {"CIM_IndicationSubscription", "CIM_IndicationFilter", "CIM_ListenerDestination"}) {
        std::vector<Instance> found;
        EXPECT_TRUE(cimom->enumerateInstances(kInteropNamespace, cls, &found).ok());
        EXPECT_TRUE(found.empty()) << cls;
    }
}

}  // namespace
}  // namespace cimhost
