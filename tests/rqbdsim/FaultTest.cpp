// The simulator as a fault peer, seen from a raw client: the bytes each fault
// puts on the wire and the endpoints after each kind of outage; and what it
// must never do to an agent's files or to itself.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Programs.h"
#include "common/RqbdSim.h"
#include "rqbdsim/RawChannel.h"

using qmstest::RqbdSim;
using rqbdsimtest::Channel;
using rqbdsimtest::ctl;
using rqbdsimtest::eventually;
using rqbdsimtest::exists;
using Args = std::vector<std::string>;
using qmstest::fileText;

// Descriptor 3 is closed, so it is the number the daemon's own first
// descriptor would get: such a --ready-fd is refused before anything opens.
TEST(RqbdSimServe, RefusesAReadyDescriptorItCannotWriteTo) {
    RqbdSim sim;
    sim.stop();
    for (const Args& c : {Args{"3", "is not open"}, Args{"0", "is not open for writing"},
                          Args{"3x", "is not a descriptor"}}) {
        const qmstest::ProgramResult r = qmstest::run(
            {"/bin/sh", "-c", "exec 3>&-; exec \"$0\" serve --root \"$1\" --foreground --ready-fd \"$2\"",
             RqbdSim::binary(), sim.root(), c[0]},
            {}, 5000);
        EXPECT_EQ(r.exitCode, 1) << c[0] << ": " << r.err;
        EXPECT_NE(r.err.find("--ready-fd " + c[0] + " " + c[1]), std::string::npos) << r.err;
        EXPECT_FALSE(exists(sim.path("/dev/rqbdsj"))) << c[0];
    }
}

TEST(RqbdSimServe, RequestLogKeepsTheNewestAndCountsTheDropped) {
    RqbdSim sim("", {"--max-requests", "3"});
    Channel c(sim.path("/dev/rqbdsj"));
    ASSERT_EQ(c.init(0x1100).size(), 218u);
    for (int i = 1; i <= 5; ++i) c.ask(R"({"OC":57860,"OI":)" + std::to_string(i) + "}");
    EXPECT_EQ(ctl(sim, {"wait-requests", "6", "--timeout-ms", "2000"}), "6\n");  // dropped ones count
    const std::string log = ctl(sim, {"requests"});
    EXPECT_EQ(log.rfind("{\"dropped\":3}\n{\"seq\":4,", 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
    EXPECT_NE(ctl(sim, {"status"}).find(R"("requests":6,"requestsDropped":3)"), std::string::npos);
    ctl(sim, {"clear-requests"});
    EXPECT_EQ(ctl(sim, {"requests"}), "");
}

// What an installed agent keeps at its paths is never replaced or removed: a
// pid file or socket path makes the daemon refuse to start, a binary is used
// as it is and survives `uninstall` and the stop.
TEST(RqbdSimServe, NeverTouchesAnAgentsFiles) {
    RqbdSim sim;
    sim.stop();
    for (const char* path : {"/var/run/rqbd.pid", "/dev/rqbdsj", "/dev/rqbds"}) {
        std::ofstream(sim.path(path)) << "4242\n";
        const RqbdSim::Result r = RqbdSim::run({"serve", "--root", sim.root(), "--foreground"}, 5000);
        EXPECT_EQ(r.exitCode, 1) << path << ": " << r.err;
        EXPECT_NE(r.err.find(sim.path(path) + " exists and was not made by rqbd-sim"), std::string::npos)
            << r.err;
        EXPECT_EQ(fileText(sim.path(path)), "4242\n") << path;
        for (const char* made : {"/var/run/rqbd.pid", "/dev/rqbdsj", "/dev/rqbds", "/dev/rqbdaj"})
            EXPECT_EQ(exists(sim.path(made)), made == std::string(path)) << path << ": " << made;
        unlink(sim.path(path).c_str());
    }

    const std::string binary = sim.path("/usr/sbin/rqbd");
    unlink(binary.c_str());
    std::ofstream(binary) << "#!/bin/sh\n";
    sim.start();
    const RqbdSim::Result r = sim.ctl({"uninstall"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(binary + " was not installed by rqbd-sim"), std::string::npos) << r.err;
    sim.stop();
    EXPECT_EQ(fileText(binary), "#!/bin/sh\n");
    EXPECT_FALSE(exists(sim.path("/var/run/rqbd.pid")));
}

namespace {

// What a client meets on a channel, as words: "frame" (a whole agent
// document), "garbage" (a whole frame that is none), "part" (a frame begun,
// then nothing for waitMs), "short" (a frame begun, then the connection
// closed), "eof" (closed between frames), "quiet" (nothing for waitMs).
// Reads as many words as `expected` has, and stops early at part, short,
// eof or quiet. Only a silence is timed by waitMs: something expected to
// come is waited for as long as a loaded machine may take to send it.
std::string watch(Channel& c, const std::string& expected, int waitMs, std::vector<uint32_t>& lengths) {
    std::istringstream words(expected);
    std::string out, want;
    while (words >> want) {
        std::string payload;
        size_t announced = 0;
        const int timeoutMs = want == "quiet" || want == "part" ? waitMs : std::max(waitMs, 10000);
        const Channel::Read r = c.readRaw(payload, announced, timeoutMs);
        std::string word =
            r == Channel::Read::Closed ? (c.pending() ? "short" : "eof") : (c.pending() ? "part" : "quiet");
        if (r == Channel::Read::Frame) {
            rapidjson::Document doc;
            doc.Parse(payload.c_str());  // up to the NUL
            word = !doc.HasParseError() && doc.IsObject() && doc.HasMember("SIP") ? "frame" : "garbage";
            lengths.push_back(static_cast<uint32_t>(announced));
        }
        out += (out.empty() ? "" : " ") + word;
        if (r != Channel::Read::Frame) break;
    }
    return out;
}

}  // namespace

TEST(RqbdSimFaults, WhatEachFaultPutsOnTheWire) {
    struct Step {
        std::vector<Args> commands;  // ctl commands, then one request when `request`
        bool request;
        std::string expected;
        int waitMs = 300;
        uint32_t length = 0;  // the first frame's length word, when not 0
    };
    // A case whose first step sends no request watches a subscriber.
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"stray reply",
         {{{{"duplicate-replies", "1"}}, true, "frame frame quiet"}, {{}, true, "frame quiet"}}},
        // However small the frame, the hang-up comes only after what was sent is read.
        {"cut reply", {{{{"truncated-frame"}}, true, "short"}}},
        {"cut event", {{{{"truncated-frame", "--events"}}, false, "short"}}},
        {"stalled reply", {{{{"stall-frame"}}, true, "part"}, {{{"resume-frames"}}, false, "frame quiet"}}},
        {"reply stalled for a time",
         {{{{"stall-frame", "--ms", "800"}}, true, "part"}, {{}, false, "frame", 5000}}},
        {"stalled event",
         {{{{"stall-frame", "--events"}, {"push-drvmon", "5"}}, false, "part"},
          {{{"resume-frames"}}, false, "frame quiet"}}},
        {"never answered",
         {{{{"drop-replies", "all"}}, true, "quiet"},
          {{}, true, "quiet"},
          {{{"wait-requests", "3", "--timeout-ms", "2000"}, {"drop-replies", "0"}}, true, "frame quiet"}}},
        // The client tests would pass with replies that are not delayed;
        // dropped ones are theirs (a reply that came would fail them).
        {"delayed reply", {{{{"delay-replies", "600"}}, true, "quiet", 400}, {{}, false, "frame", 2000}}},
        {"event of several megabytes",
         {{{{"push-drvmon", "7", "--pad-to", "6000000"}}, false, "frame quiet", 300, 6000000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RqbdSim sim;
        Channel requester(sim.path("/dev/rqbdsj")), subscriber(sim.path("/dev/rqbdaj"));
        ASSERT_EQ(requester.init(0x1100).size(), 218u);
        ASSERT_EQ(subscriber.init(0x1200).size(), 218u);
        for (const Step& step : c.steps) {
            for (const Args& command : step.commands) ctl(sim, command);
            if (step.request) requester.sendCommand(R"({"OC":57860})");
            // A client busy elsewhere looks only once the daemon has acted.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::vector<uint32_t> lengths;
            EXPECT_EQ(watch(c.steps[0].request ? requester : subscriber, step.expected, step.waitMs, lengths),
                      step.expected);
            EXPECT_TRUE(step.length == 0 || (!lengths.empty() && lengths[0] == step.length));
        }
    }
}

namespace {

// The three sockets as a client finds them ("ok", "refused" or "absent",
// listed once when they agree), then "pid" or "nopid".
std::string endpoints(const RqbdSim& sim) {
    std::string state;
    for (const char* path : {"/dev/rqbds", "/dev/rqbdsj", "/dev/rqbdaj"}) {
        Channel c(sim.path(path));
        const std::string word = c.connected()                      ? "ok"
                                 : c.connectErrno() == ECONNREFUSED ? "refused"
                                 : c.connectErrno() == ENOENT       ? "absent"
                                                                    : std::strerror(c.connectErrno());
        if (state.rfind(word, 0) != 0) state += (state.empty() ? "" : ",") + word;
    }
    return state + (exists(sim.path("/var/run/rqbd.pid")) ? " pid" : " nopid");
}

}  // namespace

TEST(RqbdSimFaults, EndpointsAsEachOutageLeavesThem) {
    struct Step {
        Args action;  // a ctl command, or "sim.crash" / "sim.start"
        std::string now;
        std::string later = {};  // once a timed outage is over
    };
    const std::vector<Step> steps = {
        {{"refuse-connections"}, "refused pid"},
        {{"accept-connections"}, "ok pid"},
        {{"refuse-connections", "--ms", "300"}, "refused pid", "ok pid"},
        {{"restart", "--down-ms", "300"}, "absent nopid", "ok pid"},
        {{"refuse-connections"}, "refused pid"},
        {{"restart", "--down-ms", "300"}, "absent nopid", "ok pid"},
        {{"restart", "--down-ms", "60000"}, "absent nopid"},
        {{"refuse-connections"}, "refused pid"},
        {{"accept-connections"}, "ok pid"},
        {{"sim.crash"}, "refused pid"},
        {{"sim.start"}, "ok pid"},
        {{"refuse-connections"}, "refused pid"},
        {{"crash"}, "refused pid"},
        {{"sim.start"}, "ok pid"},
    };
    RqbdSim sim;
    // A client connected before the refusal is still served.
    Channel early(sim.path("/dev/rqbdsj"));
    ASSERT_EQ(early.init(0x1100).size(), 218u);
    ctl(sim, {"refuse-connections"});
    EXPECT_EQ(early.ask(R"({"OC":57860})")["ST"].GetUint(), 0u);
    ctl(sim, {"accept-connections"});

    for (const Step& step : steps) {
        SCOPED_TRACE(step.action[0]);
        if (step.action[0] == "sim.crash") {
            sim.crash();
        } else if (step.action[0] == "sim.start") {
            sim.start();
            EXPECT_EQ(fileText(sim.path("/var/run/rqbd.pid")), std::to_string(sim.pid()) + "\n");
        } else {
            ctl(sim, step.action);
            EXPECT_TRUE(step.action[0] != "crash" || eventually([&] { return !sim.running(); }));
        }
        EXPECT_EQ(endpoints(sim), step.now);
        EXPECT_TRUE(step.later.empty() || eventually([&] { return endpoints(sim) == step.later; }))
            << endpoints(sim);
    }
}
