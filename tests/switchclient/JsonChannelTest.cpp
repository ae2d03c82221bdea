#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "switchclient/JsonChannel.h"
#include "switchclient/SipJson.h"
#include "switchclient/SwitchClientTestSupport.h"

namespace {

using namespace std::chrono_literals;

std::string LengthWord(uint32_t length) { return std::string(reinterpret_cast<const char*>(&length), 4); }

// A frame as a well-behaved sender writes it.
std::string Frame(const std::string& text) {
    return LengthWord(static_cast<uint32_t>(text.size() + 1)) + text + '\0';
}

// Blocking stream sockets: a send or a waiting receive moves every byte, or
// the peer is gone.
void WriteAll(int fd, const std::string& bytes) { send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

// Reads the whole payload of the next frame (NUL included).
bool ReadFrame(int fd, std::string& payload) {
    uint32_t length = 0;
    if (recv(fd, &length, sizeof length, MSG_WAITALL) != sizeof length) return false;
    payload.assign(length, '\0');
    return recv(fd, payload.data(), length, MSG_WAITALL) == static_cast<ssize_t>(length);
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    int client() const { return fds[0]; }
    int peer() const { return fds[1]; }
    void closePeer() { close(std::exchange(fds[1], -1)); }
    // The client end now belongs to the code under test.
    int releaseClient() { return std::exchange(fds[0], -1); }
    int fds[2] = {-1, -1};
};

// The init blocks the simulator was sent on channels of that type (0x1100
// requests, 0x1200 events), in order.
std::vector<std::vector<unsigned char>> InitBlocks(const qmstest::RqbdSim& sim, unsigned channelType) {
    std::vector<std::vector<unsigned char>> blocks;
    std::istringstream log(sim.ctl({"requests"}).out);
    std::string line;
    while (std::getline(log, line)) {
        rapidjson::Document d;
        d.Parse(line.c_str());
        if (d.HasParseError() || !d.HasMember("OE") || d["OC"].GetUint() != kInitChannelOpcode ||
            d["OE"].GetUint() != channelType)
            continue;
        std::vector<unsigned char> block;
        for (const auto& v : d["DA"]["RAW"].GetArray())
            block.push_back(static_cast<unsigned char>(v.GetUint()));
        blocks.push_back(block);
    }
    return blocks;
}

// ---------------------------------------------------------------------------
// Request and reply framing

// Each reply is written in chunks with a pause between them, after the
// request was read; a hang-up closes the daemon's end after the last chunk.
TEST(JsonChannelRequest, OddRepliesAreReadAndBrokenOnesFailWithTheirCodes) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        bool hangUp;
        int expected;
        std::string reply;  // "old" when none was taken
    };
    const std::vector<Case> cases = {
        {"empty payload", {LengthWord(0)}, false, kJsonReplyReceived, ""},
        {"payload without NUL", {LengthWord(3) + "abc"}, false, kJsonReplyReceived, "abc"},
        {"NUL inside", {LengthWord(6) + std::string("ab\0cd\0", 6)}, false, kJsonReplyReceived, "ab"},
        {"split length word",
         {std::string("\x03\x00", 2), std::string("\x00\x00", 2) + "xyz"},
         false,
         kJsonReplyReceived,
         "xyz"},
        {"payload in pieces",
         {LengthWord(5) + "ab", "cd", std::string("\0", 1)},
         false,
         kJsonReplyReceived,
         "abcd"},
        {"hang-up before the reply", {}, true, kJsonNoReply, "old"},
        {"silence", {}, false, kJsonNoReply, "old"},
        {"absurd length", {LengthWord(0xFFFFFFF0u) + "x"}, false, kJsonReceiveFailed, "old"},
        {"just over the cap", {LengthWord(kMaxFramePayload + 1)}, false, kJsonReceiveFailed, "old"},
        // A daemon that stalls mid-frame is given up on after the limit.
        {"half a length word", {std::string("\x05\x00", 2)}, false, kJsonReceiveFailed, "old"},
        {"truncated payload", {LengthWord(10) + "abc"}, false, kJsonReceiveFailed, "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        std::string request;
        std::thread daemon([&] {
            ReadFrame(pair.peer(), request);
            for (const std::string& chunk : c.chunks) {
                WriteAll(pair.peer(), chunk);
                std::this_thread::sleep_for(5ms);
            }
            if (c.hangUp) shutdown(pair.peer(), SHUT_RDWR);
        });
        std::string reply = "old";
        // 10 s is 500 ms in the test build: enough for the pieces on a loaded machine.
        EXPECT_EQ(JsonSendRequest(pair.client(), "{}", reply, 10), c.expected);
        daemon.join();
        EXPECT_EQ(request, std::string("{}\0", 3));  // the payload ends with its NUL
        EXPECT_EQ(reply, c.reply);
    }
}

TEST(JsonChannelRequest, NoChannelAndVanishedPeer) {
    std::string reply = "old";
    EXPECT_EQ(JsonSendRequest(-1, "{}", reply, 0), kJsonNoChannel);
    EXPECT_EQ(reply, "old");

    // A peer that stopped reading: the write fails with EPIPE, which must not
    // raise SIGPIPE (it would end this process).
    SocketPair pair;
    ASSERT_EQ(shutdown(pair.peer(), SHUT_RD), 0);
    EXPECT_EQ(JsonSendRequest(pair.client(), "{}", reply, 1), kJsonSendFailed);

    SocketPair gone;
    gone.closePeer();
    EXPECT_EQ(JsonSendRequest(gone.client(), "{}", reply, 1), kJsonSendFailed);
    EXPECT_EQ(reply, "old");
}

// ---------------------------------------------------------------------------
// Events

TEST(JsonChannelEvent, ReadsOneEventPerFrame) {
    SocketPair pair;
    WriteAll(pair.peer(), Frame(R"({"SIP":{"V":1,"CMD":[{"OC":2833,"ST":0,"DA":5}]}})"));
    WriteAll(pair.peer(), Frame(R"({"SIP":{"V":2,"CMD":[{"OC":1}]}})"));
    WriteAll(pair.peer(), LengthWord(0));
    WriteAll(pair.peer(), LengthWord(4) + "{}{}");  // no NUL, not a message

    SipJson event;
    EXPECT_EQ(JsonGetEvent(event, pair.client(), "test"), pair.client());
    EXPECT_EQ(event.GetCmdElemValue(0, "OC", 0), 2833u);
    EXPECT_TRUE(event.HasReplyData());
    for (int rejected = 0; rejected < 3; ++rejected) {
        SipJson next;
        EXPECT_EQ(JsonGetEvent(next, pair.client(), "test"), pair.client());
        EXPECT_EQ(next.ToString(), R"({"SIP":{"V":1,"CMD":[]}})");
    }
}

// Frames far larger than a socket buffer (up to the 16 MiB limit) come in
// many pieces; every piece that brings data lets the read go on.
TEST(JsonChannelEvent, FramesOfSeveralMegabytesArriveWhole) {
    const std::string text =
        R"({"SIP":{"V":1,"CMD":[{"OC":2833,"ST":0,"DA":")" + std::string(6u << 20, 'x') + R"("}]}})";
    SocketPair events;
    std::thread writer([&] { WriteAll(events.peer(), Frame(text)); });
    SipJson event;
    EXPECT_EQ(JsonGetEvent(event, events.client(), "test"), events.client());
    writer.join();
    EXPECT_EQ(event.GetCmdElemValue(0, "OC", 0), 2833u);

    SocketPair requests;
    std::thread agent([&] {
        std::string payload;
        if (ReadFrame(requests.peer(), payload)) WriteAll(requests.peer(), Frame(text));
    });
    std::string reply;
    EXPECT_EQ(JsonSendRequest(requests.client(), R"({"SIP":{"V":1,"CMD":[{"OC":1}]}})", reply, 30),
              kJsonReplyReceived);
    agent.join();
    EXPECT_EQ(reply.size(), text.size());
}

TEST(JsonChannelEvent, LostChannelGivesMinusOne) {
    SipJson event;
    EXPECT_EQ(JsonGetEvent(event, -1, "test"), -1);

    SocketPair closedAtOnce;
    closedAtOnce.closePeer();
    EXPECT_EQ(JsonGetEvent(event, closedAtOnce.client(), "test"), -1);

    // End of file on the first payload read: the event is ignored, the
    // channel counts as lost and is left to the caller to close.
    SocketPair afterLength;
    WriteAll(afterLength.peer(), LengthWord(10));
    afterLength.closePeer();
    EXPECT_EQ(JsonGetEvent(event, afterLength.client(), "test"), -1);
    EXPECT_TRUE(IsOpen(afterLength.client()));
    EXPECT_EQ(event.ToString(), R"({"SIP":{"V":1,"CMD":[]}})");
}

// The event channel is registered and re-opened under the client's name; a
// frame broken off by the daemon makes the reader re-open it, on a new
// descriptor.
TEST(JsonChannelEvent, RegistersAndABrokenFrameReopensTheChannel) {
    qmstest::RqbdSim sim;
    const int fd = JsonRegisterForEvents("events");
    ASSERT_GE(fd, 0);
    const int reopened = ReOpenEventChannel("events", fd);
    ASSERT_GE(reopened, 0);
    JsonUnregisterForEvents(reopened);
    CloseEventChannel(-1);
    JsonUnregisterForEvents(-1);
    for (const std::string& bytes : {LengthWord(100) + "0123456789", LengthWord(0x7FFFFFFFu)}) {
        SocketPair pair;
        WriteAll(pair.peer(), bytes);
        pair.closePeer();
        const int old = pair.releaseClient();
        SipJson event;
        const int fresh = JsonGetEvent(event, old, "events");
        ASSERT_GE(fresh, 0);
        EXPECT_NE(fresh, old);  // even when the kernel reused the old number
        EXPECT_EQ(event.ToString(), R"({"SIP":{"V":1,"CMD":[]}})");
        JsonUnregisterForEvents(fresh);
        EXPECT_FALSE(IsOpen(fresh));
    }
    const auto blocks = InitBlocks(sim, 0x1200);
    ASSERT_EQ(blocks.size(), 4u);
    for (const auto& block : blocks) {
        ASSERT_EQ(block.size(), kInitBlockSize);
        EXPECT_EQ(std::string(block.begin(), block.begin() + 7), std::string("events\0", 7));
    }
}

// With no daemon to re-open to, the broken channel is closed once, here, and
// the caller is told so: closing its number again could hit another socket.
// Attaching gives up at once.
TEST(JsonChannelEvent, WithNoDaemonABrokenChannelIsClosedOnceAndAttachGivesUp) {
    sctest::ScratchRoot root;
    SocketPair pair;
    WriteAll(pair.peer(), LengthWord(100) + "0123456789");
    pair.closePeer();
    const int old = pair.releaseClient();
    SipJson event;
    EXPECT_EQ(JsonGetEvent(event, old, "evt"), kEventChannelClosed);
    EXPECT_FALSE(IsOpen(old));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(JsonAttach(root.path("/dev/rqbdsj").c_str(), "client"), -2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(JsonAttach(nullptr, nullptr), -2);
    EXPECT_EQ(OpenDevice((root.path("/dev/") + std::string(200, 'x')).c_str()), -2);
}

TEST(JsonChannelAttach, HandshakeCarriesNameAndDescriptor) {
    qmstest::RqbdSim sim;
    const std::string path = sim.path("/dev/rqbdsj");
    const int fd = JsonAttach(path.c_str(), "QMS_VRXIndication");
    ASSERT_GE(fd, 0);
    const int second = JsonAttach(path.c_str(), (std::string(64, 'n') + "TAIL").c_str());
    ASSERT_GE(second, 0);

    const auto blocks = InitBlocks(sim, 0x1100);
    ASSERT_EQ(blocks.size(), 2u);
    std::vector<unsigned char> expected(kInitBlockSize, 0);
    std::memcpy(expected.data(), "QMS_VRXIndication", 17);
    std::memcpy(&expected[kInitBlockFdOffset], &fd, 4);
    EXPECT_EQ(blocks[0], expected);
    // A name too long for the 65-byte field keeps 64 characters and its NUL.
    std::vector<unsigned char> cut(kInitBlockSize, 0);
    std::memset(cut.data(), 'n', 64);
    std::memcpy(&cut[kInitBlockFdOffset], &second, 4);
    EXPECT_EQ(blocks[1], cut);

    JsonDetach(fd, path.c_str());
    JsonDetach(second, path.c_str());
    JsonDetach(-1, path.c_str());
    EXPECT_FALSE(IsOpen(fd));
}

}  // namespace
