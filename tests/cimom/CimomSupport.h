// The module as an administrator deploys it into a real CIMOM: installed
// with `cmake --install` into a scratch prefix, its classes and registration
// staged into root/qms with sfcb's own sfcbstage, loaded by a private sfcb
// (from $SFCB_HOME) on a port of its own, reached through wbemcli, and heard
// by a CIM-XML listener of our own. The agent simulator runs beside it and
// sfcb's provider processes find it through QMS_TEST_ROOT, which they inherit
// from sfcbd.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cimom/Sfcb.h"
#include "common/Programs.h"
#include "common/RoadScenario.h"
#include "common/RqbdSim.h"
#include "listener/Listener.h"
#include "rqbdsim/RawChannel.h"

namespace cimomtest {

using cimhost::listener::Delivery;
using cimhost::listener::Instance;
using cimhost::listener::Listener;
using cimhost::listener::Property;

inline constexpr char kRootQms[] = "root/qms";
inline constexpr char kInterop[] = "root/interop";
inline constexpr char kLogEntryQuery[] = "SELECT * FROM QMS_VRXLogEntryArrived";
// The registration service's instance name (no namespace) under the road
// scenario: the chassis serial number names the computer system.
inline constexpr char kServiceName[] =
    "QMS_VRXIndicationRegistrationService.CreationClassName="
    "\"QMS_VRXIndicationRegistrationService\",Name=\"RegistrationService\","
    "SystemCreationClassName=\"QMS_VRXComputerSystem\",SystemName=\"ROAD0001\"";

// A property as text, the way the embedded CIMOM's tests write values:
// strings quoted ("a \"b\""), numbers and datetimes bare, booleans TRUE or
// FALSE, references as their path, arrays as {a, b}, NULL for no value.
std::string propertyText(const Property& property);
// The same for a property of `instance`; "ABSENT" when it has none.
std::string propertyText(const Instance& instance, const std::string& name);
// text in double quotes with '"' and '\' escaped.
std::string quoted(const std::string& text);

using qmstest::Properties;

// Every property the instance carries must read as `expected` gives it,
// every property that `expected` does not name (nor `unchecked`) must be
// NULL, and every expected property must be there.
void expectProperties(const Instance& instance, const Properties& expected,
                      const std::set<std::string>& unchecked = {});

// What the CIMOM answered a wbemcli command, read from the CIM-XML response
// that `wbemcli -dx` prints: the exact values, not wbemcli's rendering of
// them (which joins array elements with commas).
struct CimAnswer {
    std::string command;  // for messages
    int exitCode = -1;
    std::string out, err;
    bool parsed = false;  // a CIM-XML response was found and read
    int status = 0;       // CIM status of an ERROR answer, 0 when none
    std::string statusText;
    // Instance names (ein, ci) as paths, or class names (ecn).
    std::vector<std::string> names;
    // Instances (ei, gi) with their paths (empty for gi).
    std::vector<std::pair<std::string, Instance>> instances;
    // Method calls.
    Property returnValue;
    std::map<std::string, Property, cimhost::listener::NameLess> outputs;

    bool ok() const { return exitCode == 0 && parsed && status == 0; }
    std::string describe() const;
};

// Reads a CIM-XML operation response (SIMPLERSP) into `answer`.
void readResponse(const std::string& xml, CimAnswer* answer);

class CimomTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Extra sfcb.cfg settings for this fixture's CIMOM.
    virtual std::vector<std::string> cimomSettings() const { return {}; }

    // `wbemcli -dx <operation> [options] http://127.0.0.1:PORT/<objectPath>
    // [extra...]`, objectPath as wbemcli takes it
    // (namespace:Class[.Key="value",...]).
    CimAnswer wbemcli(const std::string& operation, const std::string& objectPath,
                      const std::vector<std::string>& extra = {});
    // A method of the registration service through `wbemcli cm`; in is
    // "Param=value,..." as wbemcli takes it. Expects an answer and returns
    // the return value's text.
    std::string invoke(const std::string& method, const std::string& in = "", CimAnswer* answer = nullptr);
    // `cimhost client --url URL args...`, against this CIMOM unless `url`
    // names another. wbemcli cannot pass a string argument with a comma in
    // it, and every registration handle has one.
    qmstest::ProgramResult client(const std::vector<std::string>& args, const std::string& url = "");

    // `rqbd-sim ctl args...`; fails the test when the command fails.
    std::string ctl(const std::vector<std::string>& args) { return rqbdsimtest::ctl(*sim_, args); }

    struct Subscription {
        std::string filter;  // paths as wbemcli takes them, in root/interop
        std::string destination;
        std::string subscription;
    };
    // A client's own subscription, made with wbemcli ci in root/interop:
    // filter `name`-filter with `query`, destination `name`-destination (of
    // `destinationClass`) posting to the listener at `target`, and the
    // subscription joining them.
    Subscription subscribe(const std::string& name, const std::string& target,
                           const std::string& query = kLogEntryQuery,
                           const std::string& destinationClass = "CIM_ListenerDestinationCIMXML");
    // As subscribe, then waits until the module has opened its event channel.
    Subscription enableIndications(const std::string& name = "cimom", const std::string& target = "/cimom");
    void createSubscription(Subscription& s);

    // The instances of a class in root/interop (ei), failing the test when
    // the enumeration fails.
    std::vector<Instance> interop(const char* className);
    // The service's path as wbemcli takes it, with the keys the module must
    // give it under the agent scenario.
    std::string servicePath() const;

    // Pushes and waits until the listener has recorded `count` more.
    void pushAndReceive(const std::vector<std::string>& push, size_t count = 1);

    std::string scratch_;
    std::string prefix_;
    std::unique_ptr<qmstest::RqbdSim> sim_;
    std::unique_ptr<Listener> listener_;
    std::unique_ptr<Sfcb> sfcb_;
};

}  // namespace cimomtest
