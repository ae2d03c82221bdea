// The model's service and association instances, enabling and disabling, and
// the delivery of agent events.
#include <atomic>
#include <set>
#include <thread>

#include "ModelFixture.h"
#include "support/TraceCapture.h"

namespace provider {
namespace model_test {
namespace {

using ::testing::_;

bool sendTest() {
    auto& service = getQMS_VRXIndicationRegistrationServiceModel();
    cimple::Auto_Mutex lock(service.recursiveMutex());
    return service.sendTestIndication();
}

using ModelTest = ModelFixture;

TEST_F(ModelTest, UserWithoutRightsFailsBeforeTheModelIsMadeOrUsed) {
    EXPECT_CALL(*fake, accountCheck())
        .WillOnce(::testing::Throw(CimErrorException(QMS_HERE, "no", CIM_ERR_ACCESS_DENIED)));
    EXPECT_CALL(*fake, getIdentificationCabinetNumber()).Times(0);
    EXPECT_THROW(getQMS_VRXHostedIndicationRegistrationServiceModel(), CimErrorException);
}

TEST_F(ModelTest, ServiceAndAssociation) {
    auto& services = getQMS_VRXIndicationRegistrationServiceModel();
    auto& hosted = getQMS_VRXHostedIndicationRegistrationServiceModel();
    cimple::Ref<cimple::QMS_VRXIndicationRegistrationService> service(services.clone(0, nullptr));
    EXPECT_EQ(service->Name, PString("RegistrationService"));
    EXPECT_EQ(service->SystemCreationClassName, PString("QMS_VRXComputerSystem"));
    EXPECT_EQ(services.getSystemName(0), PString(kSerial));
    cimple::Ref<cimple::QMS_VRXHostedIndicationRegistrationService> association(hosted.clone(0, nullptr));
    EXPECT_TRUE(cimple::key_eq(association->Dependent, service.get()));

    int32_t handler = 7;
    EXPECT_TRUE(services.find(handler, service.get()) && handler == 0);
    for (PString* key : {&service->Name, &service->SystemCreationClassName, &service->SystemName,
                         &service->CreationClassName}) {
        const PString kept = *key;
        key->set("other");
        EXPECT_FALSE(services.find(handler, service.get()));
        EXPECT_EQ(handler, -1);
        *key = kept;
    }
    try {
        services.getName(1);
        FAIL() << "handler 1 accepted";
    } catch (const HandlerException& e) {
        EXPECT_EQ(e.getId(), 1);
        EXPECT_STREQ(e.message().c_str(), "getName(QMS_VRXIndicationRegistrationServiceHandler)");
    }
}

TEST_F(ModelTest, EnableTwiceDisableTwiceAndEventsWhileDisabled) {
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
    EXPECT_EQ(traces.countContaining(5, ") stopped"), 1u) << "the first task thread is gone";
    EXPECT_FALSE(cimom.last_allow_unload());
    EXPECT_TRUE(sendTest());
    EXPECT_EQ(second.delivered(), 1u);

    disable();
    disable();
    EXPECT_TRUE(traces.contains(
        1, "disableIndications(): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!"));
    EXPECT_EQ(second.releases, 1);
    EXPECT_EQ(cimom.allow_unload_calls(), 4u);
    EXPECT_TRUE(cimom.last_allow_unload());

    traces.clear();
    events().onSystemMessageLogEntry(0x42);
    EXPECT_FALSE(sendTest());
    EXPECT_EQ(traces.size(), 2u) << "nothing built, no closing trace";
    EXPECT_TRUE(traces.contains(
        1, "onSystemMessageLogEntry(42): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!"));
}

TEST_F(ModelTest, EventsDeliverTheirArgumentsOnceAndTraceTheOutcome) {
    for (unsigned n : {0x42u, 0x43u}) logHolds(*fake, n);
    ON_CALL(*fake, getLogMessageReadChunk(_, 0x44u, _))
        .WillByDefault(::testing::Throw(BaseException(QMS_HERE, "gone")));
    Recorder recorder;
    enable(recorder);
    qms_test::TraceCapture traces;
    cimple::Array<cimple::String> args;
    args.append("A");
    events().onLogMessageArguments(args);
    for (unsigned n : {0x42u, 0x43u, 0x44u}) events().onSystemMessageLogEntry(n);
    disable();

    // Which entry gets the arguments is shown on the log-entry road.
    ASSERT_EQ(recorder.delivered(), 2u);
    EXPECT_TRUE(recorder.received[0]->ProbableCauseDescription.is_null()) << "no cause from the agent";
    EXPECT_TRUE(traces.contains(1, "onSystemMessageLogEntry(43): "));
    EXPECT_EQ(traces.countContaining(1, "onSystemMessageLogEntry(44): BaseException: "), 1u);
}

// Events keep coming on three threads (the fake's disableEvents stops
// nothing): once disable has returned nothing more reaches the handler.
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

// Test indications (under the model lock) race agent events for the one
// pending slot: each indication built reaches the handler exactly once.
TEST_F(ModelTest, TestIndicationsRacingAgentEventsAreEachDeliveredOnce) {
    Recorder recorder;
    enable(recorder);
    const unsigned kEvents = 200, kTests = 50;
    std::thread agent([] {
        for (unsigned n = 0; n < kEvents; ++n) events().onDriverMonitorLogEntry(n);
    });
    unsigned sent = 0;
    for (unsigned i = 0; i < kTests; ++i) sent += sendTest();
    agent.join();
    disable();

    EXPECT_EQ(sent, kTests);
    std::set<std::string> ids;
    for (const auto& ind : recorder.received) ids.insert(ind->EventID.value.c_str());
    EXPECT_EQ(recorder.delivered(), kEvents + kTests);
    EXPECT_EQ(ids.size(), kEvents + 1) << "every agent event once, plus the test indications";
}

}  // namespace
}  // namespace model_test
}  // namespace provider
