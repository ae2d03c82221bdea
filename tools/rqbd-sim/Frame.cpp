#include "Frame.h"

#include <cstring>

namespace rqbdsim {

std::string encodeFrame(const std::string& text) {
    const uint32_t length = static_cast<uint32_t>(text.size() + 1);
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    frame += text;
    frame.push_back('\0');
    return frame;
}

FrameDecoder::Result FrameDecoder::next(std::string& text) {
    if (pending() < 4) return Result::NeedMore;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + offset_);
    const uint32_t length = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    if (length > kMaxFramePayload) return Result::Oversized;
    if (pending() - 4 < length) return Result::NeedMore;
    const char* payload = buffer_.data() + offset_ + 4;
    const void* nul = std::memchr(payload, '\0', length);
    text.assign(payload, nul ? static_cast<const char*>(nul) - payload : length);
    offset_ += 4 + length;
    // Compact once the consumed prefix dominates, so a long-lived channel does
    // not keep every frame it ever received.
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    } else if (offset_ > 4096 && offset_ * 2 > buffer_.size()) {
        buffer_.erase(0, offset_);
        offset_ = 0;
    }
    return Result::Frame;
}

}  // namespace rqbdsim
