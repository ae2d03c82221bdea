// The built module hosted by the embedded CIMOM exactly as a CIMOM hosts it:
// loaded from its registration through its CMPI entry points, subscriptions
// made in the interop namespace, indications observed where the CIMOM hands
// them to listeners. The agent simulator runs as its own process.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Interop.h"
#include "common/RoadScenario.h"
#include "common/RqbdSim.h"
#include "core/Cimom.h"
#include "core/IndicationService.h"
#include "rqbdsim/RawChannel.h"

namespace road {

using qmstest::RecordingSink;

// One property as text (cimhost::Value::toText), "NULL" when absent.
std::string propertyText(const cimhost::Instance& instance, const char* name);

using qmstest::Properties;

// Every property of the instance's class must read as `expected` gives it,
// and every property that `expected` does not name must be NULL.
void expectProperties(const cimhost::Instance& instance, const Properties& expected);

extern const char kRootQms[];
extern const char kLogEntryQuery[];

class RoadTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new CIMOM over the same interop store (as after a CIMOM restart).
    void startCimom();

    // `rqbd-sim ctl args...`; fails the test when the command fails.
    std::string ctl(const std::vector<std::string>& args) { return rqbdsimtest::ctl(*sim_, args); }

    // Creates a filter, a listener destination and a subscription in the
    // interop namespace, as a client does; returns the subscription's path.
    cimhost::ObjectPath subscribe(const std::string& name, const std::string& query = kLogEntryQuery,
                                  const std::string& destination = "http://road-listener:5988");
    // Subscribes and waits until the module has subscribed to the agent's
    // events.
    cimhost::ObjectPath enableIndications();

    // The registration service's one instance.
    cimhost::Instance service();
    // Invokes a method of the registration service; expects status OK and
    // returns the return value's text, the outputs in *out.
    std::string invoke(const char* method, const cimhost::NamedValues& in = {},
                       cimhost::NamedValues* out = nullptr);

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
