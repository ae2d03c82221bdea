// The built module hosted in-process as a CIMOM hosts it (dlopen, the
// registration chain, the dispatch procedures), talking to the agent
// simulator as a separate process.
#pragma once

#include <cimple/Instance.h>
#include <cimple/Ref.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ProviderHost.h"
#include "common/RqbdSim.h"

namespace road {

// What the indication handler was given: a clone of every delivered instance.
class IndicationRecorder {
public:
    void operator()(const cimple::Instance* instance);
    // Waits until at least n indications are recorded; false on timeout.
    bool waitFor(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    size_t size() const;
    cimple::Ref<cimple::Instance> at(size_t i) const;
    // Drops the copies; they must go before the module that described them.
    void clear();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<cimple::Ref<cimple::Instance>> got_;
};

// One property as text: NULL; "text" for strings; decimal numbers; TRUE or
// FALSE; a datetime's CIM text; arrays as {item, item}.
std::string propertyText(const cimple::Instance* instance, const char* name);

// Every property of the instance's class must read as `expected` gives it,
// and every property that `expected` does not name must be NULL.
void expectProperties(const cimple::Instance* instance, const std::map<std::string, std::string>& expected);

typedef std::map<std::string, std::string> Properties;

// What every indication of an agent event on this road carries, with `own`
// added or overriding.
Properties agentIndication(const std::string& eventId, const Properties& own);

class RoadTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // `rqbd-sim ctl args...`; fails the test when the command fails and
    // returns its output without the final newline.
    std::string ctl(const std::vector<std::string>& args);
    // Waits until the simulator's status shows `text`, e.g. "\"up\":true".
    bool waitStatus(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // Enables indications into recorder_ and waits until the module has
    // subscribed to the agent's events.
    void enableIndications();
    // Creates and loads the provider of that name.
    std::unique_ptr<cimhost::HostedProvider> hostProvider(const char* name);

    std::unique_ptr<qmstest::RqbdSim> sim_;
    cimhost::ProviderHost host_;
    std::unique_ptr<cimhost::HostedProvider> logEntry_;
    IndicationRecorder recorder_;
};

}  // namespace road
