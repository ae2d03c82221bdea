// The providers with no agent to talk to: every operation that needs the
// model answers its failure status and one trace line, never a pretended
// success, and the ones that need nothing answer as they always will.
#include <gtest/gtest.h>

#include "ModuleTestSupport.h"
#include "support/TraceCapture.h"

using namespace cimple;
using qms_test::EnumRecorder;
using qms_test::kHosted;
using qms_test::kLogEntry;
using qms_test::kService;
using qms_test::ProviderObject;

namespace {

const char kNotInitialized[] = "getTOLMIndication(): not initialized";

// Loading makes the shared agent facade without talking to the agent yet;
// every load counts it up and every unload down, and an unload with nothing
// left to count down fails.
TEST(ProviderLoad, EveryLoadCountsTheFacadeAndAnUnmatchedUnloadFails) {
    qms_test::TraceCapture traces;
    for (const auto& [op, what] : {std::pair(OPERATION_LOAD, "::load()"), {OPERATION_UNLOAD, "::unload()"}}) {
        for (const char* name : {kLogEntry, kService, kHosted}) {
            ProviderObject p(name);
            EXPECT_EQ(p.call(op), 0) << name;
            EXPECT_TRUE(traces.contains(5, name + std::string(what)));
        }
    }
    ProviderObject p(kLogEntry);
    EXPECT_EQ(p.call(OPERATION_UNLOAD), 40);
    EXPECT_TRUE(traces.contains(1, "initTOLMIndication(): not initialized"));
}

// Nor can instances be created, deleted or modified, agent or not.
TEST(ProvidersWithoutAgent, InstanceOperationsFailWithOneTraceAndTheClosingCall) {
    for (const char* name : {kService, kHosted}) {
        qms_test::TraceCapture traces;
        ProviderObject p(name);
        Instance* keys = create(p.registration()->meta_class, true);
        Instance* found = nullptr;
        EXPECT_EQ(p.call(OPERATION_GET_INSTANCE, keys, &found), 64) << name;
        EXPECT_EQ(found, nullptr);
        EnumRecorder rec;
        EXPECT_EQ(p.call(OPERATION_ENUM_INSTANCES, keys, rec.procArg(), &rec), 70);
        EXPECT_EQ(rec.calls, std::vector<std::string>{"end 70"});
        for (const char* op : {"get_instance", "enum_instances"}) {
            std::string prefix = std::string(name) + "::" + op + "(): BaseException: ";
            EXPECT_EQ(traces.countContaining(1, prefix), 1u) << prefix;
        }
        EXPECT_GE(traces.countContaining(1, kNotInitialized), 2u);
        EXPECT_EQ(p.call(OPERATION_CREATE_INSTANCE, keys), 81);
        EXPECT_EQ(p.call(OPERATION_DELETE_INSTANCE, keys), 91);
        EXPECT_EQ(p.call(OPERATION_MODIFY_INSTANCE, keys, keys), 101);
        unref(keys);
    }
}

TEST(ProvidersWithoutAgent, EnablingFailsReleasesTheHandlerAndDisablingStillSucceeds) {
    qms_test::TraceCapture traces;
    ProviderObject p(kLogEntry);
    std::vector<bool> calls;  // whether each call to the handler carried an indication
    bool (*handler)(Instance*, void*) = [](Instance* indication, void* seen) {
        static_cast<std::vector<bool>*>(seen)->push_back(indication != nullptr);
        return true;
    };
    EXPECT_EQ(p.call(OPERATION_ENABLE_INDICATIONS, reinterpret_cast<void*>(handler), &calls), 140);
    // The handler the model never took is released (a last call without an
    // indication), not leaked.
    EXPECT_EQ(calls, std::vector<bool>{false});
    // Switching off is never refused, agent or not: nothing was switched on.
    EXPECT_EQ(p.call(OPERATION_DISABLE_INDICATIONS), 0);
    EXPECT_TRUE(traces.contains(5, "QMS_VRXLogEntryArrived_Provider::enable_indications()"));
    EXPECT_EQ(traces.countContaining(
                  1, std::string("QMS_VRXLogEntryArrived_Provider::enable_indications(): BaseException: ")),
              1u);
}

// Method calls on the registration service, with the parameter record built
// as the framework builds it.
template <class Record>
struct MethodCall {
    Record* record = reinterpret_cast<Record*>(create(&Record::static_meta_class, false));
    ~MethodCall() { unref(record); }
    int invoke(const ProviderObject& p) {
        Instance* self = create(p.registration()->meta_class, true);
        int status = p.call(OPERATION_INVOKE_METHOD, self, record);
        unref(self);
        return status;
    }
};

// A null handle cannot be sent through a CIMOM; the rest of the
// registration methods' input is checked on the integration road.
TEST(ServiceMethods, WithoutModelCimMethodsAreUnsupportedAndOursAnswerOne) {
    qms_test::TraceCapture traces;
    ProviderObject p(kService);
    MethodCall<QMS_VRXIndicationRegistrationService_RequestStateChange_method> rsc;
    rsc.record->RequestedState.set(2);
    EXPECT_EQ(rsc.invoke(p), 131);
    EXPECT_TRUE(rsc.record->return_value.is_null());
    MethodCall<QMS_VRXIndicationRegistrationService_StopService_method> stop;
    EXPECT_EQ(stop.invoke(p), 131);
    MethodCall<QMS_VRXIndicationRegistrationService_ChangeAffectedElementsAssignedSequence_method> seq;
    EXPECT_EQ(seq.invoke(p), 131);
    EXPECT_TRUE(seq.record->return_value.is_null());

    MethodCall<QMS_VRXIndicationRegistrationService_UnRegisterIndication_method> byNull;
    EXPECT_EQ(byNull.invoke(p), 0);
    EXPECT_EQ(byNull.record->return_value.value, 1);
    MethodCall<QMS_VRXIndicationRegistrationService_SendTestIndication_method> test;
    EXPECT_EQ(test.invoke(p), 0);
    EXPECT_EQ(test.record->return_value.value, 1);
    EXPECT_EQ(traces.countContaining(
                  1, "QMS_VRXIndicationRegistrationService_Provider::SendTestIndication(): BaseException: "),
              1u);
}

}  // namespace
