// Feeds a byte stream to the station framing's reader as a connection would deliver it, in
// pieces whose sizes the input chooses, and compares with the same stream fed whole and fed
// byte by byte. Both ends of a connection (the client's receive thread, the server's
// connection loop) cut their streams with this reader, so what holds here holds there.
//
// Input: byte 0, low 4 bits: the count S of piece sizes; then S bytes, each a piece size
// minus 1 (used in turn, over and over; none: pieces of 7 bytes); the rest is the stream.
//
// Checked: every splitting yields the same frames and stops at the same point, broken or
// waiting for more, as a plain reading of the frame layout does; every frame encoded again
// gives exactly the bytes it was cut from; once broken the reader stays broken, whatever
// comes after; a payload that parses as an Opened payload encodes back to the same bytes,
// and one that does not is short or has a byte order other than 0 or 1.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/frame_layout.h"
#include "fuzz/fuzz_check.h"
#include "plcsim/station_frame.h"

namespace {

using plcsim::Frame;
using plcsim::FrameReader;

using ksymfuzz::FrameLayout;
using ksymfuzz::FrameSpan;

void CheckOpened(const std::vector<uint8_t>& payload) {
    bool bigEndian = false;
    uint32_t blockSize = 0;
    std::string name;
    const bool parsed = plcsim::ParseOpened(payload, bigEndian, blockSize, name);
    FUZZ_CHECK(parsed == (payload.size() >= 5 && payload[0] <= 1));
    if (parsed) {
        FUZZ_CHECK(plcsim::OpenedPayload(bigEndian, blockSize, name) == payload);
    }
}

// Feeds the stream in pieces of the given sizes (in turn), taking every frame as soon as it
// is complete, as a receive loop does; checks each frame against the layout's reading.
void Split(const uint8_t* stream, size_t size, const std::vector<size_t>& pieces,
           const FrameLayout& expected) {
    FrameReader reader;
    Frame frame;
    size_t taken = 0;
    size_t fed = 0;
    size_t next = 0;
    bool broken = false;
    while (fed < size && !broken) {
        const size_t piece = pieces[next++ % pieces.size()];
        const size_t count = piece < size - fed ? piece : size - fed;
        reader.Feed(stream + fed, count);
        fed += count;
        FrameReader::Result result;
        while ((result = reader.Next(frame)) == FrameReader::Result::Frame) {
            FUZZ_CHECK(taken < expected.frames.size());
            const FrameSpan span = expected.frames[taken++];
            FUZZ_CHECK(span.at + span.length <= fed);
            const std::vector<uint8_t> again = plcsim::EncodeFrame(
                frame.kind, frame.session, frame.payload.data(), frame.payload.size());
            FUZZ_CHECK(again.size() == span.length);
            FUZZ_CHECK(std::equal(again.begin(), again.end(), stream + span.at));
        }
        broken = result == FrameReader::Result::Broken;
    }
    FUZZ_CHECK(taken == expected.frames.size());
    FUZZ_CHECK(broken == expected.broken);
    if (!broken) {
        FUZZ_CHECK(fed == size);
        return;
    }
    // Broken for good: a valid frame fed now, and asked for again and again, changes nothing.
    const uint8_t empty[1] = {0};
    const std::vector<uint8_t> valid = plcsim::EncodeFrame(plcsim::FrameKind::Reply, 0, empty, 1);
    reader.Feed(valid.data(), valid.size());
    for (int i = 0; i < 3; ++i) {
        FUZZ_CHECK(reader.Next(frame) == FrameReader::Result::Broken);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t pieceCount = data[0] & 0x0F;
    if (size < 1 + pieceCount) {
        return 0;
    }
    std::vector<size_t> pieces;
    for (size_t i = 0; i < pieceCount; ++i) {
        pieces.push_back(static_cast<size_t>(data[1 + i]) + 1);
    }
    if (pieces.empty()) {
        pieces.push_back(7);
    }
    const uint8_t* stream = data + 1 + pieceCount;
    const size_t length = size - 1 - pieceCount;

    const FrameLayout expected = ksymfuzz::ReadFrameLayout(stream, length);
    Split(stream, length, pieces, expected);
    Split(stream, length, {length == 0 ? 1 : length}, expected);
    Split(stream, length, {1}, expected);
    for (const FrameSpan& span : expected.frames) {
        CheckOpened(
            std::vector<uint8_t>(stream + span.payloadAt(), stream + span.at + span.length));
    }
    return 0;
}
