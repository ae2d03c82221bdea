#include "integration/RoadSupport.h"

#include <cimple/Array.h>
#include <cimple/Datetime.h>
#include <cimple/Meta.h>
#include <cimple/Property.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

namespace road {

void IndicationRecorder::operator()(const cimple::Instance* instance) {
    cimple::Ref<cimple::Instance> copy(cimple::clone(instance));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        got_.push_back(std::move(copy));
    }
    changed_.notify_all();
}

bool IndicationRecorder::waitFor(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return got_.size() >= n; });
}

size_t IndicationRecorder::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_.size();
}

cimple::Ref<cimple::Instance> IndicationRecorder::at(size_t i) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return i < got_.size() ? got_[i] : cimple::Ref<cimple::Instance>();
}

void IndicationRecorder::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    got_.clear();
}

namespace {

template <class T>
const cimple::Property<T>& field(const cimple::Instance* instance, const cimple::Meta_Feature* feature) {
    return *static_cast<const cimple::Property<T>*>(cimple::field_of(instance, feature));
}

// The types of the indication class's scalar properties.
std::string scalarText(uint16_t type, const void* value) {
    char buf[64];
    switch (type) {
        case cimple::UINT16:
            snprintf(buf, sizeof buf, "%u", *static_cast<const uint16_t*>(value));
            break;
        case cimple::UINT32:
            snprintf(buf, sizeof buf, "%" PRIu32, *static_cast<const uint32_t*>(value));
            break;
        case cimple::SINT64:
            snprintf(buf, sizeof buf, "%" PRId64, *static_cast<const int64_t*>(value));
            break;
        case cimple::STRING:
            return "\"" + std::string(static_cast<const cimple::String*>(value)->c_str()) + "\"";
        case cimple::DATETIME:
            return static_cast<const cimple::Datetime*>(value)->to_string().c_str();
        default:
            return "<type " + std::to_string(type) + ">";
    }
    return buf;
}

}  // namespace

std::string propertyText(const cimple::Instance* instance, const char* name) {
    const cimple::Meta_Feature* feature =
        cimple::find_feature(instance->meta_class, name, cimple::CIMPLE_FLAG_PROPERTY);
    if (!feature) return "<no property " + std::string(name) + ">";
    if (cimple::is_null(instance, feature)) return "NULL";
    const auto* p = reinterpret_cast<const cimple::Meta_Property*>(feature);
    if (p->subscript == 0) return scalarText(p->type, cimple::field_of(instance, feature));
    // The indication's arrays all hold strings.
    if (p->type != cimple::STRING) return "<array of type " + std::to_string(p->type) + ">";
    const cimple::Array<cimple::String>& items =
        field<cimple::Array<cimple::String>>(instance, feature).value;
    std::string text = "{";
    for (size_t i = 0; i < items.size(); ++i)
        text += (i ? ", \"" : "\"") + std::string(items[i].c_str()) + "\"";
    return text + "}";
}

void expectProperties(const cimple::Instance* instance, const std::map<std::string, std::string>& expected) {
    ASSERT_NE(instance, nullptr);
    std::set<std::string> seen;
    const cimple::Meta_Class* mc = instance->meta_class;
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
}

void RoadTest::SetUp() {
    sim_ = std::make_unique<qmstest::RqbdSim>(QMS_ROAD_SCENARIO);
    // The module's trace files land in the simulator's root, beside its sockets.
    mkdir(sim_->path("/var").c_str(), 0755);
    mkdir(sim_->path("/var/log").c_str(), 0755);
    mkdir(sim_->path("/var/log/norvlog").c_str(), 0755);
    ASSERT_TRUE(host_.open(QMS_MODULE_PATH)) << host_.error();
    logEntry_ = hostProvider("QMS_VRXLogEntryArrived_Provider");
}

void RoadTest::TearDown() {
    // A module stuck in a deadlock never winds down; end the process with a
    // message rather than leave it hanging until the runner's time limit.
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!done.wait_for(lock, std::chrono::seconds(30), [&] { return finished; })) {
            fprintf(stderr, "the module did not wind down within 30 s: its threads are stuck\n");
            std::_Exit(1);
        }
    });
    logEntry_.reset();
    recorder_.clear();
    host_.close();
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    done.notify_all();
    watchdog.join();
    sim_.reset();
}

std::unique_ptr<cimhost::HostedProvider> RoadTest::hostProvider(const char* name) {
    const cimple::Registration* registration = host_.find(name);
    EXPECT_NE(registration, nullptr) << name;
    auto provider = std::make_unique<cimhost::HostedProvider>(registration);
    EXPECT_TRUE(provider->ok()) << name;
    EXPECT_EQ(provider->load(), 0) << name;
    return provider;
}

Properties agentIndication(const std::string& eventId, const Properties& own) {
    Properties all = {
        {"EventID", "\"" + eventId + "\""},
        {"MessageID", "\"" + eventId + "\""},
        {"AlertingElementFormat", "2"},
        {"AlertType", "1"},
        {"OtherAlertType", "\"Log Entry Arrived\""},
        {"ProbableCause", "1"},
        {"OwningEntity", "\"Norvane\""},
        {"SystemCreationClassName", "\"QMS_VRXComputerSystem\""},
        {"SystemName", "\"ROAD0001\""},
        {"HostAddress", "\"road-test.example.net\""},
    };
    for (const auto& p : own) all[p.first] = p.second;
    return all;
}

void RoadTest::enableIndications() {
    ASSERT_EQ(logEntry_->enableIndications([this](const cimple::Instance* i) { recorder_(i); }), 0);
    ctl({"wait-subscribers", "1", "--timeout-ms", "10000"});
}

std::string RoadTest::ctl(const std::vector<std::string>& args) {
    qmstest::RqbdSim::Result r = sim_->ctl(args);
    EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
    if (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
    return r.out;
}

bool RoadTest::waitStatus(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (sim_->ctl({"status"}).out.find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace road
