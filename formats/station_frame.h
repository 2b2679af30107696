// The framing that carries telegrams between a client and a station server over a byte
// stream (TCP). Every frame is
//
//   length  4 bytes, little-endian: the bytes that follow it (4 to kMaxFrameBody)
//   kind    1 byte (FrameKind)
//   spare   1 byte, 0
//   session 2 bytes, little-endian: which of the connection's channels the frame is for
//   payload length - 4 bytes
//
// A connection carries any number of sessions; the client numbers them. A frame whose length
// is out of range, whose kind is unknown or whose spare byte is not 0 is a broken stream:
// the receiver closes that connection.
#ifndef KSYM_FORMATS_STATION_FRAME_H
#define KSYM_FORMATS_STATION_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace formats {

enum class FrameKind : uint8_t {
    Open = 1,      // client: a new session; the server answers Opened
    Opened = 2,    // server: payload = byte order (0 little, 1 big), block size (4 bytes LE),
                   // then the project's file name
    Request = 3,   // client: one telegram
    Reply = 4,     // server: the reply to a request, possibly empty
    Fatal = 5,     // server: the controller reported a fatal error instead of answering
    Close = 6,     // client: the session ends; no answer
    KeepAlive = 7, // client: nothing but a sign of life on an idle connection; no answer
};

inline constexpr size_t kFrameLengthField = 4;
inline constexpr size_t kFrameHeader = 4; // kind, spare, session
// The largest telegram or reply a frame carries, and so the largest frame body.
inline constexpr uint32_t kMaxFramePayload = 16u * 1024u * 1024u + 64u;
inline constexpr uint32_t kMaxFrameBody = kMaxFramePayload + kFrameHeader;

struct Frame {
    FrameKind kind = FrameKind::Request;
    uint16_t session = 0;
    std::vector<uint8_t> payload;
};

// The bytes of one frame. The payload must not exceed kMaxFramePayload.
std::vector<uint8_t> EncodeFrame(FrameKind kind, uint16_t session, const uint8_t* payload,
                                 size_t length);

// Collects stream bytes and cuts them into frames.
class FrameReader {
public:
    enum class Result { Frame, NeedMore, Broken };

    // A frame body above `maxBody` (at most kMaxFrameBody) breaks the stream: a reader holds
    // at most one frame of that size, and what one receive brought beyond it.
    explicit FrameReader(uint32_t maxBody = kMaxFrameBody);

    // Appends received bytes.
    void Feed(const uint8_t* bytes, size_t length);
    // The next complete frame, NeedMore when it has not arrived whole, Broken (for good)
    // when the stream breaks the framing.
    Result Next(Frame& frame);
    // True while bytes of a frame that has not arrived whole are held.
    bool Holding() const { return !broken_ && buffer_.size() > start_; }

private:
    uint32_t maxBody_;
    std::vector<uint8_t> buffer_;
    size_t start_ = 0; // bytes of buffer_ already handed out
    bool broken_ = false;
};

// The Opened payload and back. ParseOpened is false for a payload shorter than 5 bytes or a
// byte order other than 0 or 1.
std::vector<uint8_t> OpenedPayload(bool bigEndian, uint32_t blockSize,
                                   const std::string& projectName);
bool ParseOpened(const std::vector<uint8_t>& payload, bool& bigEndian, uint32_t& blockSize,
                 std::string& projectName);

} // namespace formats

#endif
