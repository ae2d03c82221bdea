// The built module hosted by the embedded CIMOM exactly as a CIMOM hosts it:
// loaded from its registration through its CMPI entry points, subscriptions
// made in the interop namespace, indications observed where the CIMOM hands
// them to listeners. The agent simulator runs as its own process.
#pragma once

#include <cimple/Meta.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/Interop.h"
#include "common/RoadScenario.h"
#include "common/RqbdSim.h"
#include "core/Cimom.h"
#include "core/IndicationService.h"
#include "rqbdsim/RawChannel.h"

namespace road {

using qmstest::Properties;
using qmstest::RecordingSink;

inline const char kRootQms[] = "root/qms";
inline const char kLogEntryQuery[] = "SELECT * FROM QMS_VRXLogEntryArrived";

// One property as text (cimhost::Value::toText), "NULL" when absent.
inline std::string propertyText(const cimhost::Instance& instance, const char* name) {
    const cimhost::Value* v = instance.property(name);
    return v ? v->toText() : "NULL";
}

// Every property of the instance's class must read as `expected` gives it,
// and every property that `expected` does not name must be NULL.
inline void expectProperties(const cimhost::Instance& instance, const Properties& expected) {
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

class RoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = std::make_unique<qmstest::RqbdSim>(QMS_ROAD_SCENARIO);
        sim_->makeTraceDir();
        storeFile_ = sim_->path("/interop.json");
        deliveryLog_ = sim_->path("/indications.jsonl");
        startCimom();
    }
    void TearDown() override {
        // A module stuck in a deadlock never winds down; end the process with
        // a message rather than leave it hanging until the runner's time limit.
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

    // A new CIMOM over the same interop store (as after a CIMOM restart).
    void startCimom() {
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

    // `rqbd-sim ctl args...`; fails the test when the command fails.
    std::string ctl(const std::vector<std::string>& args) { return rqbdsimtest::ctl(*sim_, args); }

    // Creates a filter, a listener destination and a subscription in the
    // interop namespace, as a client does; returns the subscription's path.
    cimhost::ObjectPath subscribe(const std::string& name, const std::string& query = kLogEntryQuery,
                                  const std::string& destination = "http://road-listener:5988") {
        cimhost::ObjectPath filterPath, handlerPath, subscriptionPath;
        cimhost::Status st =
            cimom_->createInstance(qmstest::interopFilter(name + "-filter", query, kRootQms), &filterPath);
        EXPECT_TRUE(st.ok()) << "filter: " << st.message;
        st =
            cimom_->createInstance(qmstest::interopDestination(name + "-handler", destination), &handlerPath);
        EXPECT_TRUE(st.ok()) << "handler: " << st.message;
        st = cimom_->createInstance(qmstest::interopSubscription(filterPath, handlerPath), &subscriptionPath);
        EXPECT_TRUE(st.ok()) << "subscription: " << st.message;
        return subscriptionPath;
    }
    // Subscribes and waits until the module has subscribed to the agent's
    // events.
    cimhost::ObjectPath enableIndications() {
        cimhost::ObjectPath subscription = subscribe("road");
        ctl({"wait-subscribers", "1", "--timeout-ms", "10000"});
        return subscription;
    }

    // The registration service's one instance.
    cimhost::Instance service() {
        std::vector<cimhost::Instance> found;
        cimhost::Status st =
            cimom_->enumerateInstances(kRootQms, "QMS_VRXIndicationRegistrationService", &found);
        EXPECT_TRUE(st.ok()) << st.message;
        EXPECT_EQ(found.size(), 1u);
        return found.empty() ? cimhost::Instance() : found[0];
    }
    // Invokes a method of the registration service; expects status OK and
    // returns the return value's text, the outputs in *out.
    std::string invoke(const char* method, const cimhost::NamedValues& in = {},
                       cimhost::NamedValues* out = nullptr) {
        cimhost::NamedValues outputs;
        cimhost::Value rv;
        cimhost::Status st = cimom_->invokeMethod(service().path, method, in, &outputs, &rv);
        EXPECT_TRUE(st.ok()) << method << ": " << st.message;
        if (out) *out = outputs;
        return rv.toText();
    }

    std::unique_ptr<qmstest::RqbdSim> sim_;
    // What startCimom gives the interop namespace; a test that needs more
    // than the defaults allow raises them before restarting.
    cimhost::InteropOptions interop_;
    std::string storeFile_;
    std::string deliveryLog_;
    std::unique_ptr<cimhost::Cimom> cimom_;
    std::shared_ptr<RecordingSink> sink_;
};

}  // namespace road
