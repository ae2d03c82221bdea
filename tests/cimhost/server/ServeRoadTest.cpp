// `cimhost serve` as its own process with the built module against the agent
// simulator, driven by a real client: wbemcli.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/Programs.h"
#include "common/RqbdSim.h"
#include "listener/Listener.h"

extern char** environ;

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
        start({"--store", sim_->path("/interop.json")});
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            EXPECT_EQ(qmstest::reap(pid_, 10000), 0) << "cimhost serve did not stop cleanly on SIGTERM";
        }
    }

    // Starts the server on a port of its choosing and learns the port from
    // the line it prints first.
    void start(std::vector<std::string> extra) {
        std::vector<std::string> args = {
            CIMHOST_BINARY, "serve", QMS_PROVIDERS_FILE, "--library-path", QMS_MODULE_DIR, "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        int fds[2];
        ASSERT_TRUE(qmstest::highPipe(fds));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        std::string line;
        pollfd p{fds[0], POLLIN, 0};
        char c;
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 && read(fds[0], &c, 1) == 1)
            line += c;
        close(fds[0]);
        const size_t colon = line.rfind(':');
        ASSERT_NE(line.find("listening on http://127.0.0.1:"), std::string::npos) << line;
        url_ = "http://127.0.0.1:" + line.substr(colon + 1, line.find('/', colon) - colon - 1);
    }

    qmstest::ProgramResult wbemcli(const std::string& op, const std::string& path,
                                   const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {"wbemcli", op, url_ + "/" + path};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return qmstest::run(argv, {}, 20000);
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
    qmstest::ProgramResult r = wbemcli("ecn", "root/interop");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("root/interop:CIM_IndicationFilter\n"), std::string::npos) << r.out;

    r = wbemcli("ci", kFilter,
                {"Name=\"road-filter\",Query=\"SELECT * FROM QMS_VRXLogEntryArrived\",QueryLanguage=\"WQL\","
                 "SourceNamespace=\"root/qms\""});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The interop namespace names the filter with this system's name, which
    // the answer carries: "host:port/namespace:Class.keys".
    const std::string filter = r.out.substr(r.out.find('/') + 1, r.out.find('\n') - r.out.find('/') - 1);
    EXPECT_NE(filter.find("Name=\"road-filter\""), std::string::npos) << r.out;
    r = wbemcli("ein", "root/interop:CIM_IndicationFilter");
    EXPECT_NE(r.out.find("Name=\"road-filter\""), std::string::npos) << r.out << r.err;
    r = wbemcli("ei", "root/interop:CIM_IndicationFilter");
    EXPECT_NE(r.out.find("Query=\"SELECT * FROM QMS_VRXLogEntryArrived\""), std::string::npos)
        << r.out << r.err;
    r = wbemcli("gi", filter);
    EXPECT_NE(r.out.find("SourceNamespace=\"root/qms\""), std::string::npos) << r.out << r.err;
    r = wbemcli("di", filter);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = wbemcli("gi", filter);
    EXPECT_NE(r.err.find("CIM_ERR_NOT_FOUND"), std::string::npos) << r.out << r.err;

    cimhost::listener::Listener listener;
    r = wbemcli("cm", kService,
                {"RegisterCIMXMLIndication.Query=\"SELECT * FROM QMS_VRXLogEntryArrived\",QueryType=0,"
                 "EventReceiver=\"" +
                 listener.url("/wbem") + "\",Tag=\"wbem\""});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RegisterCIMXMLIndication: 0"), std::string::npos) << r.out;
    r = wbemcli("cm", kService, {"ListRegistrations"});
    EXPECT_NE(r.out.find("ListRegistrations: 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Tags (string): wbem"), std::string::npos) << r.out;
    r = wbemcli("cm", kService, {"SendTestIndication"});
    EXPECT_NE(r.out.find("SendTestIndication: 0"), std::string::npos) << r.out << r.err;
    ASSERT_TRUE(listener.waitFor(1, std::chrono::seconds(15)));
    EXPECT_EQ(listener.at(0).target, "/wbem");
    EXPECT_EQ(listener.at(0).indication.className, "QMS_VRXLogEntryArrived");
    r = wbemcli("cm", kService, {"UnRegisterIndicationsByTag.Tag=\"wbem\""});
    EXPECT_NE(r.out.find("UnRegisterIndicationsByTag: 0"), std::string::npos) << r.out << r.err;
    r = wbemcli("cm", kService, {"NoSuchMethod"});
    EXPECT_NE(r.err.find("CIM_ERR_METHOD_NOT_FOUND"), std::string::npos) << r.out << r.err;
}

}  // namespace
