// A fake agent facade: every operation of the command table fails the test
// when called, except the gmock methods below, which installDefaults() makes
// answer as one healthy server with empty logs.
#pragma once

#include <gmock/gmock.h>

#include <vector>

#include "tolm/TOLMCalls.h"

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
    MOCK_METHOD(PUInt, getLogMessageNrEntries, (const TOLMKey&), (override));
    MOCK_METHOD(PUInt, getDrvMonNumberEvents, (const TOLMKey&), (override));
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

// The system log holds one entry (numbered seqNr) and its successor.
inline void logHolds(FakeTOLM& tolm, LogMessage entry) {
    LogMessage next = entry;
    next.seqNr = entry.seqNr + 1;
    ON_CALL(tolm, getLogMessageReadChunk(KeyIs(kCabinet, 0u, 0u), entry.seqNr, ::testing::_))
        .WillByDefault(::testing::DoAll(::testing::SetArgReferee<2>(std::vector<LogMessage>{next, entry}),
                                        ::testing::Return(2u)));
}

}  // namespace model_test
}  // namespace provider
