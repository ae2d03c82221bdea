// The model singleton behind a fake facade. The model is made once per
// process, by whichever test gets it first; every fake answers the same
// identity, so the tests hold in any order and alone.
#include <cimple/Memory_Cimom.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "FakeTOLM.h"
#include "model/IndicationModel.h"
#include "support/TraceCapture.h"
#include "support/provider_utils.h"
#include "tolm/TOLMIndication.h"

namespace provider {
namespace model_test {
namespace {

using cimple::QMS_VRXLogEntryArrived;
using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::Throw;
using Tag = QMS_VRXLogEntryArrivedIndicationModel;

// The CIMOM's side of delivery: keeps a copy of every indication and counts
// the final call that releases the handler.
struct Recorder {
    static bool proc(cimple::Instance* instance, void* context) {
        auto* self = static_cast<Recorder*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (!instance) {
            ++self->releases;
        } else {
            self->received.emplace_back(cimple::clone(cimple::cast<QMS_VRXLogEntryArrived>(instance)));
        }
        return true;
    }
    cimple::Indication_Handler<QMS_VRXLogEntryArrived>* handler() {
        return new cimple::Indication_Handler<QMS_VRXLogEntryArrived>(&proc, this);
    }
    size_t delivered() {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }

    std::mutex mutex;
    std::vector<cimple::Ref<QMS_VRXLogEntryArrived>> received;
    int releases = 0;
};

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = new NiceMock<FakeTOLM>;
        fake->installDefaults();
        calls = ShPtr<TOLMCalls>(fake);
        initTOLMIndicationWith(calls);
        cimple::cimom::set_cimom_binding(&cimom);
    }
    void TearDown() override {
        cimple::cimom::set_cimom_binding(nullptr);
        initTOLMIndication(false);
        calls = ShPtr<TOLMCalls>();
    }

    static Tag& indications() { return getQMS_VRXLogEntryArrivedIndicationModel(); }
    static TOLMEventsListener& events() { return *dynamic_cast<TOLMEventsListener*>(&indications()); }
    static void enable(Recorder& recorder) {
        cimple::Auto_Mutex lock(indications().recursiveMutex());
        indications().enableIndications(recorder.handler());
    }
    static void disable() {
        cimple::Auto_Mutex lock(indications().recursiveMutex());
        indications().disableIndications();
    }
    static bool sendTest() {
        auto& service = getQMS_VRXIndicationRegistrationServiceModel();
        cimple::Auto_Mutex lock(service.recursiveMutex());
        return service.sendTestIndication();
    }

    NiceMock<FakeTOLM>* fake = nullptr;
    ShPtr<TOLMCalls> calls;
    cimple::Memory_Cimom cimom;
};

TEST_F(ModelTest, UserWithoutRightsFailsBeforeTheModelIsMadeOrUsed) {
    EXPECT_CALL(*fake, accountCheck())
        .WillOnce(Throw(CimErrorException(QMS_HERE, "accountCheck(): current User is not Quarnet Admin",
                                          CIM_ERR_ACCESS_DENIED)));
    EXPECT_CALL(*fake, getIdentificationCabinetNumber()).Times(0);
    EXPECT_CALL(*fake, getChassisSerialNumber(_)).Times(0);
    EXPECT_THROW(getQMS_VRXHostedIndicationRegistrationServiceModel(), CimErrorException);
}

TEST_F(ModelTest, ServiceAndAssociationInstances) {
    auto& services = getQMS_VRXIndicationRegistrationServiceModel();
    auto& hosted = getQMS_VRXHostedIndicationRegistrationServiceModel();
    cimple::Auto_Mutex lock(services.recursiveMutex());

    std::vector<int32_t> handlers{5, 6};
    services.findAll(handlers);
    EXPECT_EQ(handlers, std::vector<int32_t>{0});
    cimple::Ref<cimple::QMS_VRXIndicationRegistrationService> service(services.clone(0, nullptr));
    EXPECT_EQ(service->Name, PString("RegistrationService"));
    EXPECT_EQ(service->SystemCreationClassName, PString("QMS_VRXComputerSystem"));
    EXPECT_EQ(service->SystemName, PString(kSerial));
    EXPECT_EQ(service->CreationClassName, PString("QMS_VRXIndicationRegistrationService"));
    EXPECT_EQ(service->Caption, PString("Indication Registration Service"));
    EXPECT_EQ(service->Description, PString("Service which allows to register indication subscriptions"));
    EXPECT_EQ(service->Started, cimple::Property<bool>(true));
    EXPECT_EQ(services.getSystemName(0), PString(kSerial));
    EXPECT_EQ(services.getCreationClassName(0), service->CreationClassName);

    cimple::Ref<cimple::QMS_VRXHostedIndicationRegistrationService> association(hosted.clone(0, nullptr));
    EXPECT_EQ(association->Antecedent->Name, PString(kSerial));
    EXPECT_TRUE(cimple::key_eq(association->Dependent, service.get()));

    int32_t handler = 7;
    EXPECT_TRUE(services.find(handler, service.get()));
    EXPECT_EQ(handler, 0);
    EXPECT_TRUE(hosted.find(handler, association.get()));
    for (PString* key : {&service->Name, &service->SystemCreationClassName, &service->SystemName,
                         &service->CreationClassName}) {
        const PString kept = *key;
        key->set("other");
        EXPECT_FALSE(services.find(handler, service.get()));
        EXPECT_EQ(handler, -1);
        *key = kept;
    }
    association->Antecedent->Name.set("other");
    EXPECT_FALSE(hosted.find(handler, association.get()));
    EXPECT_EQ(handler, -1);

    qms_test::TraceCapture traces;
    try {
        services.getName(1);
        FAIL() << "no exception";
    } catch (const HandlerException& e) {
        EXPECT_EQ(e.getId(), 1);
        EXPECT_STREQ(e.message().c_str(), "getName(QMS_VRXIndicationRegistrationServiceHandler)");
    }
    EXPECT_EQ(traces.countContaining(1, "getName(QMS_VRXIndicationRegistrationServiceHandler)"), 1u);
    EXPECT_THROW(hosted.clone(-1, nullptr), HandlerException);

    EXPECT_CALL(*fake, getLogMessageNrEntries(KeyIs(kCabinet, 0u, 0u))).WillOnce(Return(PUInt(3)));
    EXPECT_EQ(indications().DebugNums(Tag::SystemMessageLog), (std::vector<unsigned int>{2, 1, 0}));
}

TEST_F(ModelTest, EnableTwiceThenDisableTwice) {
    qms_test::TraceCapture traces;
    EXPECT_CALL(*fake, setListener(&events())).Times(2);
    EXPECT_CALL(*fake, enableEvents()).Times(2);
    EXPECT_CALL(*fake, disableEvents()).Times(2);
    Recorder first, second;
    enable(first);
    enable(second);
    EXPECT_EQ(first.releases, 1);
    EXPECT_TRUE(
        traces.contains(1, "enableIndications(): Indication_Handler<QMS_VRXLogEntryArrived> not deleted!"));
    EXPECT_EQ(traces.countContaining(5, ") stopped"), 1u) << "one task thread left running";
    EXPECT_FALSE(cimom.last_allow_unload());

    EXPECT_TRUE(sendTest());
    EXPECT_EQ(first.delivered(), 0u);
    ASSERT_EQ(second.delivered(), 1u);
    EXPECT_EQ(second.received[0]->EventID, PString("Test Indication"));

    disable();
    EXPECT_EQ(second.releases, 1);
    EXPECT_TRUE(cimom.last_allow_unload());
    EXPECT_EQ(traces.countContaining(5, ") stopped"), 2u);
    EXPECT_EQ(traces.countContaining(5, ") started"), 2u);
    disable();
    EXPECT_TRUE(traces.contains(
        1, "disableIndications(): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!"));
    EXPECT_EQ(second.releases, 1);
    EXPECT_EQ(cimom.allow_unload_calls(), 4u);

    EXPECT_FALSE(sendTest());
    EXPECT_TRUE(traces.contains(
        5, "sendTestIndication(): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!"));
}

TEST_F(ModelTest, EventsWhileDisabledOnlyTraceTheMissingHandler) {
    qms_test::TraceCapture traces;
    events().onSystemMessageLogEntry(0x42);
    events().onDriverMonitorLogEntry(0x43);
    EXPECT_TRUE(traces.contains(
        1, "onSystemMessageLogEntry(42): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!"));
    EXPECT_TRUE(traces.contains(
        1, "onDriverMonitorLogEntry(43): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!"));
    EXPECT_EQ(traces.size(), 2u) << "nothing built, no closing trace";
}

TEST_F(ModelTest, EventsAreDeliveredWithTheirArgumentsOnce) {
    LogMessage entry;
    entry.seqNr = 0x42;
    ON_CALL(*fake, getLogMessageReadChunk(_, 0x42u, _))
        .WillByDefault(
            ::testing::DoAll(::testing::SetArgReferee<2>(std::vector<LogMessage>{entry}), Return(1u)));
    entry.seqNr = 0x43;
    ON_CALL(*fake, getLogMessageReadChunk(_, 0x43u, _))
        .WillByDefault(
            ::testing::DoAll(::testing::SetArgReferee<2>(std::vector<LogMessage>{entry}), Return(1u)));
    Recorder recorder;
    enable(recorder);
    qms_test::TraceCapture traces;

    cimple::Array<cimple::String> args;
    args.append("A");
    events().onLogMessageArguments(args);
    events().onSystemMessageLogEntry(0x42);
    events().onSystemMessageLogEntry(0x43);
    EXPECT_CALL(*fake, getLogMessageReadChunk(_, 0x44u, _))
        .WillOnce(Throw(BaseException(QMS_HERE, "agent gone")));
    events().onSystemMessageLogEntry(0x44);
    disable();

    ASSERT_EQ(recorder.delivered(), 2u);
    EXPECT_EQ(recorder.received[0]->MessageArguments, PStrings(args));
    EXPECT_EQ(recorder.received[1]->MessageArguments, PStrings(cimple::Array<cimple::String>()));
    EXPECT_TRUE(traces.contains(1, "onSystemMessageLogEntry(42): "));
    EXPECT_TRUE(traces.contains(1, "onSystemMessageLogEntry(43): "));
    EXPECT_EQ(traces.countContaining(1, "onSystemMessageLogEntry(44): BaseException: "), 1u);
}

// Agent events keep arriving on several threads (the fake's disableEvents
// does not stop them) while indications are disabled: once disable has
// returned, nothing more reaches the handler, and it is released once.
TEST_F(ModelTest, NoDeliveryAfterDisableReturns) {
    for (int round = 0; round < 5; ++round) {
        Recorder recorder;
        enable(recorder);
        std::atomic<bool> stop{false};
        std::vector<std::thread> sources;
        for (unsigned t = 0; t < 3; ++t) {
            sources.emplace_back([&stop, t] {
                for (unsigned n = 0; !stop; ++n) {
                    t == 0 ? events().onDriverMonitorLogEntry(n) : events().onSystemMessageLogEntry(n);
                }
            });
        }
        while (recorder.delivered() < 10) std::this_thread::yield();
        disable();
        const size_t atDisable = recorder.delivered();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop = true;
        for (std::thread& s : sources) s.join();
        EXPECT_EQ(recorder.delivered(), atDisable);
        EXPECT_EQ(recorder.releases, 1);
    }
}

// A test indication sent under the model lock races agent events that fill
// the same pending slot: each indication built reaches the handler once.
TEST_F(ModelTest, TestIndicationsRacingAgentEventsAreEachDeliveredOnce) {
    Recorder recorder;
    enable(recorder);
    const unsigned kEvents = 200, kTests = 50;
    std::thread agent([] {
        for (unsigned n = 0; n < kEvents; ++n) events().onDriverMonitorLogEntry(n);
    });
    unsigned sent = 0;
    for (unsigned i = 0; i < kTests; ++i) sent += sendTest() ? 1 : 0;
    agent.join();
    disable();

    EXPECT_EQ(sent, kTests);
    ASSERT_EQ(recorder.delivered(), kEvents + kTests);
    std::set<std::string> agentIds;
    unsigned tests = 0;
    for (const auto& ind : recorder.received) {
        const std::string id = ind->EventID.value.c_str();
        id == "Test Indication" ? ++tests : static_cast<unsigned>(agentIds.insert(id).second);
    }
    EXPECT_EQ(tests, kTests);
    EXPECT_EQ(agentIds.size(), kEvents);
}

}  // namespace
}  // namespace model_test
}  // namespace provider
