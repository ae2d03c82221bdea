// The exporter against listeners on real sockets in this process: order and
// sequence numbers, every kind of failed answer retried and then dropped,
// overflow, and the drain at stop. (A listener that is away for a while is
// the export road's test.)
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <thread>

#include "common/Interop.h"
#include "common/Programs.h"
#include "export/Exporter.h"
#include "listener/ExportMessage.h"
#include "listener/Listener.h"

namespace cimhost {
namespace {

using namespace std::chrono_literals;

Instance destination(const std::string& url) { return qmstest::interopDestination("d", url); }

ObjectPath subscription(const std::string& name) {
    ObjectPath p{"root/interop", "", "CIM_IndicationSubscription", {}};
    p.keys.set("Name", Value::string(name));
    return p;
}

Instance indication(int n) {
    Instance i;
    i.path.className = "QMS_VRXAlert";
    i.properties.set("N", Value::sint32(n));
    return i;
}

std::string text(const listener::Instance& i, const char* name) {
    const listener::Property* p = i.find(name);
    return p && !p->null ? p->text : "NULL";
}

ExportSettings quick(std::chrono::milliseconds retryInterval = 400ms) {  // 20 ms in the test build
    ExportSettings s;
    s.retryAttempts = 2;
    s.retryInterval = retryInterval;
    return s;
}

// A listener (over HTTPS with a certificate and its key) that misbehaves on
// its first `failures` posts in one way, then answers as a listener should and
// records what it was sent. A closed gate holds every post until it opens.
class FaultyListener {
public:
    enum Fault { Status500, CimError, Garbage, NoExportHeader, HugeAnswer, ClosesMidAnswer };

    FaultyListener(Fault fault, int failures, const std::string& cert = "", const std::string& key = "")
        : server_(cert.empty() ? std::make_unique<httplib::Server>()
                               : std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())) {
        server_->set_tcp_nodelay(true);
        server_->Post("/", [this, fault, failures](const httplib::Request& req, httplib::Response& res) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                opened_.wait(lock, [&] { return open_; });
                if (delay_.count()) std::this_thread::sleep_for(delay_);
            }
            const listener::ExportParse parse = listener::parseExportIndication(req.body);
            if (++posts_ <= failures) return misbehave(fault, parse.request.messageId, res);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(parse.request.indication);
            }
            res.set_header("CIMExport", "MethodResponse");
            res.set_content(listener::exportResponse(parse.request.messageId), "application/xml");
        });
        port_ = server_->bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running()) std::this_thread::sleep_for(1ms);
    }
    ~FaultyListener() {
        setOpen(true);
        server_->stop();
        thread_.join();
    }
    std::string url(const std::string& scheme = "http", const std::string& host = "127.0.0.1") const {
        return scheme + "://" + host + ":" + std::to_string(port_) + "/";
    }
    void setOpen(bool open) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = open;
        opened_.notify_all();
    }
    void setDelay(std::chrono::milliseconds delay) {
        std::lock_guard<std::mutex> lock(mutex_);
        delay_ = delay;
    }
    std::vector<listener::Instance> received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    static void misbehave(Fault fault, const std::string& id, httplib::Response& res) {
        switch (fault) {
            case Status500:
                res.status = 500;
                return;
            case CimError:
                res.set_header("CIMExport", "MethodResponse");
                res.set_content(listener::exportErrorResponse(id, 1, "busy"), "application/xml");
                return;
            case Garbage:
                res.set_header("CIMExport", "MethodResponse");
                res.set_content("\x01garbage<<", "application/xml");
                return;
            case NoExportHeader:
                res.set_content(listener::exportResponse(id), "application/xml");
                return;
            case HugeAnswer:
                res.set_header("CIMExport", "MethodResponse");
                res.set_content(std::string(2u << 20, ' ') + listener::exportResponse(id), "application/xml");
                return;
            case ClosesMidAnswer:
                res.set_content_provider(1000, "application/xml",
                                         [](size_t, size_t, httplib::DataSink& sink) {
                                             sink.write("<CIM>", 5);
                                             return false;
                                         });
                return;
        }
    }

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> posts_{0};
    mutable std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = true;
    std::chrono::milliseconds delay_{0};
    std::vector<listener::Instance> received_;
};

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST(ExporterTest, KeepsOrderAndNumbersEachSubscriptionContiguously) {
    listener::Listener one, two;
    Exporter exporter;
    const int n = 600;
    for (int i = 0; i < n; ++i) {
        // Two subscriptions to the first listener, one to the second; other
        // destination classes are not posted to.
        exporter.deliver(destination(one.url("/a")), subscription(i % 2 ? "odd" : "even"), indication(i));
        exporter.deliver(destination(two.url()), subscription("all"), indication(i));
        Instance other = destination(two.url());
        other.path.className = "CIM_ListenerDestinationWSManagement";
        exporter.deliver(other, subscription("all"), indication(-1));
    }
    ASSERT_TRUE(one.waitFor(n, 10s));
    ASSERT_TRUE(two.waitFor(n, 10s));
    exporter.stop();
    std::map<std::string, int> next;  // by SequenceContext
    std::set<std::string> contexts;
    for (const listener::Listener* l : {&one, &two}) {
        const std::vector<listener::Delivery> got = l->all();
        ASSERT_EQ(got.size(), size_t(n));
        for (int i = 0; i < n; ++i) {
            const listener::Instance& ind = got[i].indication;
            EXPECT_EQ(text(ind, "N"), std::to_string(i));
            const std::string context = text(ind, "SequenceContext");
            EXPECT_EQ(ind.find("SequenceNumber")->type, "sint64");
            EXPECT_EQ(text(ind, "SequenceNumber"), std::to_string(next[context]++)) << context;
            contexts.insert(context);
        }
    }
    EXPECT_EQ(contexts.size(), 3u);
    const std::vector<ExportCounters> counts = exporter.counters();
    ASSERT_EQ(counts.size(), 2u);
    for (const ExportCounters& c : counts) {
        EXPECT_EQ(c.delivered, uint64_t(n)) << c.url;
        EXPECT_EQ(c.retried + c.droppedAfterRetries + c.droppedOverflow + c.droppedAtStop + c.queued, 0u);
    }
}

TEST(ExporterTest, EveryFailedAnswerIsRetriedThenDropped) {
    const struct Row {
        FaultyListener::Fault fault;
        int failures;
        // Of indications 0 and 1: what arrives, and the counters.
        std::vector<std::string> arrived;
        uint64_t retried, dropped;
    } rows[] = {
        {FaultyListener::Status500, 1, {"0", "1"}, 1, 0},
        {FaultyListener::Status500, 3, {"1"}, 2, 1},
        {FaultyListener::CimError, 3, {"1"}, 2, 1},
        {FaultyListener::Garbage, 3, {"1"}, 2, 1},
        {FaultyListener::NoExportHeader, 3, {"1"}, 2, 1},
        {FaultyListener::HugeAnswer, 3, {"1"}, 2, 1},
        {FaultyListener::ClosesMidAnswer, 2, {"0", "1"}, 2, 0},
        {FaultyListener::ClosesMidAnswer, 3, {"1"}, 2, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "fault " << row.fault << " x" << row.failures);
        FaultyListener listener(row.fault, row.failures);
        Exporter exporter(quick());
        for (int i = 0; i < 2; ++i)
            exporter.deliver(destination(listener.url()), subscription("s"), indication(i));
        ASSERT_TRUE(waitUntil([&] { return listener.received().size() == row.arrived.size(); }));
        exporter.stop();
        std::vector<std::string> arrived;
        for (const listener::Instance& i : listener.received()) arrived.push_back(text(i, "N"));
        EXPECT_EQ(arrived, row.arrived);
        // The second keeps its number whatever became of the first.
        EXPECT_EQ(text(listener.received().back(), "SequenceNumber"), "1");
        const ExportCounters c = exporter.counters().at(0);
        EXPECT_EQ((std::vector<uint64_t>{c.delivered, c.retried, c.droppedAfterRetries}),
                  (std::vector<uint64_t>{row.arrived.size(), row.retried, row.dropped}));
    }
}

// An https listener is posted to only when its certificate chains to a
// trusted one and names the host of the URL.
TEST(ExporterTest, HttpsListenersMustShowATrustedCertificate) {
    const qmstest::ScratchDir dir("export-tls");
    const std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    ASSERT_EQ(qmstest::run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                            "-nodes", "-days", "1", "-subj", "/CN=listener", "-addext",
                            "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert})
                  .exitCode,
              0);
    FaultyListener listener(FaultyListener::Status500, 0, cert, key);
    const struct {
        std::string caFile;
        std::string host;
        uint64_t delivered;
    } rows[] = {{cert, "127.0.0.1", 1}, {"", "127.0.0.1", 0}, {cert, "localhost", 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.caFile + " " + row.host);
        ExportSettings settings = quick();
        settings.http.caFile = row.caFile;
        Exporter exporter(settings);
        exporter.deliver(destination(listener.url("https", row.host)), subscription("s"), indication(0));
        ASSERT_TRUE(waitUntil([&] {
            const ExportCounters c = exporter.counters().at(0);
            return c.delivered + c.droppedAfterRetries == 1;
        }));
        EXPECT_EQ(exporter.counters().at(0).delivered, row.delivered);
    }
    EXPECT_EQ(listener.received().size(), 1u);
}

TEST(ExporterTest, UnusableUrlDropsAtOnce) {
    Exporter exporter(quick(600s));
    const std::vector<std::string> urls = {
        "ftp://127.0.0.1/",    "http:///path", "http://host name/", "http://127.0.0.1:99999/",
        "http://127.0.0.1:x/", "http://[::1/", "http://[::1]x/"};
    for (const std::string& url : urls) exporter.deliver(destination(url), subscription("s"), indication(0));
    ASSERT_TRUE(waitUntil([&] {
        const std::vector<ExportCounters> c = exporter.counters();
        size_t dropped = 0;
        for (const ExportCounters& one : c) dropped += one.droppedAfterRetries;
        return c.size() == urls.size() && dropped == urls.size();
    }));
    for (const ExportCounters& c : exporter.counters()) EXPECT_EQ(c.retried, 0u) << c.url;
}

TEST(ExporterTest, FullQueueDropsItsOldest) {
    FaultyListener listener(FaultyListener::Status500, 0);
    listener.setOpen(false);
    ExportSettings settings = quick();
    settings.queueLimit = 3;
    Exporter exporter(settings);
    exporter.deliver(destination(listener.url()), subscription("s"), indication(0));
    // The first is being posted (held by the listener); the queue behind it
    // holds three.
    ASSERT_TRUE(waitUntil([&] { return exporter.counters().at(0).queued == 1; }));
    std::this_thread::sleep_for(50ms);
    for (int i = 1; i <= 10; ++i)
        exporter.deliver(destination(listener.url()), subscription("s"), indication(i));
    EXPECT_EQ(exporter.counters().at(0).droppedOverflow, 7u);
    listener.setOpen(true);
    ASSERT_TRUE(waitUntil([&] { return listener.received().size() == 4; }));
    std::vector<std::string> numbers;
    for (const listener::Instance& i : listener.received()) numbers.push_back(text(i, "SequenceNumber"));
    EXPECT_EQ(numbers, (std::vector<std::string>{"0", "8", "9", "10"}));
}

TEST(ExporterTest, StopDrainsForABoundedTimeThenCountsWhatIsLeft) {
    const auto stopsSoon = [](Exporter& exporter) {
        const auto start = std::chrono::steady_clock::now();
        exporter.stop();
        return std::chrono::steady_clock::now() - start < 2s;
    };
    // A slow listener: the drain runs out with indications still queued.
    FaultyListener slow(FaultyListener::Status500, 0);
    slow.setDelay(20ms);
    ExportSettings settings = quick();
    settings.drainLimit = 300ms;
    Exporter exporter(settings);
    for (int i = 0; i < 100; ++i) exporter.deliver(destination(slow.url()), subscription("s"), indication(i));
    // Under load the first post may take longer than the drain: it is under way before the stop.
    ASSERT_TRUE(waitUntil([&] { return !slow.received().empty(); }));
    EXPECT_TRUE(stopsSoon(exporter));
    ExportCounters c = exporter.counters().at(0);
    EXPECT_EQ(c.delivered, slow.received().size());
    EXPECT_GT(c.delivered, 0u);
    EXPECT_GT(c.droppedAtStop, 0u);
    EXPECT_EQ(c.delivered + c.droppedAtStop, 100u);
    // Nothing is queued after stop.
    exporter.deliver(destination(slow.url()), subscription("s"), indication(100));
    EXPECT_EQ(exporter.counters().at(0).queued, 0u);

    // A listener that cannot be reached: no retry waits at stop, however
    // long the configured interval (an unresolvable name fails at once).
    Exporter unreachable(quick(600s));
    for (int i = 0; i < 3; ++i)
        unreachable.deliver(destination("http://no-such-listener.invalid:5988"), subscription("s"),
                            indication(i));
    std::this_thread::sleep_for(200ms);  // the first post has failed: a retry is due in 30 s
    EXPECT_TRUE(stopsSoon(unreachable));
    c = unreachable.counters().at(0);
    EXPECT_EQ(c.droppedAtStop, 3u);
    EXPECT_EQ(c.delivered + c.droppedAfterRetries, 0u);

    // A listener that takes the post and never answers: stop() does not wait
    // out the read time limit.
    FaultyListener silent(FaultyListener::Status500, 0);
    silent.setOpen(false);
    ExportSettings quickStop = quick();
    quickStop.drainLimit = 100ms;
    auto held = std::make_unique<Exporter>(quickStop);
    for (int i = 0; i < 3; ++i) held->deliver(destination(silent.url()), subscription("s"), indication(i));
    EXPECT_TRUE(stopsSoon(*held));
    EXPECT_EQ(held->counters().at(0).droppedAtStop, 3u);
    held.reset();  // the worker, still waiting, outlives its exporter
    silent.setOpen(true);
    std::this_thread::sleep_for(100ms);
}

}  // namespace
}  // namespace cimhost
