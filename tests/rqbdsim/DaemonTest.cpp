// The simulator as a running daemon, reached through raw sockets written here.
// The fault injections the client tests assert exact codes for (malformed
// and truncated frames, closed channels, the request record) are left to them.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <memory>
#include <string>
#include <vector>

#include "common/RqbdSim.h"
#include "rqbdsim/RawChannel.h"

using qmstest::RqbdSim;

namespace {

using rqbdsimtest::Channel;
using rqbdsimtest::ctl;
using rqbdsimtest::exists;

class DaemonTest : public ::testing::Test {
protected:
    RqbdSim sim;

    // A channel of the given socket that has gone through its init.
    std::unique_ptr<Channel> opened(const char* socket, unsigned channelType) {
        auto c = std::make_unique<Channel>(sim.path(socket));
        EXPECT_EQ(c->init(channelType).size(), 218u);
        return c;
    }
    std::unique_ptr<Channel> subscriber() { return opened("/dev/rqbdaj", 0x1200); }
};

uint32_t descriptorOf(const std::vector<uint8_t>& block) {
    return block[65] | (block[66] << 8) | (block[67] << 16) | (static_cast<uint32_t>(block[68]) << 24);
}

}  // namespace

TEST_F(DaemonTest, HandshakeReturnsTheDaemonsOwnDescriptorPerChannel) {
    Channel a(sim.path("/dev/rqbdsj")), b(sim.path("/dev/rqbdsj"));
    std::vector<uint8_t> blockA = a.init(0x1100, "QMS_VRXIndication");
    std::vector<uint8_t> blockB = b.init(0x1100);
    ASSERT_EQ(blockA.size(), 218u);
    ASSERT_EQ(blockB.size(), 218u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(blockA.data())), "QMS_VRXIndication");
    EXPECT_NE(descriptorOf(blockA), descriptorOf(blockB));
    for (size_t i = 69; i < 218; ++i) ASSERT_EQ(blockA[i], 0) << i;

    // A request-channel init on the event socket does not subscribe.
    Channel wrong(sim.path("/dev/rqbdaj"));
    EXPECT_TRUE(wrong.init(0x1100).empty());
    EXPECT_EQ(ctl(sim, {"push-drvmon", "1"}), "0\n");
}

TEST_F(DaemonTest, PushesReachEveryInitialisedSubscriberInOrder) {
    auto s1 = subscriber();
    auto s2 = subscriber();
    Channel silent(sim.path("/dev/rqbdaj"));  // connected, never initialised
    EXPECT_EQ(ctl(sim, {"wait-subscribers", "2", "--timeout-ms", "2000"}), "2\n");
    EXPECT_EQ(ctl(sim, {"push-syslog", "0", "--args", "x,y"}), "2\n");
    EXPECT_EQ(ctl(sim, {"push-drvmon", "0x42"}), "2\n");
    EXPECT_EQ(ctl(sim, {"push-raid", R"({"Event":[]})"}), "2\n");
    EXPECT_EQ(ctl(sim, {"push-raw", R"({"OC":2834,"ST":0,"DA":1})"}), "2\n");

    for (Channel* s : {s1.get(), s2.get()}) {
        rapidjson::Document args = s->command();
        ASSERT_EQ(args["OC"].GetUint(), 0x0B16u);
        EXPECT_EQ(args["DA"]["RAW"].Size(), 26u + 4u);
        EXPECT_EQ(s->command()["OC"].GetUint(), 0x0B11u);
        EXPECT_EQ(s->command()["DA"].GetUint(), 0x42u);
        EXPECT_STREQ(s->command()["DA"].GetString(), R"({"Event":[]})");
        EXPECT_EQ(s->command()["OC"].GetUint(), 2834u);
    }
    rapidjson::Document none;
    EXPECT_EQ(silent.read(none, 200), Channel::Read::Timeout);
}

// The endpoints during and after the down time are the outage table's
// (FaultTest); here, what a restart does to channels and to the binary.
TEST_F(DaemonTest, RestartEndsChannelsAndKeepsTheAgentBinary) {
    auto s = subscriber();
    ctl(sim, {"restart", "--down-ms", "500"});
    EXPECT_TRUE(exists(sim.path("/usr/sbin/rqbd")));
    rapidjson::Document doc;
    EXPECT_EQ(s->read(doc), Channel::Read::Closed);
    EXPECT_TRUE(rqbdsimtest::eventually([&] { return exists(sim.path("/dev/rqbds")); }));
    auto again = subscriber();
    EXPECT_EQ(ctl(sim, {"push-drvmon", "1"}), "1\n");
}

TEST_F(DaemonTest, BadInputOnOneChannelLeavesTheOthersServed) {
    auto good = opened("/dev/rqbdsj", 0x1100);
    Channel garbage(sim.path("/dev/rqbdsj"));
    garbage.sendText("not json");
    EXPECT_EQ(garbage.command()["ST"].GetUint(), 22u);
    garbage.sendText(R"({"SIP":{"V":2,"CMD":[{"OC":57860}]}})");
    EXPECT_EQ(garbage.command()["ST"].GetUint(), 22u);

    Channel huge(sim.path("/dev/rqbdsj"));
    huge.sendBytes(std::string("\xff\xff\xff\xff", 4));
    rapidjson::Document doc;
    EXPECT_EQ(huge.read(doc), Channel::Read::Closed);
    {
        Channel vanishing(sim.path("/dev/rqbdsj"));
        vanishing.sendBytes(std::string("\x40\x00\x00\x00{\"SIP\"", 10));
    }
    EXPECT_EQ(good->ask(R"({"OC":57860})")["ST"].GetUint(), 0u);
    EXPECT_NE(ctl(sim, {"requests"}).find(R"("invalid":"not json")"), std::string::npos);
}

// Each command line a test or a person may get wrong is told what it got
// wrong and the usage it should have followed; a misused control command is
// reported and leaves the daemon serving.
TEST(RqbdSimCliTest, HelpVersionAndUsageMatchWhatIsAccepted) {
    RqbdSim sim;
    const auto ctlArgs = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"ctl", "--root", sim.root()});
        return args;
    };
    struct Line {
        std::vector<std::string> args;
        int exitCode;
        std::string out, err;
    };
    const std::string ctlUsage = "usage: rqbd-sim ctl ";
    const std::vector<Line> lines = {
        {{"--version"}, 0, "rqbd-sim " QMS_VERSION "\n", ""},
        {{"ctl", "-h"}, 0, "  push-syslog N [--args a,b]", ""},
        {{}, 2, "", "rqbd-sim: which command?\nusage: rqbd-sim serve"},
        {{"serve", "--root"}, 2, "", "rqbd-sim: --root needs a value\nusage: rqbd-sim serve "},
        {{"serve", "--port", "1"}, 2, "", "rqbd-sim: unknown option --port\n"},
        {{"ctl", "push-logs"}, 2, "", "rqbd-sim: unknown command \"push-logs\""},
        {{"ctl", "--root", "/nowhere", "status"},
         1,
         "",
         "Is one running? Start it with `rqbd-sim serve --root /nowhere`.\n"},
        {ctlArgs({"push-syslog", "--args", "a,b"}), 2, "",
         "rqbd-sim: push-syslog: N is the entry's number, from 0 to 4294967295\n"
         "usage: rqbd-sim ctl [--root DIR] push-syslog N [--args a,b]"},
        {ctlArgs({"no-such-command"}), 2, "", ctlUsage},
        {ctlArgs({"push-drvmon"}), 2, "", ctlUsage},
        {ctlArgs({"push-syslog", "x"}), 2, "", ctlUsage},
        {ctlArgs({"restart"}), 2, "", ctlUsage},
        {ctlArgs({"delay-replies", "-5"}), 2, "", ctlUsage},
        {ctlArgs({"wait-subscribers", "1", "--timeout-ms"}), 2, "", ctlUsage},
    };
    for (const Line& line : lines) {
        const RqbdSim::Result r = RqbdSim::run(line.args);
        std::string shown;
        for (const std::string& a : line.args) shown += " " + a;
        EXPECT_EQ(r.exitCode, line.exitCode) << shown << "\n" << r.err;
        EXPECT_NE(r.out.find(line.out), std::string::npos) << shown << ": stdout\n" << r.out;
        EXPECT_NE(r.err.find(line.err), std::string::npos) << shown << ": stderr\n" << r.err;
    }
    EXPECT_EQ(sim.ctl({"status"}).exitCode, 0);
    EXPECT_EQ(sim.ctl({"stop"}).exitCode, 0);
    // The daemon removes its sockets, then its pid file.
    EXPECT_TRUE(rqbdsimtest::eventually(
        [&] { return !exists(sim.path("/dev/rqbdsj")) && !exists(sim.path("/var/run/rqbd.pid")); }));
}
