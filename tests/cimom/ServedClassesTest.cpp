// What a client reads from the classes the module serves in sfcb: the staged
// classes in root/qms only, and the registration service and its hosting
// association with every key and string exactly as the module made them.
#include <algorithm>

#include "cimom/CimomSupport.h"

namespace cimomtest {
namespace {

const char kService[] = "QMS_VRXIndicationRegistrationService";
const char kHosted[] = "QMS_VRXHostedIndicationRegistrationService";

// Computer system and service under the road scenario (chassis ROAD0001).
const char kSystemPath[] =
    "root/qms:QMS_VRXComputerSystem.CreationClassName=\"QMS_VRXComputerSystem\","
    "Name=\"ROAD0001\"";

const Properties kServiceProperties = {
    {"Name", "\"RegistrationService\""},
    {"CreationClassName", "\"QMS_VRXIndicationRegistrationService\""},
    {"SystemName", "\"ROAD0001\""},
    {"SystemCreationClassName", "\"QMS_VRXComputerSystem\""},
    {"Caption", "\"Indication Registration Service\""},
    {"Description", "\"Service which allows to register indication subscriptions\""},
    {"Started", "TRUE"},
    // Defaults of the CIMOM's CIM_EnabledLogicalElement, which sfcb fills
    // into every instance it is handed.
    {"EnabledState", "5"},
    {"RequestedState", "12"},
    {"EnabledDefault", "2"},
    {"TransitioningToState", "12"},
};

class CimomServedClasses : public CimomTest {};

TEST_F(CimomServedClasses, KeysAndStringsOfTheServiceAndItsAssociationReadBackExactly) {
    // The registration staged the classes into root/qms, and only there.
    CimAnswer a = wbemcli("ecn", kRootQms);
    for (const char* cls : {"QMS_VRXLogEntryArrived", kService, kHosted})
        EXPECT_NE(std::find(a.names.begin(), a.names.end(), cls), a.names.end()) << cls << " not in root/qms";
    for (const std::string& cls : wbemcli("ecn", "root/cimv2").names)
        EXPECT_NE(cls.rfind("QMS_", 0), 0u) << cls << " landed in root/cimv2";

    const std::string qms = std::string(kRootQms) + ":", service = servicePath();
    const std::string hostedName =
        std::string(kHosted) + ".Antecedent=" + quoted(kSystemPath) + ",Dependent=" + quoted(service);
    const Properties hosted = {{"Antecedent", kSystemPath}, {"Dependent", service}};
    // ei gives the instance names, gi (by the keys the module gave) none.
    const struct {
        const char* operation;
        std::string path, name;
        const Properties& expected;
    } reads[] = {
        {"ei", qms + kService, kServiceName, kServiceProperties},
        {"gi", service, "", kServiceProperties},
        {"ei", qms + kHosted, hostedName, hosted},
        {"gi", qms + kHosted + ".Antecedent=" + kSystemPath + ",Dependent=" + service, "", hosted},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(std::string(r.operation) + " " + r.path);
        a = wbemcli(r.operation, r.path);
        ASSERT_EQ(a.instances.size(), 1u);
        EXPECT_EQ(a.instances[0].first, r.name);
        expectProperties(a.instances[0].second, r.expected);
    }
    EXPECT_EQ(wbemcli("ein", qms + kHosted).names, std::vector<std::string>{hostedName});
}

}  // namespace
}  // namespace cimomtest
