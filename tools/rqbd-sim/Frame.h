// Byte framing of the agent channels: a 4-byte little-endian payload length,
// then the payload, which is the JSON text followed by one NUL byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rqbdsim {

// Largest payload the simulator accepts from a peer. A length word above it is
// taken as garbage on the wire; the connection is then dropped rather than
// buffering without bound.
constexpr uint32_t kMaxFramePayload = 16u << 20;

// Wraps text into one frame (length = text length + 1, text, NUL).
std::string encodeFrame(const std::string& text);

// Collects bytes from a stream and cuts them into frames. Owns its buffer;
// feed() may be called with any split of the stream.
class FrameDecoder {
public:
    enum class Result { Frame, NeedMore, Oversized };

    void feed(const char* data, size_t size) { buffer_.append(data, size); }

    // Takes the next complete frame: text receives the payload up to its first
    // NUL. Oversized means the peer announced a payload above
    // kMaxFramePayload; the decoder is then unusable.
    Result next(std::string& text);

    // Bytes received but not yet part of a complete frame.
    size_t pending() const { return buffer_.size() - offset_; }

private:
    std::string buffer_;
    size_t offset_ = 0;
};

}  // namespace rqbdsim
