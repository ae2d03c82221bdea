// The query families against the agent simulator: each family's decoding,
// checks, traces and failure result on a few members, and replies of every
// data form to every family.
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
using tolmtest::TraceLog;

namespace {

std::string raw(const std::vector<unsigned>& bytes) {
    std::string out = "{\"RAW\":[";
    for (size_t i = 0; i < bytes.size(); ++i) out += (i ? "," : "") + std::to_string(bytes[i]);
    return out + "]}";
}

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
    static std::string row(const std::string& oc, unsigned st, const std::string& da = "",
                           const std::string& extra = "") {
        return "{\"OC\":\"" + oc + "\"" + extra + ",\"ST\":" + std::to_string(st) +
               (da.empty() ? "" : ",\"DA\":" + da) + "}";
    }
    bool nothingSent() { return sim.ctl({"requests"}).out.empty(); }

    template <class F>
    std::string thrown(F f) {
        try {
            f();
        } catch (const provider::BaseException& e) {
            return e.message().c_str();
        }
        return "no exception";
    }

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

TEST_F(TolmFamilies, LogOnlyReadsAnswerOtherLogsThemselves) {
    replies({row("0x0B0C", 0, "900"), row("0x0B01", 0, "0")});
    EXPECT_EQ(calls->getMaxNumberLogEntries({1, 1, 0}), PUInt(0u));
    EXPECT_EQ(calls->getLogAvailable({1, 1, 0}), PUInt(1u));
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(calls->getMaxNumberLogEntries({1, 0, 0}), PUInt(900u));
    EXPECT_EQ(calls->getLogAvailable({1, 0, 0}), PUInt(0u));
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

TEST_F(TolmFamilies, StatusReadsThrowUnlessTheObjectIsAbsent) {
    replies({row("0x0521", 0, "511"), row("0x0401", 25, "307"), row("0x0403", 19), row("0x0501", 0, "3"),
             row("0x0607", 0, "70000"), row("0x0D00", 0, "4")});
    EXPECT_EQ(calls->getVoltageStatus(key), 0xFF);
    EXPECT_EQ(calls->getTempSensorStatus(key), 0x33);  // status 25 goes on with the data
    EXPECT_EQ(calls->getTempSensorPurpose(key), 0);    // status 19 without data
    EXPECT_EQ(calls->getPowerSupplyStatus(key), 3);
    EXPECT_TRUE(traces.has(5, "Tolm::getPowerSupplyStatus() = 3"));
    EXPECT_EQ(calls->getCPUCacheSize(key), 70000u);
    EXPECT_EQ(thrown([&] { calls->getFanStatus(key); }), "getFanStatus(): request() failed");
    EXPECT_EQ(thrown([&] { calls->getUmDiffNumberComponents(key); }),
              "getUmDiffNumberComponents(): request() failed");

    // These trace instead and answer what the reply holds, 0 without data.
    EXPECT_EQ(calls->getNumberSystemBoards(1), PUInt(4u));
    EXPECT_EQ(calls->getPowerConsumptionNumberClassComponents({1, 0, 5}), PUInt(0u));
    EXPECT_TRUE(traces.has(1, "getPowerConsumptionNumberClassComponents(): request() failed"));
    replies({row("0x0D00", 25, "9")});
    EXPECT_EQ(calls->getNumberSystemBoards(1), PUInt(9u));
    EXPECT_TRUE(traces.has(1, "getNumberSystemBoards(): request() failed"));
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

TEST_F(TolmFamilies, ConfigurationReads) {
    replies({row("0xE001", 0, "511", ",\"OE\":\"0x020E\""), row("0xE001", 0, "1", ",\"OE\":\"0x0040\""),
             row("0xE001", 0, "70000", ",\"OE\":\"0x0041\""), row("0xE001", 0, "256", ",\"OE\":\"0x1446\""),
             row("0xE001", 0, "4294967298", ",\"OE\":\"0x1A4A\""),
             row("0xE001", 12, "\"srv\"", ",\"OE\":\"0x0201\""), row("0xE001", 0, "", ",\"OE\":\"0x0204\"")});
    EXPECT_EQ(calls->getConfTimeZone(), PUInt(0xFFu));
    EXPECT_EQ(calls->getConfWatchdogEnable({1, 1, 0}), PUInt(1u));
    EXPECT_TRUE(calls->getConfWatchdogEnable({1, 0, 0}).is_null());  // item 0x0042 is not answered
    EXPECT_TRUE(calls->getConfWatchdogPresent({1, 1, 0}));
    EXPECT_FALSE(calls->getConfWatchdogPresent({1, 0, 0}));
    EXPECT_EQ(calls->getConfWatchdogTime({1, 1, 0}), PUInt(70000u));
    EXPECT_EQ(calls->getConfBMCUseDHCP(key), PBool(false));  // a byte: 256 has no bit in it
    EXPECT_EQ(calls->getConfUpdScheduleDate(), provider::PUInt64(0x100000002ull));
    EXPECT_EQ(calls->getConfSystemName(), text("srv"));
    EXPECT_TRUE(calls->getConfSystemContact().is_null());
    EXPECT_TRUE(calls->getConfServerAssetTag().is_null());
    EXPECT_TRUE(traces.has(1, "getConfServerAssetTag(): request() failed"));

    sim.ctl({"clear-requests"});
    EXPECT_EQ(calls->getConfMessageLogNoWrap({1, 1, 0}), PBool(true));
    EXPECT_TRUE(nothingSent());
}

TEST_F(TolmFamilies, ConfigurationWrites) {
    replies({row("0xE002", 0, "", ",\"OE\":\"0x0084\""), row("0xE002", 12, "", ",\"OE\":\"0x0200\""),
             row("0xE002", 0, "", ",\"OE\":\"0x0040\""), row("0xE002", 0, "", ",\"OE\":\"0x000E\"")});
    EXPECT_NO_THROW(calls->setConfDisableFanTest(0x101));
    EXPECT_NO_THROW(calls->setConfCabinetLocation("room 1"));
    EXPECT_EQ(thrown([&] { calls->setConfUpdScheduleDate(1); }),
              "setConfUpdScheduleDate(): request() failed");
    EXPECT_EQ(thrown([&] { calls->setConfFanFailShutdownDelay(key, 9); }),
              "setConfFanFailShutdownDelay(): request() failed");

    EXPECT_TRUE(calls->setConfWatchdogEnable({1, 1, 0}, 1));
    EXPECT_FALSE(calls->setConfWatchdogEnable({1, 0, 0}, 1));
    EXPECT_TRUE(traces.has(1, "setConfWatchdogEnable(): request() failed"));
    EXPECT_TRUE(calls->setConfCIMRecordLogLanguage({1, 0, 0}, 2));
    sim.ctl({"clear-requests"});
    EXPECT_FALSE(calls->setConfCIMRecordLogLanguage({1, 1, 0}, 2));
    calls->setConfAlarmPALVOId("x");
    EXPECT_TRUE(traces.has(5, "Tolm::setConfAlarmPALVOId(): not implemented"));
    EXPECT_TRUE(nothingSent());
}

TEST_F(TolmFamilies, Actions) {
    replies({row("0x0B03", 0), row("0x180A", 0), row("0x0205", 0)});
    EXPECT_TRUE(calls->doClearLog({1, 0, 0}));
    EXPECT_TRUE(calls->DrvMonComponentStatusClearAll(key));
    EXPECT_FALSE(calls->DrvMonComponentStatusClear(key));
    EXPECT_TRUE(traces.has(1, "CM_DrvMonComponentStatusClear(): request() failed"));
    EXPECT_TRUE(calls->doRequestShutdownAndOff());
    EXPECT_FALSE(calls->doUmServerStartCheck(key));

    replies({row("0x0B03", 0, "", ",\"OI\":1")});
    EXPECT_FALSE(calls->doClearLog({1, 0, 0}));
    EXPECT_TRUE(traces.has(1, "doClearLog(0): request() failed"));
    replies({row("0x0B03", 1, "", ",\"OI\":1"), row("0x0B03", 0)});
    EXPECT_FALSE(calls->doClearLog({1, 0, 0}));
    EXPECT_TRUE(traces.has(1, "doClearLog(1): request() failed"));
    sim.ctl({"clear-requests"});
    EXPECT_TRUE(calls->doClearLog({1, 1, 0}));
    EXPECT_TRUE(nothingSent());
}

TEST_F(TolmFamilies, RaidRebuildAnswersTheAgentsErrorCode) {
    // The simulator's replies carry no "EC": the code is then 0.
    replies({"{\"OC\":\"0x21E1\",\"OE\":3,\"OI\":{\"AdapterIdx\":1,\"PDriveIdx\":4},\"CA\":1,\"ST\":0}"});
    EXPECT_EQ(calls->doRaidPhysicalDriveSuspendRebuild({1, 4, 1}), 0);
    EXPECT_TRUE(traces.has(5, "doRaidPhysicalDriveSuspendRebuild: returned: 0"));
    EXPECT_EQ(calls->doRaidPhysicalDriveResumeRebuild({1, 4, 1}), 10);  // method 4 is not answered
    EXPECT_EQ(calls->doRaidLogicalDriveStartRebuild({1, 4, 1}), 10);
    EXPECT_TRUE(traces.has(1, "doRaidLogicalDriveStartRebuild: request() failed"));
}

TEST_F(TolmFamilies, NetworkAddresses) {
    replies({row("0x1707", 0, raw({1, 2, 10, 11, 12, 13})), row("0xE226", 0, raw({0, 0, 0, 0, 0, 0, 9, 9})),
             row("0xE001", 0, raw({1, 0, 0, 0, 0, 0, 0, 255}), ",\"OE\":\"0x1445\""),
             row("0x1703", 0, raw({192, 168, 0, 1})), row("0xE222", 0, "1.5"),
             row("0xE223", 0, raw({0, 0}))});
    EXPECT_EQ(calls->getNetworkInfoIfMacAddress(key), text("01020A0B0C0D"));
    EXPECT_TRUE(calls->getIdentificationParentMacAddress(key).is_null());
    EXPECT_EQ(calls->getConfBMCMACAddr(key), text("01000000000000FF"));

    const auto ip = calls->getNetworkInfoIfIpAddress(key);
    ASSERT_FALSE(ip.is_null());
    ASSERT_EQ(ip.value.size(), 4u);
    EXPECT_EQ(ip.value[0], 192);
    EXPECT_EQ(ip.value[3], 1);
    EXPECT_TRUE(calls->getIdentificationParentIpAddress(key).is_null());
    EXPECT_TRUE(traces.has(1, "getIp(): sip.GetDataStream() failed"));
    EXPECT_EQ(calls->getIdentificationParentNetmask(key).value.size(), 2u);
    EXPECT_TRUE(calls->getIdentificationParentGateway(key).is_null());
}

TEST_F(TolmFamilies, FixedAnswersAndUndecodedReads) {
    replies({});
    EXPECT_EQ(calls->getCPUInstanceID(key), text(""));
    EXPECT_EQ(calls->getChassisInstanceID(), text(""));
    PUChar gel, css;
    calls->getStatusTreeNodeGELAndCSSStatus(key, "node", gel, css);
    EXPECT_TRUE(gel.is_null() && css.is_null());
    EXPECT_TRUE(traces.has(1, "getStatusTreeNodeGELAndCSSStatus(): not implemented"));
    EXPECT_TRUE(calls->getLANControllers(1).empty());
    EXPECT_EQ(thrown([&] { calls->openControllerCardSession(1); }),
              "openControllerCardSession(): request() failed");
    EXPECT_TRUE(nothingSent());
}

TEST_F(TolmFamilies, StatusTreeReadsSendTheNode) {
    replies({row("0x2333", 0, "5"), row("0x2330", 12, "3"), row("0x2338", 0, "1"), row("0x2331", 0, "\"B1\""),
             row("0x2335", 0, "\"Fans\""), row("0x2337", 0, "7")});
    EXPECT_EQ(calls->getStatusTreeNodeStatus(key, "A"), PUInt(5u));
    EXPECT_EQ(calls->getStatusTreeNodeNrChildren(key, "A"), PUInt(3u));
    EXPECT_EQ(calls->getStatusTreeNodeIsCSS(key, "A"), PUInt(1u));
    EXPECT_EQ(calls->getStatusTreeNodeGetChild(key, "A"), text("B1"));
    EXPECT_EQ(calls->getStatusTreeNodeDesignation(key, "A"), text("Fans"));
    EXPECT_EQ(calls->getStatusTreeNodeAssociationKey(key, "A"), text(""));  // data, but no text
    EXPECT_TRUE(traces.has(5, "Tolm::getStatusTreeNodeStatus(A)"));
    replies({row("0x2333", 0), row("0x2331", 1, "\"B1\"")});
    EXPECT_TRUE(calls->getStatusTreeNodeStatus(key, "A").is_null());
    EXPECT_TRUE(calls->getStatusTreeNodeGetChild(key, "A").is_null());
    EXPECT_TRUE(traces.has(1, "getStatusTreeNodeGetChild(A): request() failed"));
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

TEST_F(TolmFamilies, CabinetNumbers) {
    replies({row("0xE204", 0, "1"), row("0x0220", 0, raw({2, 0, 0x34, 0x12}))});
    EXPECT_EQ(calls->getCabNrs(), (std::vector<unsigned>{1, 2, 0x1234}));
    EXPECT_TRUE(traces.has(1, "Tolm::getCabNrs(): NumDetectedSECabinets=2"));
    EXPECT_TRUE(traces.has(1, "Tolm::getCabNrs(): seCabinetNr=1234"));
    replies({row("0xE204", 0, "1"), row("0x0220", 0, raw({2, 0, 3}))});
    EXPECT_EQ(calls->getCabNrs(), (std::vector<unsigned>{1}));
    replies({row("0xE204", 0, "1")});
    EXPECT_EQ(calls->getCabNrs(), (std::vector<unsigned>{1}));
    replies({row("0xE204", 3, "1")});
    EXPECT_EQ(thrown([&] { calls->getCabNrs(); }), "getCabNrs(): request() failed");
}

TEST_F(TolmFamilies, VoltageThresholds) {
    replies({row("0x0523", 0, raw({0xFE, 0xFF, 0x10, 0x00, 9}))});
    EXPECT_EQ(calls->getVoltageThresholds(key), (std::vector<int>{-2, 16}));
    replies({row("0x0523", 0, raw({}))});
    EXPECT_TRUE(calls->getVoltageThresholds(key).empty());
    replies({row("0x0523", 0, raw({1, 2}))});
    EXPECT_THROW(calls->getVoltageThresholds(key), std::out_of_range);
    replies({});
    EXPECT_TRUE(calls->getVoltageThresholds(key).empty());
    EXPECT_TRUE(traces.has(1, "getVoltageThresholds(): request() failed"));
}

TEST_F(TolmFamilies, ComponentStatusByPciAddress) {
    replies({row("0x1808", 0, "511")});
    EXPECT_EQ(calls->getDrvMonComponentStatusByAddress({1, 0x030201, 0}), PUInt(0xFFu));
    EXPECT_EQ(calls->getDrvMonComponentStatusByAddress({1, 0xFFFFFF, 0}), PUInt(0xFFu));
    EXPECT_EQ(calls->getDrvMonComponentStatusByAddress({1, 0xFF00FF, 0}), PUInt(0xFFu));
    const std::string sent = sim.ctl({"requests"}).out;
    EXPECT_NE(sent.find("\"DA\":\"TYPE_PCI&BUS_3&DEV_2&FUNC_1\""), std::string::npos) << sent;
    EXPECT_NE(sent.find("\"DA\":\"\""), std::string::npos) << sent;
    EXPECT_NE(sent.find("\"DA\":\"TYPE_PCI&BUS_255&DEV_0&FUNC_255\""), std::string::npos) << sent;
}

// Replies of every data form to a member of each family: the family's
// failure result or a value, never a crash.
TEST_F(TolmFamilies, EveryDataFormToEveryFamily) {
    const std::vector<std::string> forms = {
        "\"text\"", raw({}), raw({1, 2, 3}), "18446744073709551615", "-1",      "1.5",
        "true",     "null",  "{\"a\":1}",    "[\"a\",\"b\"]",        "[[[1]]]", "{\"RAW\":[\"x\",300,-4]}"};
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
