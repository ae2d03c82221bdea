#include <gtest/gtest.h>

#include "FakeTOLM.h"
#include "model/HelperComputerSystem.h"
#include "support/TraceCapture.h"
#include "support/provider_utils.h"

namespace provider {
namespace model_test {
namespace {

using ::testing::NiceMock;
using ::testing::Return;

TEST(ComputerSystemKeys, CabinetZeroGivesAllZeroKeyAndOnlyTheTwoKeysAreSet) {
    NiceMock<FakeTOLM> tolm;
    EXPECT_CALL(tolm, getIdentificationCabinetNumber()).WillRepeatedly(Return(0u));
    EXPECT_CALL(tolm, getChassisSerialNumber(KeyIs(0u, 0u, 0u))).WillOnce(Return(PString("")));

    const TOLMKey key = createCSKey(tolm);
    EXPECT_EQ(key.cabNr, 0u);
    EXPECT_EQ(key.objId, 0u);
    EXPECT_EQ(key.opCdExt, 0u);

    cimple::Ref<cimple::QMS_VRXComputerSystem> system = createComputerSystemKeys(tolm);
    ASSERT_TRUE(system);
    EXPECT_EQ(system->Name, PString("")) << "an empty serial number is still a name";
    EXPECT_EQ(system->CreationClassName, PString("QMS_VRXComputerSystem"));
    // Everything else is as the class defaults leave it.
    cimple::Ref<cimple::QMS_VRXComputerSystem> defaults(cimple::QMS_VRXComputerSystem::create(true));
    defaults->Name = system->Name;
    defaults->CreationClassName = system->CreationClassName;
    EXPECT_EQ(cimple::to_text(system.get()), cimple::to_text(defaults.get()));
}

TEST(ComputerSystemKeys, MissingSerialNumberThrowsAndIsTraced) {
    NiceMock<FakeTOLM> tolm;
    EXPECT_CALL(tolm, getIdentificationCabinetNumber()).WillOnce(Return(7u));
    EXPECT_CALL(tolm, getChassisSerialNumber(KeyIs(7u, 0u, 0u))).WillOnce(Return(PString()));
    qms_test::TraceCapture traces;
    try {
        createComputerSystemKeys(tolm);
        FAIL() << "no exception";
    } catch (const BaseException& e) {
        EXPECT_STREQ(e.message().c_str(), "createComputerSystemKeys(): QMS_VRXComputerSystem.Name is NULL");
        EXPECT_STREQ(e.file(), "HelperComputerSystem");
    }
    EXPECT_EQ(traces.countContaining(1, "QMS_VRXComputerSystem.Name is NULL"), 1u);
}

}  // namespace
}  // namespace model_test
}  // namespace provider
