// A client of the simulator's agent sockets written for its tests: plain
// socket calls and the agent's framing, nothing shared with the module's
// switchclient/, so that what the tests see is the bytes the daemon put on
// the wire. Also the control calls and waits of every test that runs the
// simulator here or in tests/switchclient.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/RqbdSim.h"

namespace rqbdsimtest {

inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Polls done every 10 ms until it holds or timeout has passed.
template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

// Runs a control command and fails the test when the simulator refuses it.
inline std::string ctl(const qmstest::RqbdSim& sim, const std::vector<std::string>& args) {
    qmstest::RqbdSim::Result r = sim.ctl(args);
    EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
    return r.out;
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
        connectErrno_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
    }
    ~Channel() { close(fd_); }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool connected() const { return connectErrno_ == 0; }
    // Whether bytes of a frame not yet whole are held.
    bool pending() const { return !pending_.empty(); }
    int connectErrno() const { return connectErrno_; }

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

    // Reads one frame. Gives up after timeoutMs without a byte, not after
    // timeoutMs in all: a frame of megabytes may take longer than that to
    // arrive under a sanitizer, and it is a stall, not a slow frame, that a
    // caller wants to see.
    Read readRaw(std::string& payload, size_t& announced, int timeoutMs = 3000) {
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
            std::vector<char> buffer(1 << 20);
            pollfd p{fd_, POLLIN, 0};
            const ssize_t n = poll(&p, 1, timeoutMs) > 0 ? recv(fd_, buffer.data(), buffer.size(), 0) : -2;
            if (n <= 0) {
                payload = pending_.size() > 4 ? pending_.substr(4) : "";
                return n == -2 ? Read::Timeout : Read::Closed;
            }
            pending_.append(buffer.data(), static_cast<size_t>(n));
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
        sendCommand(R"({"OC":65440,"OE":)" + std::to_string(channelType) + R"(,"CA":0,"DA":{"RAW":[)" + raw +
                    "]}}");
        rapidjson::Document reply = command();
        std::vector<uint8_t> block;
        if (reply.IsObject() && reply.HasMember("DA"))
            for (const auto& v : reply["DA"]["RAW"].GetArray())
                block.push_back(static_cast<uint8_t>(v.GetUint()));
        return block;
    }

private:
    int fd_ = -1;
    int connectErrno_ = 0;
    std::string pending_;  // received bytes not yet cut into frames
};

}  // namespace rqbdsimtest
