#include "formats/station_frame.h"

namespace formats {

namespace {

void PutLe(std::vector<uint8_t>& out, uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint32_t GetLe(const uint8_t* at, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
        value |= static_cast<uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

bool KnownKind(uint8_t kind) {
    return kind >= static_cast<uint8_t>(FrameKind::Open) &&
           kind <= static_cast<uint8_t>(FrameKind::KeepAlive);
}

} // namespace

std::vector<uint8_t> EncodeFrame(FrameKind kind, uint16_t session, const uint8_t* payload,
                                 size_t length) {
    std::vector<uint8_t> frame;
    frame.reserve(kFrameLengthField + kFrameHeader + length);
    PutLe(frame, static_cast<uint32_t>(kFrameHeader + length), 4);
    frame.push_back(static_cast<uint8_t>(kind));
    frame.push_back(0);
    PutLe(frame, session, 2);
    if (length != 0) {
        frame.insert(frame.end(), payload, payload + length);
    }
    return frame;
}

FrameReader::FrameReader(uint32_t maxBody)
    : maxBody_(maxBody < kMaxFrameBody ? maxBody : kMaxFrameBody) {}

void FrameReader::Feed(const uint8_t* bytes, size_t length) {
    if (broken_ || length == 0) {
        return;
    }
    // Drop what was handed out before the buffer grows, so it never holds more than one
    // frame's worth of old bytes.
    if (start_ != 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + length);
}

FrameReader::Result FrameReader::Next(Frame& frame) {
    if (broken_) {
        return Result::Broken;
    }
    const size_t available = buffer_.size() - start_;
    if (available < kFrameLengthField) {
        return Result::NeedMore;
    }
    const uint8_t* at = buffer_.data() + start_;
    const uint32_t body = GetLe(at, 4);
    if (body < kFrameHeader || body > maxBody_) {
        broken_ = true;
        buffer_.clear();
        buffer_.shrink_to_fit();
        start_ = 0;
        return Result::Broken;
    }
    if (available - kFrameLengthField < body) {
        return Result::NeedMore;
    }
    const uint8_t* header = at + kFrameLengthField;
    if (!KnownKind(header[0]) || header[1] != 0) {
        broken_ = true;
        return Result::Broken;
    }
    frame.kind = static_cast<FrameKind>(header[0]);
    frame.session = static_cast<uint16_t>(GetLe(header + 2, 2));
    frame.payload.assign(header + kFrameHeader, header + body);
    start_ += kFrameLengthField + body;
    return Result::Frame;
}

std::vector<uint8_t> OpenedPayload(bool bigEndian, uint32_t blockSize,
                                   const std::string& projectName) {
    std::vector<uint8_t> payload;
    payload.push_back(bigEndian ? 1 : 0);
    PutLe(payload, blockSize, 4);
    payload.insert(payload.end(), projectName.begin(), projectName.end());
    return payload;
}

bool ParseOpened(const std::vector<uint8_t>& payload, bool& bigEndian, uint32_t& blockSize,
                 std::string& projectName) {
    if (payload.size() < 5 || payload[0] > 1) {
        return false;
    }
    bigEndian = payload[0] == 1;
    blockSize = GetLe(payload.data() + 1, 4);
    projectName.assign(payload.begin() + 5, payload.end());
    return true;
}

} // namespace formats
