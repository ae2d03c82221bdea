// The simulator as a running daemon, reached through raw sockets written here.
// The fault injections the client tests assert exact codes for (malformed
// and truncated frames, closed channels, the request record) are left to them.
#include <gtest/gtest.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/RqbdSim.h"

using qmstest::RqbdSim;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// One client connection speaking the agent's framing.
class Channel {
public:
    enum class Read { Frame, Timeout, Closed };

    explicit Channel(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Channel() { close(fd_); }
    bool connected() const { return connected_; }

    void sendBytes(const std::string& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    void sendText(const std::string& text) {
        const uint32_t length = static_cast<uint32_t>(text.size() + 1);
        std::string frame(reinterpret_cast<const char*>(&length), 4);
        frame += text;
        frame.push_back('\0');
        sendBytes(frame);
    }
    // A request of one command given as its JSON object text.
    void sendCommand(const std::string& command) { sendText(R"({"SIP":{"V":1,"CMD":[)" + command + "]}}"); }

    Read readRaw(std::string& payload, size_t& announced, int timeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (pending_.size() >= 4) {
                uint32_t length;
                std::memcpy(&length, pending_.data(), 4);
                announced = length;
                if (pending_.size() >= 4 + length) {
                    payload = pending_.substr(4, length);
                    pending_.erase(0, 4 + length);
                    return Read::Frame;
                }
            }
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - std::chrono::steady_clock::now())
                                                  .count());
            pollfd p{fd_, POLLIN, 0};
            char buffer[65536];
            ssize_t n = left > 0 && poll(&p, 1, left) > 0 ? recv(fd_, buffer, sizeof buffer, 0) : -2;
            if (n <= 0) {
                payload = pending_.size() > 4 ? pending_.substr(4) : "";
                return n == -2 ? Read::Timeout : Read::Closed;
            }
            pending_.append(buffer, static_cast<size_t>(n));
        }
    }

    // Reads one frame and parses it; the document is null on timeout or close.
    Read read(rapidjson::Document& doc, int timeoutMs = 3000) {
        std::string payload;
        size_t announced = 0;
        Read r = readRaw(payload, announced, timeoutMs);
        doc.SetNull();
        if (r == Read::Frame) doc.Parse(payload.c_str());  // stops at the NUL terminator
        return r;
    }

    // The first command of the next frame.
    rapidjson::Document command(int timeoutMs = 3000) {
        rapidjson::Document doc;
        rapidjson::Document cmd;
        if (read(doc, timeoutMs) == Read::Frame && doc.IsObject() && doc["SIP"]["CMD"].Size() > 0)
            cmd.CopyFrom(doc["SIP"]["CMD"][0], cmd.GetAllocator());
        return cmd;
    }

    rapidjson::Document ask(const std::string& commandText) {
        sendCommand(commandText);
        return command();
    }

    // Channel init: returns the 218-byte block of the reply (empty if none).
    std::vector<uint8_t> init(unsigned channelType, const std::string& name = "tester") {
        std::string raw;
        for (size_t i = 0; i < 218; ++i) {
            unsigned byte = i < name.size() ? static_cast<unsigned char>(name[i]) : 0;
            if (i == 65) byte = static_cast<unsigned>(fd_ & 0xFF);
            raw += (i ? "," : "") + std::to_string(byte);
        }
        sendCommand(R"({"OC":65440,"OE":)" + std::to_string(channelType) + R"(,"CA":0,"DA":{"RAW":[)" + raw + "]}}");
        rapidjson::Document reply = command();
        std::vector<uint8_t> block;
        if (reply.IsObject() && reply.HasMember("DA"))
            for (const auto& v : reply["DA"]["RAW"].GetArray()) block.push_back(static_cast<uint8_t>(v.GetUint()));
        return block;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string pending_;  // received bytes not yet cut into frames
};

class DaemonTest : public ::testing::Test {
protected:
    RqbdSim sim;

    std::string ctlOut(const std::vector<std::string>& args) {
        RqbdSim::Result r = sim.ctl(args);
        EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
        return r.out;
    }
    std::unique_ptr<Channel> subscriber() {
        auto c = std::make_unique<Channel>(sim.path("/dev/rqbdaj"));
        EXPECT_EQ(c->init(0x1200).size(), 218u);
        return c;
    }
    std::unique_ptr<Channel> requester() {
        auto c = std::make_unique<Channel>(sim.path("/dev/rqbdsj"));
        EXPECT_EQ(c->init(0x1100).size(), 218u);
        return c;
    }
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
    EXPECT_EQ(ctlOut({"push-drvmon", "1"}), "0\n");
}

TEST_F(DaemonTest, PushesReachEveryInitialisedSubscriberInOrder) {
    auto s1 = subscriber();
    auto s2 = subscriber();
    Channel silent(sim.path("/dev/rqbdaj"));  // connected, never initialised
    EXPECT_EQ(ctlOut({"wait-subscribers", "2", "--timeout-ms", "2000"}), "2\n");
    EXPECT_EQ(ctlOut({"push-syslog", "0", "--args", "x,y"}), "2\n");
    EXPECT_EQ(ctlOut({"push-drvmon", "0x42"}), "2\n");
    EXPECT_EQ(ctlOut({"push-raid", R"({"Event":[]})"}), "2\n");
    EXPECT_EQ(ctlOut({"push-raw", R"({"OC":2834,"ST":0,"DA":1})"}), "2\n");

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

TEST_F(DaemonTest, DroppedRepliesNeverComeAndDelayedOnesComeLate) {
    auto c = requester();
    ctlOut({"drop-replies", "1"});
    c->sendCommand(R"({"OC":57860})");
    rapidjson::Document doc;
    EXPECT_EQ(c->read(doc, 300), Channel::Read::Timeout);
    EXPECT_EQ(c->ask(R"({"OC":57860})")["ST"].GetUint(), 0u);

    ctlOut({"delay-replies", "400"});
    const auto start = std::chrono::steady_clock::now();
    c->sendCommand(R"({"OC":57860})");
    EXPECT_EQ(c->read(doc, 200), Channel::Read::Timeout);
    EXPECT_EQ(c->read(doc, 2000), Channel::Read::Frame);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

TEST_F(DaemonTest, RestartRemovesSocketsAndPidFileForTheDownTime) {
    auto s = subscriber();
    ctlOut({"restart", "--down-ms", "500"});
    for (const char* p : {"/dev/rqbds", "/dev/rqbdsj", "/dev/rqbdaj", "/var/run/rqbd.pid"}) EXPECT_FALSE(exists(sim.path(p))) << p;
    EXPECT_TRUE(exists(sim.path("/usr/sbin/rqbd")));
    rapidjson::Document doc;
    EXPECT_EQ(s->read(doc), Channel::Read::Closed);
    EXPECT_FALSE(Channel(sim.path("/dev/rqbds")).connected());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!exists(sim.path("/dev/rqbds")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(exists(sim.path("/var/run/rqbd.pid")));
    EXPECT_TRUE(Channel(sim.path("/dev/rqbds")).connected());
    auto again = subscriber();
    EXPECT_EQ(ctlOut({"push-drvmon", "1"}), "1\n");
}

TEST_F(DaemonTest, BadInputOnOneChannelLeavesTheOthersServed) {
    auto good = requester();
    Channel garbage(sim.path("/dev/rqbdsj"));
    garbage.sendText("not json");
    rapidjson::Document reply = garbage.command();
    EXPECT_EQ(reply["ST"].GetUint(), 22u);
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
    EXPECT_NE(ctlOut({"requests"}).find(R"("invalid":"not json")"), std::string::npos);
}

TEST(RqbdSimCliTest, ControlErrorsAreReportedNotFatal) {
    RqbdSim sim;
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"no-such-command"}, {"push-drvmon"}, {"push-syslog", "x"}, {"restart"},
          {"delay-replies", "-5"}, {"wait-subscribers", "1", "--timeout-ms"}}) {
        RqbdSim::Result r = sim.ctl(bad);
        EXPECT_EQ(r.exitCode, 1) << bad[0];
        EXPECT_FALSE(r.err.empty()) << bad[0];
    }
    EXPECT_EQ(sim.ctl({"status"}).exitCode, 0);
    EXPECT_EQ(sim.ctl({"stop"}).exitCode, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (exists(sim.path("/dev/rqbdsj")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(exists(sim.path("/dev/rqbdsj")));
    EXPECT_FALSE(exists(sim.path("/var/run/rqbd.pid")));
}
