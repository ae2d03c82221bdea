// Indication sessions (activation counting, delivery from the provider's own
// thread with attach and detach) and the cimom binding's up-calls.
#include <schema/Classes.h>

#include <atomic>
#include <future>
#include <mutex>

#include "adapter/AdapterFixture.h"
#include "support/TaskThread.h"

namespace adapter_test {
namespace {

using namespace cimple;
using cimhost::NamedValues;
using cimhost::Value;

// The host's broker with its thread attachment counted and its client
// up-calls scripted. Only one is live at a time (the up-calls are plain
// functions).
struct ScriptedBroker {
    static ScriptedBroker* live;

    explicit ScriptedBroker(cimhost::Broker& host)
        : real(host.cmpi()->bft), ft(*host.cmpi()->bft), mb(*host.cmpi()) {
        live = this;
        ft.attachThread = [](const CMPIBroker* b, const CMPIContext* c) {
            live->attaches++;
            return live->real->attachThread(b, c);
        };
        ft.detachThread = [](const CMPIBroker* b, const CMPIContext* c) {
            live->detaches++;
            return live->real->detachThread(b, c);
        };
        ft.enumerateInstances = [](const CMPIBroker*, const CMPIContext*, const CMPIObjectPath* op,
                                   const char**, CMPIStatus* rc) {
            cimhost::readObjectPath(op, &live->enumerated);
            if (rc) *rc = {live->answer, nullptr};
            return live->answer ? nullptr
                                : cimhost::newCmpiEnumeration(*live->space, CMPI_instance, live->instances);
        };
        ft.createInstance = [](const CMPIBroker*, const CMPIContext*, const CMPIObjectPath* op,
                               const CMPIInstance* inst, CMPIStatus* rc) -> CMPIObjectPath* {
            cimhost::Instance created;
            cimhost::readInstance(inst, &created);
            cimhost::readObjectPath(op, &created.path);
            live->created.push_back(created);
            if (rc) *rc = {live->answer, nullptr};
            return nullptr;
        };
        ft.deleteInstance = [](const CMPIBroker*, const CMPIContext*, const CMPIObjectPath* op) {
            cimhost::ObjectPath deleted;
            cimhost::readObjectPath(op, &deleted);
            live->deleted.push_back(deleted);
            return CMPIStatus{live->answer, nullptr};
        };
        mb.bft = &ft;
        space = &host.space();
    }
    ~ScriptedBroker() { live = nullptr; }

    const CMPIBrokerFT* real;
    CMPIBrokerFT ft;
    CMPIBroker mb;
    cimhost::ObjectSpace* space;
    std::atomic<int> attaches{0}, detaches{0};
    CMPIrc answer = CMPI_RC_OK;
    cimhost::ObjectPath enumerated;
    std::vector<Value> instances;
    std::vector<cimhost::Instance> created;
    std::vector<cimhost::ObjectPath> deleted;
};
ScriptedBroker* ScriptedBroker::live = nullptr;

// Runs `f` on the module's own task thread (what the provider hands over to
// the CIMOM runs there, one piece at a time) while the caller waits.
template <class F>
auto onTask(provider::TaskThread& thread, F f) -> decltype(f()) {
    struct Run : provider::TaskThread::Task {
        explicit Run(F& f) : f(f) {}
        void threadTask() override { result = f(); }
        F& f;
        decltype(f()) result{};
    } run(f);
    EXPECT_TRUE(thread.call(run));
    return run.result;
}

class IndicationTest : public AdapterTest {
protected:
    IndicationTest() : scripted_(broker_) {
        broker_.setDeliver([this](const std::string& ns, const cimhost::Instance& indication) {
            std::lock_guard<std::mutex> lock(mutex_);
            delivered_.emplace_back(ns, indication);
        });
        fake_.behave = [this](int op, void** a) { return behave_ ? behave_(op, a) : 0; };
        reg_ = registration(&QMS_VRXLogEntryArrived::static_meta_class, fake_);
        void* result = nullptr;
        cimple_cmpi_adapter(0x43, block(reg_), reg_, &scripted_.mb, ctx_, "Test_Provider", 'N', &result);
        mi_ = static_cast<CMPIIndicationMI*>(result);
    }
    ~IndicationTest() override { mi_->ft->cleanup(mi_, ctx_, true); }

    CMPIStatus activate(const char* ns = "root/qms") {
        return mi_->ft->activateFilter(mi_, ctx_, nullptr, "QMS_VRXLogEntryArrived",
                                       path("QMS_VRXLogEntryArrived", {}, ns), true);
    }
    CMPIStatus deactivate() {
        return mi_->ft->deActivateFilter(mi_, ctx_, nullptr, "QMS_VRXLogEntryArrived",
                                         path("QMS_VRXLogEntryArrived", {}), true);
    }
    bool deliverEntry(uint32_t code) {
        Ref<QMS_VRXLogEntryArrived> e(QMS_VRXLogEntryArrived::create());
        e->ErrorCode.set(code);
        return fake_.deliver(reinterpret_cast<Instance*>(e.get()));
    }

    ScriptedBroker scripted_;
    FakeProvider fake_;
    std::function<int(int, void**)> behave_;
    const Registration* reg_;
    CMPIIndicationMI* mi_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, cimhost::Instance>> delivered_;
};

TEST_F(IndicationTest, FirstActivationEnablesAndLastDeactivationDisablesWhateverElseTheCimomCalls) {
    ASSERT_EQ(CMPI_RC_OK, activate().rc);
    ASSERT_EQ(CMPI_RC_OK, activate().rc);
    EXPECT_EQ(CMPI_RC_OK, mi_->ft->enableIndications(mi_, ctx_).rc);
    EXPECT_EQ(1, fake_.count(OPERATION_ENABLE_INDICATIONS));
    EXPECT_EQ(CMPI_RC_OK, deactivate().rc);
    EXPECT_EQ(0, fake_.count(OPERATION_DISABLE_INDICATIONS));
    EXPECT_EQ(CMPI_RC_OK, deactivate().rc);
    EXPECT_EQ(1, fake_.count(OPERATION_DISABLE_INDICATIONS));
    EXPECT_EQ(CMPI_RC_OK, deactivate().rc);  // one too many: nothing to undo
    EXPECT_EQ(CMPI_RC_OK, mi_->ft->disableIndications(mi_, ctx_).rc);

    // A CIMOM that only enables and disables gets the same.
    EXPECT_EQ(CMPI_RC_OK, mi_->ft->enableIndications(mi_, ctx_).rc);
    EXPECT_EQ(CMPI_RC_OK, mi_->ft->disableIndications(mi_, ctx_).rc);
    EXPECT_EQ((std::vector<int>{1, 3, 11, 12, 11, 12}), fake_.operations);

    // A provider that cannot enable leaves nothing active behind.
    behave_ = [](int op, void**) { return op == OPERATION_ENABLE_INDICATIONS ? 140 : 0; };
    CMPIStatus st = activate();
    EXPECT_EQ(CMPI_RC_ERR_FAILED, st.rc);
    EXPECT_THAT(text(st), HasSubstr("140"));
    behave_ = nullptr;
    EXPECT_EQ(CMPI_RC_OK, activate().rc);
    EXPECT_EQ(4, fake_.count(OPERATION_ENABLE_INDICATIONS));
}

TEST_F(IndicationTest, OneProviderThreadDeliversPerSessionAttachedOnceAndDetachedAtItsEnd) {
    ASSERT_EQ(CMPI_RC_OK, activate("root/events").rc);
    {
        auto task = provider::newCimpleTaskThread();
        EXPECT_TRUE(onTask(*task, [&] { return deliverEntry(1); }));
        EXPECT_TRUE(onTask(*task, [&] { return deliverEntry(2); }));
        EXPECT_EQ(1, scripted_.attaches);
        EXPECT_FALSE(std::async(std::launch::async, [&] { return deliverEntry(3); }).get());

        // A new session: the same thread lets go of the old context and
        // attaches with the new one.
        ASSERT_EQ(CMPI_RC_OK, deactivate().rc);
        EXPECT_FALSE(onTask(*task, [&] { return deliverEntry(4); }));
        ASSERT_EQ(CMPI_RC_OK, activate().rc);
        EXPECT_TRUE(onTask(*task, [&] { return deliverEntry(5); }));
        EXPECT_EQ(2, scripted_.attaches);
        EXPECT_EQ(1, scripted_.detaches);
    }
    EXPECT_EQ(2, scripted_.detaches);

    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(3u, delivered_.size());
    EXPECT_EQ("root/events", delivered_[0].first);
    EXPECT_EQ(Value::uint32(2), *delivered_[1].second.property("ErrorCode"));
    EXPECT_EQ("root/qms", delivered_[2].first);
    EXPECT_EQ("QMS_VRXLogEntryArrived", delivered_[2].second.className());
}

// A CIMOM ties what it allocates for an up-call to the calling thread until a
// mark is released or the thread detaches: the provider's own thread lives
// for hours, so each delivery must give back what it cost.
TEST_F(IndicationTest, DeliveriesFromTheProvidersThreadGiveBackWhatTheCimomMadeForThem) {
    ASSERT_EQ(CMPI_RC_OK, activate().rc);
    auto task = provider::newCimpleTaskThread();
    ASSERT_TRUE(onTask(*task, [&] { return deliverEntry(0); }));
    const size_t before = broker_.space().liveObjects;
    for (uint32_t i = 1; i <= 20; i++) ASSERT_TRUE(onTask(*task, [&] { return deliverEntry(i); }));
    EXPECT_EQ(before, broker_.space().liveObjects.load());
    mi_->ft->disableIndications(mi_, ctx_);
}

// Other applications' subscriptions share the interop namespace: one whose
// handler class our schema lacks must not hide ours, and a reference the
// CIMOM returns without a key keeps it null for the caller to repair.
TEST_F(IndicationTest, EnumerationSkipsWhatItCannotReadAndKeepsMissingReferenceKeysNull) {
    auto end = [](const char* cls, const char* name, const char* system) {
        NamedValues k = named({{"CreationClassName", Value::string(cls)},
                               {"Name", Value::string(name)},
                               {"SystemCreationClassName", Value::string("CIM_ComputerSystem")}});
        if (system) k.set("SystemName", Value::string(system));
        return Value::reference({"root/interop", "", cls, k});
    };
    auto subscription = [&](const char* handlerClass, const char* name, const char* system) {
        NamedValues p = named({{"Filter", end("CIM_IndicationFilter", name, "h")},
                               {"Handler", end(handlerClass, name, system)}});
        return Value::instance({{"root/interop", "", "CIM_IndicationSubscription", {}}, p});
    };
    scripted_.instances = {subscription("CIM_IndicationHandlerCIMXML", "foreign", "h"),
                           subscription("CIM_ListenerDestinationCIMXML", "unnamed-host", nullptr),
                           subscription("CIM_ListenerDestinationCIMXML", "ours", "h")};
    int rc = -2;
    std::vector<std::pair<std::string, bool>> handlers;  // name, SystemName null
    behave_ = [&](int op, void**) {
        if (op != OPERATION_ENABLE_INDICATIONS) return 0;
        Ref<CIM_IndicationSubscription> model(CIM_IndicationSubscription::create());
        cimom::Instance_Enumerator found;
        rc = cimom::enum_instances("root/interop", model.get(), found);
        for (; found; found++) {
            auto* handler = reinterpret_cast<const CIM_IndicationSubscription*>(found().get())->Handler;
            handlers.emplace_back(handler->Name.value.c_str(), handler->SystemName.null);
        }
        return 0;
    };
    ASSERT_EQ(CMPI_RC_OK, activate().rc);
    EXPECT_EQ(0, rc);
    EXPECT_EQ((std::vector<std::pair<std::string, bool>>{{"unnamed-host", true}, {"ours", false}}), handlers);
    mi_->ft->disableIndications(mi_, ctx_);
}

TEST_F(IndicationTest, CimomCallsGoThroughTheBrokerOfTheCallOrTheAttachedThread) {
    cimom::Instance_Enumerator found;
    Ref<CIM_ComputerSystem> outside(CIM_ComputerSystem::create());
    EXPECT_EQ(-1, cimom::enum_instances("root/qms", outside.get(), found));  // no context on this thread

    NamedValues plain = named({{"Name", Value::string("a")},
                               {"Dedicated", Value::array(CMPI_uint16, {Value::uint16(2)})},
                               {"Color", Value::string("ignored")}});
    scripted_.instances = {Value::instance({{"root/qms", "", "CIM_ComputerSystem", {}}, plain}),
                           Value::instance({{"root/qms", "", "QMS_VRXComputerSystem", {}},
                                            named({{"Name", Value::string("b")}})})};

    std::vector<std::string> classes;
    std::vector<int> rcs;  // enumerate, create, delete, and a delete the CIMOM refuses
    behave_ = [&](int op, void**) {
        if (op != OPERATION_ENABLE_INDICATIONS) return 0;
        Ref<CIM_ComputerSystem> model(CIM_ComputerSystem::create());
        rcs.push_back(cimom::enum_instances("root/qms", model.get(), found));
        for (; found; found++) classes.push_back(found()->meta_class->name);
        Ref<CIM_IndicationFilter> filter(CIM_IndicationFilter::create());
        filter->Name.set("f1");
        filter->Query.set("SELECT * FROM QMS_VRXLogEntryArrived");
        rcs.push_back(cimom::create_instance("root/interop", filter.get()));
        rcs.push_back(cimom::delete_instance("root/interop", filter.get()));
        scripted_.answer = CMPI_RC_ERR_NOT_FOUND;
        rcs.push_back(cimom::delete_instance("root/interop", filter.get()));
        scripted_.answer = CMPI_RC_OK;
        return 0;
    };
    ASSERT_EQ(CMPI_RC_OK, activate().rc);
    EXPECT_EQ((std::vector<int>{0, 0, 0, CMPI_RC_ERR_NOT_FOUND}), rcs);
    EXPECT_EQ("CIM_ComputerSystem", scripted_.enumerated.className);
    EXPECT_EQ((std::vector<std::string>{"CIM_ComputerSystem", "QMS_VRXComputerSystem"}), classes);
    ASSERT_EQ(1u, scripted_.created.size());
    EXPECT_EQ("root/interop", scripted_.created[0].path.nameSpace);
    EXPECT_EQ(Value::string("SELECT * FROM QMS_VRXLogEntryArrived"), *scripted_.created[0].property("Query"));
    EXPECT_EQ(Value::string("f1"), *scripted_.deleted.at(0).keys.find("Name"));

    // The provider's own thread, once attached, reaches the CIMOM too.
    auto task = provider::newCimpleTaskThread();
    EXPECT_TRUE(onTask(*task, [&] { return deliverEntry(1); }));
    EXPECT_EQ(0, onTask(*task, [&] {
                  Ref<CIM_ComputerSystem> model(CIM_ComputerSystem::create());
                  cimom::Instance_Enumerator e;
                  return cimom::enum_instances("root/qms", model.get(), e);
              }));
    mi_->ft->disableIndications(mi_, ctx_);
}

}  // namespace
}  // namespace adapter_test
