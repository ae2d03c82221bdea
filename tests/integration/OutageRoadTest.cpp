// The agent dies (kill -9) and comes back again and again under a module that
// delivers: after every recovery each event pushed arrives once, complete and
// in order, CIM operations never hang on the missing agent, and the host's
// descriptors and threads stay flat; an outage past the event thread's
// patience is ended by the next CIM operation; switching off needs no agent.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/Programs.h"
#include "integration/RoadSupport.h"

namespace road {
namespace {

// The host's own descriptors or threads.
size_t entriesOf(const char* dir) {
    return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
}

class OutageRoad : public RoadTest {
protected:
    // Pushes the scenario's first entry `count` times once the module is
    // subscribed again, and checks each indication in full.
    void pushAndCheck(size_t count) {
        ASSERT_EQ(sim_->ctl({"wait-subscribers", "1", "--timeout-ms", "15000"}).exitCode, 0)
            << "the module did not subscribe again";
        const qmstest::RoadStep entry = qmstest::logEntrySteps().at(0);
        const size_t before = sink_->size();
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(ctl(entry.push), "1\n");
        ASSERT_TRUE(sink_->waitFor(before + count)) << sink_->size() - before << " of " << count;
        EXPECT_FALSE(sink_->waitFor(before + count + 1, std::chrono::milliseconds(20)))
            << "an event came twice";
        for (size_t i = before; i < before + count; ++i) expectProperties(sink_->at(i), entry.expected.at(0));
    }
};

TEST_F(OutageRoad, EveryEventAfterEveryRecoveryArrivesOnceAndNothingLeaks) {
    enableIndications();
    pushAndCheck(3);
    const size_t fds = entriesOf("/proc/self/fd"), tasks = entriesOf("/proc/self/task");

    constexpr int kRounds = 50;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        sim_->crash();
        // A CIM operation while the agent is gone fails fast instead of
        // waiting for it.
        const auto start = std::chrono::steady_clock::now();
        std::vector<cimhost::Instance> found;
        cimom_->enumerateInstances(kRootQms, "QMS_VRXIndicationRegistrationService", &found);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        sim_->start();
        pushAndCheck(3);
        if (HasFatalFailure()) return;
    }
    EXPECT_LE(entriesOf("/proc/self/fd"), fds + 2);
    EXPECT_LE(entriesOf("/proc/self/task"), tasks + 1);
}

// Removing the last subscription while the agent is gone still switches the
// module off at once: the handler is given back and the module may unload.
TEST_F(OutageRoad, SwitchingOffWhileTheAgentIsGoneCompletes) {
    const cimhost::ObjectPath subscription = enableIndications();
    sim_->stop();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(cimom_->deleteInstance(subscription).ok());
    EXPECT_EQ(cimom_->calls("QMS_VRXLogEntryArrived_Provider.deActivateFilter"), 1u);
    EXPECT_TRUE(cimom_->unloadProvider("QMS_VRXLogEntryArrived_Provider").ok());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// The event thread waits for the agent no longer than QM_MAXWAIT_FOR_RQBD
// (set before the module starts: threads read the environment).
class OutageRoadPastPatience : public OutageRoad {
protected:
    OutageRoadPastPatience() { setenv("QM_MAXWAIT_FOR_RQBD", "1", 1); }
    ~OutageRoadPastPatience() override { unsetenv("QM_MAXWAIT_FOR_RQBD"); }
};

// An outage longer than the event thread waits: it gives up, and the next
// CIM operation that reaches the agent switches events on again.
TEST_F(OutageRoadPastPatience, TheNextCimOperationBringsEventsBack) {
    enableIndications();
    sim_->crash();
    sim_->start();
    EXPECT_NE(sim_->ctl({"wait-subscribers", "1", "--timeout-ms", "1000"}).exitCode, 0)
        << "the event thread was to give up";
    EXPECT_EQ(propertyText(service(), "SystemName"), "\"ROAD0001\"");
    pushAndCheck(3);
}

// Someone watching while the agent is stopped learns early why nothing comes
// and what to do, while the provider still retries (the host is ended then).
TEST(AgentDownWatch, SaysWhyTheAgentCannotBeReachedWhileTheProviderRetries) {
    const qmstest::ScratchDir scratch("agentdown");
    const std::string& root = scratch.path();
    std::filesystem::create_directories(root + "/usr/sbin");
    std::ofstream(root + "/usr/sbin/rqbd") << "installed, never started\n";
    const qmstest::ProgramResult r =
        qmstest::run({CIMHOST_BINARY, "watch", QMS_PROVIDERS_FILE, "--library-path", QMS_MODULE_DIR},
                     qmstest::environmentWith(qmstest::currentEnvironment(), "QMS_TEST_ROOT", root), 6000);
    for (const std::string& want :
         {"cimhost watch: subscribing takes long: the agent " + root + "/usr/sbin/rqbd cannot be reached:\n",
          "  " + root + "/var/run/rqbd.pid: No such file or directory (the agent is not running)\n",
          "  " + root + "/dev/rqbds: No such file or directory (the agent makes it when it starts)\n",
          "Is rqbd running? This is a test build: the agent is looked for under " + root}) {
        EXPECT_NE(r.err.find(want), std::string::npos) << "missing: " << want << "\nin:\n" << r.err;
    }
}

}  // namespace
}  // namespace road
