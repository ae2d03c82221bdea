// The retry settings as an administrator reaches them: the
// CIM_IndicationService instance in root/interop, read and set with instance
// operations, what bad input it refuses, and that what was set outlives the
// host when it keeps a store.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/Programs.h"
#include "core/Cimom.h"
#include "export/Exporter.h"

namespace cimhost {
namespace {

std::string show(const Instance& i, const char* name) {
    const Value* v = i.property(name);
    return v ? v->toText() : "absent";
}

TEST(IndicationServiceTest, RetrySettingsAreSetThroughTheInstanceAndKeptBesideTheStore) {
    const qmstest::ScratchDir dir("service-settings");
    Cimom::Options options;
    options.storeFile = dir.file("interop.json");
    {
        Cimom cimom(options);
        std::vector<Instance> found;
        ASSERT_TRUE(cimom.enumerateInstances("root/interop", "CIM_IndicationService", &found).ok());
        ASSERT_EQ(found.size(), 1u);
        const ObjectPath path = found[0].path;
        EXPECT_EQ(show(found[0], "DeliveryRetryAttempts"), "3");
        EXPECT_EQ(show(found[0], "DeliveryRetryInterval"), "20");

        Instance change = found[0];
        change.properties.set("DeliveryRetryAttempts", Value::uint16(5));
        change.properties.set("DeliveryRetryInterval", Value::uint32(7));
        ASSERT_TRUE(cimom.modifyInstance(change).ok());
        Instance read;
        ASSERT_TRUE(cimom.getInstance(path, &read).ok());
        EXPECT_EQ(show(read, "DeliveryRetryAttempts"), "5");
        EXPECT_EQ(show(read, "DeliveryRetryInterval"), "7");
        EXPECT_EQ(cimom.exporter()->retryAttempts(), 5u);
        EXPECT_EQ(cimom.exporter()->retryInterval(), std::chrono::seconds(7));

        const struct Row {
            const char* property;
            Value value;
            CMPIrc rc;
        } bad[] = {
            {"DeliveryRetryAttempts", Value::uint32(70000), CMPI_RC_ERR_INVALID_PARAMETER},
            {"DeliveryRetryAttempts", Value::sint32(-1), CMPI_RC_ERR_INVALID_PARAMETER},
            {"DeliveryRetryInterval", Value::string("20"), CMPI_RC_ERR_INVALID_PARAMETER},
            {"DeliveryRetryInterval", Value::null(CMPI_uint32), CMPI_RC_ERR_INVALID_PARAMETER},
            {"ElementName", Value::string("renamed"), CMPI_RC_ERR_NOT_SUPPORTED},
        };
        for (const Row& row : bad) {
            Instance wrong = read;
            wrong.properties.set("DeliveryRetryAttempts", Value::uint16(1));  // valid, must not stick
            wrong.properties.set(row.property, row.value);
            EXPECT_EQ(cimom.modifyInstance(wrong).rc, row.rc) << row.property << " " << row.value.toText();
        }
        EXPECT_EQ(cimom.exporter()->retryAttempts(), 5u);

        ObjectPath other = path;
        other.keys.set("Name", Value::string("other"));
        EXPECT_EQ(cimom.getInstance(other, &read).rc, CMPI_RC_ERR_NOT_FOUND);
        EXPECT_EQ(cimom.deleteInstance(path).rc, CMPI_RC_ERR_NOT_SUPPORTED);
    }
    // A write a crash interrupted leaves its temporary file: gone at start.
    const std::string interrupted = options.storeFile + ".settings.tmp.Ab12Cd";
    std::ofstream(interrupted) << "{\"DeliveryRetryAttempts\":9";
    {
        Cimom cimom(options);
        EXPECT_TRUE(cimom.restoreSubscriptions().ok());
        EXPECT_FALSE(std::filesystem::exists(interrupted));
        EXPECT_EQ(cimom.exporter()->retryAttempts(), 5u);
        EXPECT_EQ(cimom.exporter()->retryInterval(), std::chrono::seconds(7));
    }
    // A settings file that cannot be read is reported by name and changes
    // nothing.
    for (const char* damaged : {"{\"DeliveryRetryAttempts\":70000,\"DeliveryRetryInterval\":1}", "garbage"}) {
        std::ofstream(options.storeFile + ".settings") << damaged;
        Cimom cimom(options);
        const Status restored = cimom.restoreSubscriptions();
        EXPECT_NE(restored.message.find(options.storeFile + ".settings"), std::string::npos) << damaged;
        EXPECT_EQ(cimom.exporter()->retryAttempts(), 3u) << damaged;
    }
}

}  // namespace
}  // namespace cimhost
