// `cimhost serve` as its own process with the built module against the agent
// simulator, driven by a real client: wbemcli.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/Programs.h"
#include "common/RqbdSim.h"
#include "listener/Listener.h"

namespace {

const char kService[] =
    "root/qms:QMS_VRXIndicationRegistrationService.Name=\"RegistrationService\","
    "SystemCreationClassName=\"QMS_VRXComputerSystem\",SystemName=\"ROAD0001\","
    "CreationClassName=\"QMS_VRXIndicationRegistrationService\"";
const char kFilter[] =
    "root/interop:CIM_IndicationFilter.SystemCreationClassName=\"CIM_ComputerSystem\",SystemName=\"any\","
    "CreationClassName=\"CIM_IndicationFilter\",Name=\"road-filter\"";

class ServeRoad : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = std::make_unique<qmstest::RqbdSim>(QMS_ROAD_SCENARIO);
        sim_->makeTraceDir();
        // On a port of its choosing, which it prints first.
        const std::string out = sim_->path("/serve.out");
        pid_ = qmstest::spawn({CIMHOST_BINARY, "serve", QMS_PROVIDERS_FILE, "--library-path", QMS_MODULE_DIR,
                               "--port", "0", "--store", sim_->path("/interop.json")},
                              {}, out, "");
        ASSERT_GT(pid_, 0);
        std::string line;
        for (int i = 0; i < 1000 && line.find('\n') == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            line = qmstest::fileText(out);
        }
        const size_t at = line.find("listening on http://127.0.0.1:");
        ASSERT_NE(at, std::string::npos) << line;
        url_ = "http://127.0.0.1:" + std::to_string(std::atoi(line.c_str() + at + 30));
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            EXPECT_EQ(qmstest::reap(pid_, 10000), 0) << "cimhost serve did not stop cleanly on SIGTERM";
        }
    }

    // wbemcli's call with one more argument when `arg` is not empty, and what
    // must show in its output (a CIM error's name in its stderr, and only
    // then may it fail); its output.
    std::string wbemcli(const char* op, const std::string& path, const std::string& arg,
                        const std::string& shown) {
        std::vector<std::string> argv = {"wbemcli", op, url_ + "/" + path};
        if (!arg.empty()) argv.push_back(arg);
        const qmstest::ProgramResult r = qmstest::run(argv, {}, 20000);
        const bool error = shown.rfind("CIM_ERR_", 0) == 0;
        EXPECT_NE((error ? r.err : r.out).find(shown), std::string::npos) << op << " " << path << "\n"
                                                                          << r.out << r.err;
        EXPECT_TRUE(error || r.exitCode == 0) << op << " " << path << " exited " << r.exitCode << "\n"
                                              << r.err;
        return r.out;
    }

    std::unique_ptr<qmstest::RqbdSim> sim_;
    pid_t pid_ = -1;
    std::string url_;
};

// What an administrator does with wbemcli: looks at the classes, manages a
// filter in the interop namespace, and registers a listener with the
// registration service, which then hears its test indication. (`cimhost
// client` against a real CIMOM is tests/cimom's.)
TEST_F(ServeRoad, WbemcliManagesInteropInstancesAndCallsTheService) {
    wbemcli("ecn", "root/interop", "", "root/interop:CIM_IndicationFilter\n");
    const std::string created =
        wbemcli("ci", kFilter,
                "Name=\"road-filter\",Query=\"SELECT * FROM QMS_VRXLogEntryArrived\",QueryLanguage=\"WQL\","
                "SourceNamespace=\"root/qms\"",
                "");
    // The interop namespace names the filter with this system's name, which
    // the answer carries: "host:port/namespace:Class.keys".
    const size_t slash = created.find('/');
    const std::string filter = created.substr(slash + 1, created.find('\n') - slash - 1);
    EXPECT_NE(filter.find("Name=\"road-filter\""), std::string::npos) << created;
    wbemcli("ein", "root/interop:CIM_IndicationFilter", "", "Name=\"road-filter\"");
    wbemcli("ei", "root/interop:CIM_IndicationFilter", "", "Query=\"SELECT * FROM QMS_VRXLogEntryArrived\"");
    wbemcli("gi", filter, "", "SourceNamespace=\"root/qms\"");
    wbemcli("di", filter, "", "");
    wbemcli("gi", filter, "", "CIM_ERR_NOT_FOUND");

    cimhost::listener::Listener listener;
    wbemcli("cm", kService,
            "RegisterCIMXMLIndication.Query=\"SELECT * FROM QMS_VRXLogEntryArrived\",QueryType=0,"
            "EventReceiver=\"" +
                listener.url("/wbem") + "\",Tag=\"wbem\"",
            "RegisterCIMXMLIndication: 0");
    const std::string listed = wbemcli("cm", kService, "ListRegistrations", "ListRegistrations: 0");
    EXPECT_NE(listed.find("Tags (string): wbem"), std::string::npos) << listed;
    wbemcli("cm", kService, "SendTestIndication", "SendTestIndication: 0");
    ASSERT_TRUE(listener.waitFor(1, std::chrono::seconds(15)));
    EXPECT_EQ(listener.at(0).target, "/wbem");
    EXPECT_EQ(listener.at(0).indication.className, "QMS_VRXLogEntryArrived");
    wbemcli("cm", kService, "UnRegisterIndicationsByTag.Tag=\"wbem\"", "UnRegisterIndicationsByTag: 0");
    wbemcli("cm", kService, "NoSuchMethod", "CIM_ERR_METHOD_NOT_FOUND");
}

}  // namespace
