// Agent events reach CIM-XML listeners over HTTP: the module hosted by the
// embedded CIMOM, the agent simulator in its own process, listeners on real
// sockets. A burst arrives whole and in order at every listener; a listener
// that is away for less than the retry window misses nothing, and one away
// for longer misses exactly what the drop counter says.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <thread>

#include "common/Programs.h"
#include "export/Exporter.h"
#include "integration/RoadSupport.h"
#include "listener/Listener.h"

namespace road {
namespace {

using namespace std::chrono_literals;

class ExportRoad : public RoadTest {
protected:
    // Pushes system-log entries 1 to 4 in turn over the simulator's control
    // socket (a ctl process each would take longer than the road).
    void push(int count) {
        const std::string control = sim_->path("/run/rqbd-sim.ctl");
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, control.c_str(), sizeof addr.sun_path - 1);
            ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << control;
            const std::string line = "[\"push-syslog\",\"" + std::to_string(1 + i % 4) + "\"]\n";
            ASSERT_EQ(send(fd, line.data(), line.size(), MSG_NOSIGNAL), ssize_t(line.size()));
            std::string answer;
            char buffer[256];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, size_t(n));
            close(fd);
            ASSERT_EQ(answer, "ok\n1\n") << "push " << i;
        }
    }

    // The retry settings, set as an administrator does.
    void setRetry(unsigned attempts, unsigned seconds) {
        std::vector<cimhost::Instance> found;
        ASSERT_TRUE(cimom_->enumerateInstances("root/interop", "CIM_IndicationService", &found).ok());
        ASSERT_EQ(found.size(), 1u);
        found[0].properties.set("DeliveryRetryAttempts", cimhost::Value::uint16(uint16_t(attempts)));
        found[0].properties.set("DeliveryRetryInterval", cimhost::Value::uint32(seconds));
        ASSERT_TRUE(cimom_->modifyInstance(found[0]).ok());
    }

    // Whether the listener got exactly the SequenceNumbers from..to-1, in
    // order, all under one SequenceContext.
    static void expectNumbers(const cimhost::listener::Listener& listener, long from, long to) {
        std::vector<long> got, want;
        std::set<std::string> contexts;
        for (const cimhost::listener::Delivery& d : listener.all()) {
            const cimhost::listener::Property* n = d.indication.find("SequenceNumber");
            const cimhost::listener::Property* c = d.indication.find("SequenceContext");
            got.push_back(n ? std::stol(n->text) : -1);
            contexts.insert(c ? c->text : "");
        }
        for (long i = from; i < to; ++i) want.push_back(i);
        EXPECT_EQ(got, want);
        EXPECT_LE(contexts.size(), 1u);
        EXPECT_EQ(contexts.count(""), 0u) << "no SequenceContext";
    }
};

TEST_F(ExportRoad, BurstToTwoListenersArrivesOnceInOrder) {
    cimhost::listener::Listener one, two;
    subscribe("one", kLogEntryQuery, one.url("/one"));
    subscribe("two", kLogEntryQuery, two.url());
    ctl({"wait-subscribers", "1", "--timeout-ms", "10000"});
    const int burst = 10000;
    push(burst);
    // As long as indications keep coming: a sanitizer build on a busy
    // machine takes several times as long as a plain one, and only a stall
    // says something is lost.
    for (cimhost::listener::Listener* l : {&one, &two}) {
        size_t before = 0;
        while (!l->waitFor(burst, 5s) && l->size() > before) before = l->size();
        ASSERT_EQ(l->size(), static_cast<size_t>(burst)) << "no indication came for 5 s";
    }
    std::this_thread::sleep_for(100ms);  // nothing more comes
    expectNumbers(one, 0, burst);
    expectNumbers(two, 0, burst);
    EXPECT_EQ(one.at(0).target, "/one");
    EXPECT_EQ(one.rejected() + two.rejected(), 0u);
}

TEST_F(ExportRoad, OutageWithinTheRetryWindowLosesNothingAndBeyondItLosesWhatIsCounted) {
    const int port = cimhost::listener::Listener().port();  // free a moment ago
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    subscribe("away", kLogEntryQuery, url);
    ctl({"wait-subscribers", "1", "--timeout-ms", "10000"});

    // Six tries 200 ms apart in this build (4 s as configured): the listener
    // comes up within the window.
    setRetry(5, 4);
    push(20);
    std::this_thread::sleep_for(300ms);
    {
        cimhost::listener::Listener back(port);
        ASSERT_TRUE(back.waitFor(20, 10s));
        expectNumbers(back, 0, 20);
    }

    // Down again, now with 3 tries 200 ms apart: the first indications run
    // out of tries before the listener is back, the rest arrive in order.
    setRetry(2, 4);
    push(20);
    std::this_thread::sleep_for(1500ms);
    cimhost::listener::Listener back(port);
    cimhost::Exporter& exporter = *cimom_->exporter();
    const auto settled = [&] {
        const cimhost::ExportCounters c = exporter.counters().at(0);
        return c.queued == 0 && c.delivered + c.droppedAfterRetries == 40;
    };
    ASSERT_TRUE(rqbdsimtest::eventually(settled, 15s)) << cimhost::Exporter::describe(exporter.counters());
    const cimhost::ExportCounters c = exporter.counters().at(0);
    EXPECT_GT(c.droppedAfterRetries, 0u);
    // What arrived is the tail, whole and in order.
    expectNumbers(back, 20 + long(c.droppedAfterRetries), 40);
}

// The CIMOM as its own process: `cimhost watch` hosts the module, subscribes
// this listener, posts to it, and at exit reports what it exported.
TEST_F(ExportRoad, WatchPostsToItsListenerAndReportsTheCounts) {
    cimhost::listener::Listener listener;
    const int count = 200;
    qmstest::ProgramResult watch;
    std::thread watching([&] {
        watch = qmstest::run(
            {CIMHOST_BINARY, "watch", QMS_PROVIDERS_FILE, "--library-path", QMS_MODULE_DIR, "--destination",
             listener.url("/watch"), "--count", std::to_string(count), "--seconds", "25"},
            {}, 28000);
    });
    // Once the module listens to the agent, the subscription that switched
    // it on is in place: nothing pushed from then on may be missed.
    ctl({"wait-subscribers", "1", "--timeout-ms", "10000"});
    push(count);
    watching.join();
    EXPECT_EQ(watch.exitCode, 0) << watch.err;
    // Everything was posted before the watch ended: nothing waits for more.
    expectNumbers(listener, 0, count);
    EXPECT_NE(
        watch.err.find(listener.url("/watch") + ": delivered " + std::to_string(count) +
                       ", retried 0, dropped after retries 0, dropped on overflow 0, dropped at stop 0, "
                       "queued 0"),
        std::string::npos)
        << watch.err;
}

}  // namespace
}  // namespace road
