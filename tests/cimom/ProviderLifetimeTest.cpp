// The module over the life of sfcb's provider process: its resident memory
// while it delivers for a long time, and sfcb's idle unload, which the module
// must refuse while it delivers, allow once its last subscription is gone,
// and survive when the next client comes.
#include <filesystem>
#include <thread>

#include "cimom/CimomSupport.h"
#include "common/Programs.h"

namespace cimomtest {
namespace {

// pids of the processes that have the module installed under `prefix` mapped.
std::set<pid_t> moduleProcesses(const std::string& prefix) {
    const std::string library = prefix + "/lib/libVRXIndication_Provider.so";
    std::set<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (std::isdigit(static_cast<unsigned char>(pid[0])) &&
            qmstest::fileText("/proc/" + pid + "/maps").find(library) != std::string::npos)
            found.insert(static_cast<pid_t>(std::stoi(pid)));
    }
    return found;
}

// VmRSS of a process in kB; -1 when it cannot be read.
long residentKb(pid_t pid) {
    const std::string status = qmstest::fileText("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("\nVmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 7, nullptr, 10);
}

class CimomProviderMemory : public CimomTest {
protected:
    // Pushes until `total` indications have arrived, in batches that are
    // each waited for, so that the agent simulator never runs far ahead.
    void deliverUpTo(size_t total) {
        const size_t kBatch = 100;
        while (listener_->size() < total && !HasFailure()) {
            const size_t goal = std::min(total, listener_->size() + kBatch);
            for (size_t i = listener_->size(); i < goal; ++i)
                ASSERT_EQ(ctl({i % 4 == 3 ? "push-drvmon" : "push-syslog", "31"}), "1\n");
            ASSERT_TRUE(listener_->waitFor(goal, std::chrono::seconds(60)))
                << listener_->size() << " of " << goal << " arrived";
        }
    }
};

TEST_F(CimomProviderMemory, ResidentSizeStaysFlatOver2000DeliveredIndications) {
    enableIndications();
    // Caches, pools and the first allocations settle in the warm-up.
    deliverUpTo(300);
    const std::set<pid_t> processes = moduleProcesses(prefix_);
    ASSERT_FALSE(processes.empty()) << "no process has " << prefix_
                                    << "/lib/libVRXIndication_Provider.so mapped";
    std::map<pid_t, long> before;
    for (pid_t pid : processes) before[pid] = residentKb(pid);

    deliverUpTo(2000);
    ASSERT_EQ(listener_->size(), 2000u);
    EXPECT_EQ(moduleProcesses(prefix_), processes) << "the provider process was replaced while delivering";
    for (const auto& b : before) {
        const long after = residentKb(b.first);
        RecordProperty("resident_kb_after_300", static_cast<int>(b.second));
        RecordProperty("resident_kb_after_2000", static_cast<int>(after));
        EXPECT_LE(after - b.second, 1024)
            << "provider process " << b.first << " grew from " << b.second << " kB to " << after
            << " kB over 1700 indications (" << (after - b.second) * 1024 / 1700 << " bytes each)";
    }
    EXPECT_EQ(propertyText(listener_->at(1999).indication, "EventID"), "\"DriverMonitorMessage_1f\"");
}

class CimomIdleUnload : public CimomTest {
protected:
    // sfcb looks for idle providers every 30 s and ends a process idle for
    // longer than this.
    std::vector<std::string> cimomSettings() const override { return {"providerTimeoutInterval=5"}; }

    // Waits until `done` holds or `seconds` pass, asking sfcb's own interop
    // providers (filters; listener destinations, which post the indications)
    // something every 2 s meanwhile. Only the module is to go idle: once in a
    // while sfcb's interop provider, unloaded when idle and loaded again by
    // the next delivery, dies of SIGSEGV on that delivery, and the indication
    // is lost.
    template <class Done>
    bool waitKeepingInteropBusy(int seconds, Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (done()) return true;
            for (const char* cls : {"CIM_IndicationFilter", "CIM_ListenerDestinationCIMXML"})
                wbemcli("ein", std::string(kInterop) + ":" + cls);
            std::this_thread::sleep_for(std::chrono::seconds(2));
        }
        return done();
    }
};

TEST_F(CimomIdleUnload, ProviderStaysWhileSubscribedLeavesWhenIdleAndComesBack) {
    Subscription s = enableIndications();
    pushAndReceive({"push-syslog", "31"});
    const std::set<pid_t> first = moduleProcesses(prefix_);
    ASSERT_FALSE(first.empty());

    // Past one idle sweep without a request to the module: delivering, it
    // refuses to be unloaded, and delivery goes on from the same process.
    waitKeepingInteropBusy(36, [] { return false; });
    EXPECT_EQ(moduleProcesses(prefix_), first) << "sfcb unloaded the module while it was delivering";
    pushAndReceive({"push-drvmon", "31"});

    // With the subscription gone (sfcb only deactivates the filter) the
    // module is idle, and the next sweeps end its process.
    wbemcli("di", s.subscription);
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(waitKeepingInteropBusy(80, [&] { return moduleProcesses(prefix_).empty(); }))
        << "the module was not unloaded within 80 s of going idle";
    EXPECT_TRUE(sim_->waitStatus("\"eventSubscribers\":0"))
        << "the unloaded module left its event channel open";

    // The next client loads it again: a method call, then a subscription.
    EXPECT_EQ(invoke("ListRegistrations"), "0");
    createSubscription(s);
    ctl({"wait-subscribers", "1", "--timeout-ms", "15000"});
    pushAndReceive({"push-syslog", "31"});
    EXPECT_EQ(propertyText(listener_->at(2).indication, "Message"), "\"Fan 'FAN1 SYS' failed\"");
    const std::set<pid_t> second = moduleProcesses(prefix_);
    EXPECT_FALSE(second.empty());
    for (pid_t pid : second) EXPECT_EQ(first.count(pid), 0u) << "pid " << pid << " outlived the unload";
}

}  // namespace
}  // namespace cimomtest
