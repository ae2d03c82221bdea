// The model singleton behind a fake facade, with the CIMOM's end of delivery.
// Whichever test first fetches the model makes it; every fake answers the
// same identity, so the tests hold in any order and alone.
//
// The fake: every operation of the command table fails the test when
// called, except the gmock methods below, which installDefaults() makes
// answer as one healthy server with empty logs.
#pragma once

#include <cimple/Memory_Cimom.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "model/IndicationModel.h"
#include "support/provider_utils.h"
#include "tolm/TOLMCalls.h"
#include "tolm/TOLMIndication.h"

namespace provider {
namespace model_test {

constexpr unsigned int kCabinet = 3;
constexpr char kSerial[] = "SN-0003";
constexpr char kHost[] = "server-3";

template <class T>
T noResult() {
    return T();
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
class UnexpectedTOLM : public TOLMCalls {
public:
#define QMS_TOLM(family, name, result, params, ...)              \
    result name params override {                                \
        ADD_FAILURE() << "the model asked the agent for " #name; \
        return noResult<result>();                               \
    }
#include "tolm/TOLMCalls.def"
};
#pragma GCC diagnostic pop

class FakeTOLM : public UnexpectedTOLM {
public:
    MOCK_METHOD(bool, accountCheck, (), (override));
    MOCK_METHOD(unsigned int, getIdentificationCabinetNumber, (), (override));
    MOCK_METHOD(PString, getChassisSerialNumber, (const TOLMKey&), (override));
    MOCK_METHOD(unsigned int, getLogMessageReadChunk,
                (const TOLMKey&, unsigned int, std::vector<LogMessage>&), (override));
    MOCK_METHOD(PStrings, getLogMessageResolutionRead, (const TOLMKey&, int), (override));
    MOCK_METHOD(PString, getLogMessageActionSummary, (const TOLMKey&, int), (override));
    MOCK_METHOD(PStrings, getLogMessageCauseRead, (const TOLMKey&, int), (override));
    MOCK_METHOD(PDatetime, getDrvMonEventTimestamp, (const TOLMKey&), (override));
    MOCK_METHOD(PString, getDrvMonEventMessageText, (const TOLMKey&), (override));
    MOCK_METHOD(PUInt, getDrvMonEventSeverity, (const TOLMKey&), (override));
    MOCK_METHOD(PUInt, getDrvMonEventId, (const TOLMKey&), (override));
    MOCK_METHOD(PUInt, getDrvMonEventComponentIndex, (const TOLMKey&), (override));
    MOCK_METHOD(PString, getSystemHostName, (const TOLMKey&), (override));
    MOCK_METHOD(PUInt, getSystemTime, (const TOLMKey&), (override));
    MOCK_METHOD(bool, enableEvents, (), (override));
    MOCK_METHOD(bool, disableEvents, (), (override));
    MOCK_METHOD(TOLMEventsListener*, setListener, (TOLMEventsListener*), (override));

    void installDefaults() {
        using ::testing::_;
        using ::testing::Return;
        ON_CALL(*this, accountCheck()).WillByDefault(Return(true));
        ON_CALL(*this, getIdentificationCabinetNumber()).WillByDefault(Return(kCabinet));
        ON_CALL(*this, getChassisSerialNumber(_)).WillByDefault(Return(PString(kSerial)));
        ON_CALL(*this, getSystemHostName(_)).WillByDefault(Return(PString(kHost)));
    }
};

MATCHER_P3(KeyIs, cabNr, objId, opCdExt, "") {
    return arg.cabNr == cabNr && arg.objId == objId && arg.opCdExt == opCdExt;
}

// The system log holds entry seqNr and its successor.
inline void logHolds(FakeTOLM& tolm, unsigned seqNr) {
    LogMessage entry, next;
    entry.seqNr = seqNr;
    next.seqNr = seqNr + 1;
    ON_CALL(tolm, getLogMessageReadChunk(KeyIs(kCabinet, 0u, 0u), seqNr, ::testing::_))
        .WillByDefault(::testing::DoAll(::testing::SetArgReferee<2>(std::vector<LogMessage>{next, entry}),
                                        ::testing::Return(2u)));
}

// A copy of every delivered indication, and the count of final calls that
// release the handler.
struct Recorder {
    static bool proc(cimple::Instance* instance, void* context) {
        auto* self = static_cast<Recorder*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (!instance) return ++self->releases;
        self->received.emplace_back(cimple::clone(cimple::cast<cimple::QMS_VRXLogEntryArrived>(instance)));
        return true;
    }
    size_t delivered() {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }
    std::mutex mutex;
    std::vector<cimple::Ref<cimple::QMS_VRXLogEntryArrived>> received;
    int releases = 0;
};

inline QMS_VRXLogEntryArrivedIndicationModel& indications() {
    return getQMS_VRXLogEntryArrivedIndicationModel();
}
inline TOLMEventsListener& events() { return dynamic_cast<TOLMEventsListener&>(indications()); }

inline void enable(Recorder& recorder) {
    cimple::Auto_Mutex lock(indications().recursiveMutex());
    indications().enableIndications(
        new cimple::Indication_Handler<cimple::QMS_VRXLogEntryArrived>(&Recorder::proc, &recorder));
}
inline void disable() {
    cimple::Auto_Mutex lock(indications().recursiveMutex());
    indications().disableIndications();
}

class ModelFixture : public ::testing::Test {
protected:
    ModelFixture() : fake(new ::testing::NiceMock<FakeTOLM>), calls(fake) {
        fake->installDefaults();
        initTOLMIndicationWith(calls);
        cimple::cimom::set_cimom_binding(&cimom);
    }
    ~ModelFixture() override {
        cimple::cimom::set_cimom_binding(nullptr);
        initTOLMIndication(false);
    }
    ::testing::NiceMock<FakeTOLM>* fake;
    ShPtr<TOLMCalls> calls;
    cimple::Memory_Cimom cimom;
};

}  // namespace model_test
}  // namespace provider
