// The station framing read straight from its documented layout (docs/station-protocol.md),
// independently of formats::FrameReader: what the targets that feed framed streams compare
// the reader's and the client's results with.
#ifndef KSYM_FUZZ_FRAME_LAYOUT_H
#define KSYM_FUZZ_FRAME_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ksymfuzz {

// The largest frame body: a payload of 16 MiB + 64 bytes and the 4 header bytes.
inline constexpr uint32_t kLayoutMaxBody = 16u * 1024u * 1024u + 64u + 4u;

// Where one frame lies in the stream, and its fields.
struct FrameSpan {
    size_t at;     // its length field
    size_t length; // the whole frame, length field included
    uint8_t kind;
    uint16_t session;
    size_t payloadAt() const { return at + 8; }
    size_t payloadLength() const { return length - 8; }
};

// A stream's frames, and whether it breaks after them (else what follows them, if
// anything, is a frame that has not arrived whole).
struct FrameLayout {
    std::vector<FrameSpan> frames;
    bool broken = false;
};

inline uint32_t LayoutLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline FrameLayout ReadFrameLayout(const uint8_t* stream, size_t size) {
    FrameLayout layout;
    size_t at = 0;
    while (size - at >= 4) {
        const uint32_t body = LayoutLe32(stream + at);
        if (body < 4 || body > kLayoutMaxBody) {
            layout.broken = true;
            break;
        }
        if (size - at - 4 < body) {
            break;
        }
        const uint8_t kind = stream[at + 4];
        if (kind < 1 || kind > 7 || stream[at + 5] != 0) {
            layout.broken = true;
            break;
        }
        const auto session = static_cast<uint16_t>(stream[at + 6] | stream[at + 7] << 8);
        layout.frames.push_back(FrameSpan{at, 4 + static_cast<size_t>(body), kind, session});
        at += 4 + static_cast<size_t>(body);
    }
    return layout;
}

// The input of a stream target: a first byte whose low four bits count the pieces, a byte
// per piece (its size less one), then the stream. False when the input is too short.
struct PiecedStream {
    std::vector<size_t> pieces;
    const uint8_t* bytes = nullptr;
    size_t length = 0;
};

inline bool ReadPiecedStream(const uint8_t* data, size_t size, PiecedStream& input) {
    if (size == 0) {
        return false;
    }
    const size_t pieceCount = data[0] & 0x0F;
    if (size < 1 + pieceCount) {
        return false;
    }
    input.pieces.clear();
    for (size_t i = 0; i < pieceCount; ++i) {
        input.pieces.push_back(static_cast<size_t>(data[1 + i]) + 1);
    }
    input.bytes = data + 1 + pieceCount;
    input.length = size - 1 - pieceCount;
    return true;
}

} // namespace ksymfuzz

#endif
