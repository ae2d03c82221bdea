#include "integration/RoadSupport.h"

#include <cimple/Meta.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>

namespace road {

const char kRootQms[] = "root/qms";
const char kLogEntryQuery[] = "SELECT * FROM QMS_VRXLogEntryArrived";

std::string propertyText(const cimhost::Instance& instance, const char* name) {
    const cimhost::Value* v = instance.property(name);
    return v ? v->toText() : "NULL";
}

void expectProperties(const cimhost::Instance& instance, const Properties& expected) {
    const cimple::Meta_Class* mc = cimhost::ClassRepository::builtin().find(instance.className());
    ASSERT_NE(mc, nullptr) << "unknown class '" << instance.className() << "'";
    std::set<std::string> seen;
    for (uint32_t i = 0; i < mc->num_meta_features; ++i) {
        const cimple::Meta_Feature* f = mc->meta_features[i];
        if (!(f->flags & cimple::CIMPLE_FLAG_PROPERTY)) continue;
        const auto want = expected.find(f->name);
        EXPECT_EQ(propertyText(instance, f->name), want == expected.end() ? "NULL" : want->second)
            << "property " << f->name;
        seen.insert(f->name);
    }
    for (const auto& e : expected)
        EXPECT_TRUE(seen.count(e.first)) << mc->name << " has no property " << e.first;
    // Nothing beyond the class either.
    for (const auto& p : instance.properties)
        EXPECT_NE(cimple::find_feature(mc, p.first.c_str()), nullptr) << "stray property " << p.first;
}

void RoadTest::SetUp() {
    sim_ = std::make_unique<qmstest::RqbdSim>(QMS_ROAD_SCENARIO);
    sim_->makeTraceDir();
    storeFile_ = sim_->path("/interop.json");
    deliveryLog_ = sim_->path("/indications.jsonl");
    startCimom();
}

void RoadTest::startCimom() {
    cimom_.reset();
    cimhost::Cimom::Options options;
    options.storeFile = storeFile_;
    options.interop = interop_;
    options.deliveryLog = deliveryLog_;
    options.libraryPath.push_back(QMS_MODULE_DIR);
    cimom_ = std::make_unique<cimhost::Cimom>(options);
    std::string error;
    ASSERT_TRUE(cimom_->loadRegistrations(QMS_PROVIDERS_FILE, &error)) << error;
    sink_ = std::make_shared<RecordingSink>();
    cimom_->addSink(sink_);
}

void RoadTest::TearDown() {
    // A module stuck in a deadlock never winds down; end the process with a
    // message rather than leave it hanging until the runner's time limit.
    std::promise<void> finished;
    std::thread watchdog([done = finished.get_future()] {
        if (done.wait_for(std::chrono::seconds(30)) == std::future_status::timeout) {
            fprintf(stderr, "the module did not wind down within 30 s: its threads are stuck\n");
            std::_Exit(1);
        }
    });
    cimom_.reset();
    finished.set_value();
    watchdog.join();
    sim_.reset();
}

cimhost::ObjectPath RoadTest::subscribe(const std::string& name, const std::string& query,
                                        const std::string& destination) {
    cimhost::ObjectPath filterPath, handlerPath, subscriptionPath;
    cimhost::Status st =
        cimom_->createInstance(qmstest::interopFilter(name + "-filter", query, kRootQms), &filterPath);
    EXPECT_TRUE(st.ok()) << "filter: " << st.message;
    st = cimom_->createInstance(qmstest::interopDestination(name + "-handler", destination), &handlerPath);
    EXPECT_TRUE(st.ok()) << "handler: " << st.message;
    st = cimom_->createInstance(qmstest::interopSubscription(filterPath, handlerPath), &subscriptionPath);
    EXPECT_TRUE(st.ok()) << "subscription: " << st.message;
    return subscriptionPath;
}

cimhost::ObjectPath RoadTest::enableIndications() {
    cimhost::ObjectPath subscription = subscribe("road");
    ctl({"wait-subscribers", "1", "--timeout-ms", "10000"});
    return subscription;
}

cimhost::Instance RoadTest::service() {
    std::vector<cimhost::Instance> found;
    cimhost::Status st = cimom_->enumerateInstances(kRootQms, "QMS_VRXIndicationRegistrationService", &found);
    EXPECT_TRUE(st.ok()) << st.message;
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? cimhost::Instance() : found[0];
}

std::string RoadTest::invoke(const char* method, const cimhost::NamedValues& in, cimhost::NamedValues* out) {
    cimhost::NamedValues outputs;
    cimhost::Value rv;
    cimhost::Status st = cimom_->invokeMethod(service().path, method, in, &outputs, &rv);
    EXPECT_TRUE(st.ok()) << method << ": " << st.message;
    if (out) *out = outputs;
    return rv.toText();
}

}  // namespace road
