// The query families against the agent simulator: the decoding, checks and
// traces of the families the module reads through, and for every family its
// failure result on a lost link and its answer to replies of every data form.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TolmTestSupport.h"
#include "common/RqbdSim.h"
#include "support/provider_utils.h"
#include "switchclient/CimSwitchClient.h"
#include "switchclient/SipJson.h"
#include "tolm/TOLMCalls.h"

using provider::PBool;
using provider::PString;
using provider::PUChar;
using provider::PUInt;
using provider::TOLMCalls;
using provider::TOLMKey;
using tolmtest::rawJson;
using tolmtest::row;
using tolmtest::TraceLog;

namespace {

PString text(const char* s) { return PString(cimple::String(s)); }

class TolmFamilies : public ::testing::Test {
protected:
    TolmFamilies() : calls(provider::newTOLMCalls("tolm-families")) {}

    // Reply rows, each {"OC":..[,"OE"/"OI"..],"ST":..[,"DA":..]}; anything
    // else is answered with status 1.
    void replies(const std::vector<std::string>& rows) {
        std::string json = "{\"cabinet\":1,\"defaultStatus\":1,\"replies\":[";
        for (size_t i = 0; i < rows.size(); ++i) json += (i ? "," : "") + rows[i];
        const auto r = sim.ctl({"scenario", json + "]}"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        sim.ctl({"clear-requests"});
    }
    bool nothingSent() { return sim.ctl({"requests"}).out.empty(); }

    qmstest::RqbdSim sim;
    TraceLog traces;
    ShPtr<TOLMCalls> calls;
    const TOLMKey key{1, 2, 0};
};

TEST_F(TolmFamilies, NumberReadsWithTheDataCheck) {
    replies({row("0x0527", 0, "4660"), row("0x33CC", 0, "511"), row("0x3317", 0, "2"), row("0x3309", 0, "0"),
             row("0x3332", 0, "1000"), row("0x0524", 0)});
    EXPECT_EQ(calls->getVoltageNominal(key), PUInt(4660u));
    EXPECT_EQ(calls->getUmHistoryComponentVendorSeverity(key), PUChar(0xFF));
    EXPECT_EQ(calls->getUmDiffBinaryLoaded(key), PBool(true));
    EXPECT_EQ(calls->getUmDiffIsMandatoryComponent(key), PBool(false));
    EXPECT_EQ(calls->getUmServerLastCheckTime(key).value.usec(), 1000ull * 1000000u);
    EXPECT_TRUE(calls->getCurrentVoltage(key).is_null());  // accepted, but no data
    EXPECT_TRUE(calls->getCurrentTemperature(key).is_null());
    EXPECT_TRUE(traces.has(1, "getCurrentTemperature(): request() failed"));
    EXPECT_TRUE(calls->getNumberFans(0x1F5).is_null());
}

TEST_F(TolmFamilies, NumberReadsWithTheStatusCheck) {
    replies({row("0x0611", 12, "7"), row("0x0615", 0), row("0xE209", 1, "3")});
    EXPECT_EQ(calls->getBootCPU(key), PUInt(7u));
    EXPECT_TRUE(calls->getGetPhysicalCpuNr(key).is_null());
    EXPECT_TRUE(calls->getIdentificationChassisCabinetNumber(1).is_null());
    EXPECT_TRUE(traces.has(1,
                           "getIdentificationChassisCabinetNumber(): "
                           "request(CM_IdentificationChassisCabinetNumber) failed"));
    EXPECT_TRUE(calls->getIdentificationCabinetType(1).is_null());
    EXPECT_TRUE(
        traces.has(1, "getIdentificationCabinetType(): request(CM_IdentificationCabinetType) failed"));
}

TEST_F(TolmFamilies, StringReadsByCheck) {
    replies({row("0x0304", 0, "\"FAN1\""), row("0x0404", 0), row("0x0605", 21), row("0x0602", 3, "\"x\""),
             row("0x1802", 0, "\"PCI\\\\1\""), row("0x21D0", 0, "\"{tree}\"", ",\"OE\":1")});
    EXPECT_EQ(calls->getFanDesignation(key), text("FAN1"));
    EXPECT_TRUE(calls->getTempSensorDesignation(key).is_null());  // data check: no data is null
    EXPECT_EQ(calls->getCPUModelName(key), text(""));             // status check: accepted is enough
    EXPECT_TRUE(calls->getCPUSocketDesignation(key).is_null());
    EXPECT_EQ(calls->getDrvMonComponentAddressKey(key), text("PCI\\1"));

    std::string tree = "old";
    calls->getRaidStorageDeviceTree(key, tree);
    EXPECT_EQ(tree, "{tree}");
    replies({row("0x21D0", 1, "\"{new}\"")});
    calls->getRaidStorageDeviceTree(key, tree);
    EXPECT_EQ(tree, "{tree}");
}

TEST_F(TolmFamilies, SystemInformationAndElementInformation) {
    replies({row("0x0C00", 0, "\"Fan Co\"", ",\"OE\":\"0x130A\""),
             row("0x0C00", 0, "\"\"", ",\"OE\":\"0x0A08\""),
             row("0x0C00", 0, "\"Intel\"", ",\"OE\":\"0x0A0A\""),
             row("0x0C00", 0, "\"x\"", ",\"OE\":\"0x0A0B\"")});
    EXPECT_EQ(calls->getFanManufacturer(key), text("Fan Co"));
    EXPECT_TRUE(calls->getFanManufactureDate(key).is_null());  // no reply row: status 1
    EXPECT_FALSE(calls->getElementManufactureDate({1, 2, 0x0A}).is_null());

    EXPECT_EQ(calls->getElementManufacturer({1, 2, 0x0A}), text("Intel"));
    EXPECT_EQ(traces.count(5, "Tolm::getElementManufacturer()"), 1u);
    EXPECT_TRUE(calls->getElementName({1, 2, 0x0A}).is_null());  // found, but empty
    EXPECT_TRUE(calls->getElementDescription({1, 2, 0x0A}).is_null());
    EXPECT_TRUE(traces.has(5, "getElementDescription():Description not found"));

    // Controller cards come from the card caches, not from the agent.
    sim.ctl({"clear-requests"});
    EXPECT_TRUE(calls->getElementSerialNumber({1, 2, 166}).is_null());
    EXPECT_TRUE(calls->getElementVersion({1, 2, 12}).is_null());
    EXPECT_TRUE(traces.has(5, "getElementSerialNumber():SerialNumber not found"));
    EXPECT_TRUE(nothingSent());
}

// An agent link that loses every request, in the ways a link may say so: by
// the error code, leaving in the message what a careless reader would take
// for the agent's reply (status 19, the object is absent; data 7; error code
// 3) and answering 19 as a refusal would, or 0, the status a request carrying
// data sets in its own message; or, as the switch client does, by its result
// alone (19 is also a transport code) with the message's status removed.
struct Loss {
    unsigned result;
    long error;
};
class LostLink : public provider::CimSwitchClient {
public:
    explicit LostLink(Loss loss) : loss_(loss) {}
    unsigned request(SipJson& message, long* error) override {
        if (loss_.error != 0) {
            message.SetDataUIntValue(7, 19);
            message.SetCmdParam("EC", 3);
        } else {
            message.GetCmd();
            message.RemoveCmdParam("ST");
        }
        if (error) *error = loss_.error;
        return loss_.result;
    }
    bool enableEvents(bool, long* error) override {
        if (error) *error = provider::kSwitchClientFailure;
        return false;
    }
    bool accountCheck() override { return false; }

private:
    Loss loss_;
};

template <class T>
std::string outcome(const cimple::Property<T>& p) {
    return p.is_null() ? "null" : "value";
}
std::string outcome(bool b) { return b ? "true" : "false"; }
std::string outcome(int n) { return std::to_string(n); }
std::string outcome(unsigned n) { return std::to_string(n); }
template <class T>
std::string outcome(const std::vector<T>& v) {
    return v.empty() ? "empty" : "items";
}

TEST(TolmTransport, AFailedRequestIsNeverReadAsTheAgentsAnswer) {
    const TOLMKey key{1, 0, 0x0A};
    std::vector<provider::LogMessage> entries;
    std::string tree = "kept";
    using Call = std::function<std::string(TOLMCalls&)>;
    const std::vector<std::pair<std::string, Call>> cases = {
        {"null", [&](TOLMCalls& c) { return outcome(c.getVoltageNominal(key)); }},
        {"null", [&](TOLMCalls& c) { return outcome(c.getBootCPU(key)); }},
        {"null", [&](TOLMCalls& c) { return outcome(c.getIdentificationCabinetType(1)); }},
        {"throws", [&](TOLMCalls& c) { return outcome(static_cast<int>(c.getVoltageStatus(key))); }},
        {"0",
         [&](TOLMCalls& c) {
             const PUInt boards = c.getNumberSystemBoards(1);
             return boards.is_null() ? "null" : std::to_string(boards.value);
         }},
        {"null", [&](TOLMCalls& c) { return outcome(c.getFanDesignation(key)); }},
        {"null", [&](TOLMCalls& c) { return outcome(c.getConfTimeZone()); }},
        {"throws", [&](TOLMCalls& c) { return c.setConfDisableFanTest(1), "returned"; }},
        {"false", [&](TOLMCalls& c) { return outcome(c.setConfWatchdogEnable(key, 1)); }},
        {"false", [&](TOLMCalls& c) { return outcome(c.doClearLog(key)); }},
        {"10", [&](TOLMCalls& c) { return outcome(c.doRaidPhysicalDriveStartRebuild(key)); }},
        {"null", [&](TOLMCalls& c) { return outcome(c.getNetworkInfoIfIpAddress(key)); }},
        {"null", [&](TOLMCalls& c) { return outcome(c.getStatusTreeNodeStatus(key, "A")); }},
        {"0", [&](TOLMCalls& c) { return outcome(c.getLogMessageReadChunk(key, 1, entries)); }},
        {"null", [&](TOLMCalls& c) { return outcome(c.getLogMessageCauseRead(key, 1)); }},
        {"null", [&](TOLMCalls& c) { return outcome(c.getSystemTime(key)); }},
        {"throws", [&](TOLMCalls& c) { return outcome(c.getIdentificationCabinetNumber()); }},
        {"throws", [&](TOLMCalls& c) { return outcome(c.getCabNrs()); }},
        {"kept", [&](TOLMCalls& c) { return c.getRaidStorageDeviceTree(key, tree), tree; }},
    };
    for (const Loss loss :
         {Loss{19, provider::kSwitchClientFailure}, Loss{0, provider::kSwitchClientFailure}, Loss{19, 0}}) {
        TraceLog traces;
        ShPtr<TOLMCalls> calls = provider::newTOLMCalls(ShPtr<provider::CimSwitchClient>(new LostLink(loss)));
        for (size_t i = 0; i < cases.size(); ++i) {
            std::string got;
            try {
                got = cases[i].second(*calls);
            } catch (const provider::BaseException&) {
                got = "throws";
            }
            EXPECT_EQ(got, cases[i].first)
                << "case " << i << ", result " << loss.result << ", error " << loss.error;
        }
        EXPECT_TRUE(traces.has(1, "getVoltageNominal(): request() failed"));
    }
}

// Replies of every data form to a member of each family: the family's
// failure result or a value, never a crash.
TEST_F(TolmFamilies, EveryDataFormToEveryFamily) {
    const std::vector<std::string> forms = {"\"text\"",
                                            rawJson({}),
                                            rawJson({1, 2, 3}),
                                            "18446744073709551615",
                                            "-1",
                                            "1.5",
                                            "true",
                                            "null",
                                            "{\"a\":1}",
                                            "[\"a\",\"b\"]",
                                            "[[[1]]]",
                                            "{\"RAW\":[\"x\",300,-4]}"};
    for (const auto& da : forms) {
        SCOPED_TRACE(da);
        std::vector<std::string> rows;
        for (const char* oc : {"0x0527", "0x0611", "0x0521", "0x0304", "0x0605", "0x0C00", "0xE001", "0x1707",
                               "0x1703", "0x0523", "0x1808", "0xE204", "0x0220", "0x21E1"})
            rows.push_back(row(oc, 0, da));
        replies(rows);
        const auto number = calls->getVoltageNominal(key);
        if (da[0] == '"' || da[0] == '[' || da == "1.5" || da == "18446744073709551615") {
            EXPECT_TRUE(number.is_null());
        }
        if (da == "null") {
            EXPECT_TRUE(number.is_null());
        }
        calls->getBootCPU(key);
        calls->getVoltageStatus(key);
        const auto fan = calls->getFanDesignation(key);
        EXPECT_NE(fan.is_null(), da != "null");
        if (da == "-1" || da == "1.5" || da == "true" || da[0] == '[' || da == "{\"a\":1}") {
            EXPECT_EQ(fan, text(""));
        }
        calls->getCPUModelName(key);
        calls->getCPUName(key);
        calls->getElementName({1, 2, 0x0A});
        calls->getConfTimeZone();
        const auto date = calls->getConfUpdScheduleDate();
        if (da[0] == '"') {
            EXPECT_TRUE(date.is_null());
        }
        calls->getConfSystemName();
        calls->getConfBMCIpAddr(key);
        calls->getNetworkInfoIfMacAddress(key);
        calls->getNetworkInfoIfIpAddress(key);
        try {
            calls->getVoltageThresholds(key);
        } catch (const std::out_of_range&) {
            // one to three bytes
        }
        calls->getDrvMonComponentStatusByAddress(key);
        try {
            calls->getCabNrs();
        } catch (const provider::BaseException&) {
            // no usable first reply
        }
        calls->doRaidPhysicalDriveStartRebuild(key);
    }
}

}  // namespace
