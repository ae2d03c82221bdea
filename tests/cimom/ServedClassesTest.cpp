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
    ASSERT_TRUE(a.ok()) << a.describe();
    for (const char* cls : {"QMS_VRXLogEntryArrived", kService, kHosted})
        EXPECT_NE(std::find(a.names.begin(), a.names.end(), cls), a.names.end()) << cls << " not in root/qms";
    a = wbemcli("ecn", "root/cimv2");
    ASSERT_TRUE(a.ok()) << a.describe();
    for (const std::string& cls : a.names)
        EXPECT_NE(cls.rfind("QMS_", 0), 0u) << cls << " landed in root/cimv2";

    const std::string servicePathText = servicePath();
    {
        SCOPED_TRACE("ei of the service");
        a = wbemcli("ei", std::string(kRootQms) + ":" + kService);
        ASSERT_TRUE(a.ok()) << a.describe();
        ASSERT_EQ(a.instances.size(), 1u);
        EXPECT_EQ(a.instances[0].first, kServiceName);
        expectProperties(a.instances[0].second, kServiceProperties);
    }
    {
        SCOPED_TRACE("gi of the service by the keys it gave");
        a = wbemcli("gi", servicePath());
        ASSERT_TRUE(a.ok()) << a.describe();
        ASSERT_EQ(a.instances.size(), 1u);
        expectProperties(a.instances[0].second, kServiceProperties);
    }

    const Properties hosted = {{"Antecedent", kSystemPath}, {"Dependent", servicePathText}};
    {
        SCOPED_TRACE("ei and ein of the association");
        a = wbemcli("ei", std::string(kRootQms) + ":" + kHosted);
        ASSERT_TRUE(a.ok()) << a.describe();
        ASSERT_EQ(a.instances.size(), 1u);
        expectProperties(a.instances[0].second, hosted);
        const std::string name = std::string(kHosted) + ".Antecedent=" + quoted(kSystemPath) +
                                 ",Dependent=" + quoted(servicePathText);
        EXPECT_EQ(a.instances[0].first, name);
        a = wbemcli("ein", std::string(kRootQms) + ":" + kHosted);
        ASSERT_TRUE(a.ok()) << a.describe();
        EXPECT_EQ(a.names, std::vector<std::string>{name});
    }
    {
        SCOPED_TRACE("gi of the association by its references");
        a = wbemcli("gi", std::string(kRootQms) + ":" + kHosted + ".Antecedent=" + kSystemPath +
                              ",Dependent=" + servicePath());
        ASSERT_TRUE(a.ok()) << a.describe();
        ASSERT_EQ(a.instances.size(), 1u);
        expectProperties(a.instances[0].second, hosted);
    }
}

}  // namespace
}  // namespace cimomtest
