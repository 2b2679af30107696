// Feeds a byte stream to the station framing's reader as a connection would deliver it, in
// pieces whose sizes the input chooses, and compares with the same stream fed whole and fed
// byte by byte. Both ends of a connection (the client's receive thread, the server's
// connection loop) cut their streams with this reader, so what holds here holds there. The
// frames are then taken by the server's connection handling (StationConnection, without a
// socket) as a client's frames, on a sample-project controller with a manual clock.
//
// Input: byte 0, low 4 bits: the count S of piece sizes; then S bytes, each a piece size
// minus 1 (used in turn, over and over; none: pieces of 7 bytes); the rest is the stream.
//
// Checked: every splitting yields the same frames and stops at the same point, broken or
// waiting for more, as a plain reading of the frame layout does; every frame encoded again
// gives exactly the bytes it was cut from; once broken the reader stays broken, whatever
// comes after; a payload that parses as an Opened payload encodes back to the same bytes,
// and one that does not is short or has a byte order other than 0 or 1. The server answers
// every Open with one Opened of that session that reports the controller's settings, every
// Request of an open session with at most one Reply or Fatal of that session, a Close of an
// open session with nothing, and ends the connection, sending nothing, exactly at a frame
// of its own kinds, a Request or Close of a session not open, or the cut command. (Control
// commands fuzz/control_filter.h names are dropped before the server sees them.)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz/control_filter.h"
#include "fuzz/frame_layout.h"
#include "fuzz/fuzz_check.h"
#include "plcsim/controller.h"
#include "plcsim/station_connection.h"
#include "formats/station_frame.h"

namespace {

using formats::Frame;
using formats::FrameReader;

using ksymfuzz::FrameLayout;
using ksymfuzz::FrameSpan;

void CheckOpened(const std::vector<uint8_t>& payload) {
    bool bigEndian = false;
    uint32_t blockSize = 0;
    std::string name;
    const bool parsed = formats::ParseOpened(payload, bigEndian, blockSize, name);
    FUZZ_CHECK(parsed == (payload.size() >= 5 && payload[0] <= 1));
    if (parsed) {
        FUZZ_CHECK(formats::OpenedPayload(bigEndian, blockSize, name) == payload);
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
            const std::vector<uint8_t> again = formats::EncodeFrame(
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
    const std::vector<uint8_t> valid = formats::EncodeFrame(formats::FrameKind::Reply, 0, empty, 1);
    reader.Feed(valid.data(), valid.size());
    for (int i = 0; i < 3; ++i) {
        FUZZ_CHECK(reader.Next(frame) == FrameReader::Result::Broken);
    }
}

struct Sent {
    formats::FrameKind kind;
    uint16_t session;
    std::vector<uint8_t> payload;
};

bool IsCut(const std::vector<uint8_t>& payload) {
    const std::vector<uint8_t> cut = {0xF0, 'c', 'u', 't'};
    std::vector<uint8_t> text = payload;
    if (text.size() == 5 && text.back() == 0) {
        text.pop_back();
    }
    return text == cut;
}

void CheckServer(const uint8_t* stream, const FrameLayout& layout) {
    using formats::FrameKind;
    plcsim::Config config;
    config.manualClock = true;
    config.memorySize = 512;
    plcsim::Controller controller;
    std::string error;
    FUZZ_CHECK(controller.Configure(config, error));
    const std::vector<uint8_t> opened =
        formats::OpenedPayload(false, config.blockSize, controller.GetProject().fileName);
    std::vector<Sent> sent;
    plcsim::StationConnection connection(
        controller,
        [&sent](FrameKind kind, uint16_t session, const std::vector<uint8_t>& payload) {
            sent.push_back(Sent{kind, session, payload});
            return true;
        },
        [](uint32_t) { return true; });
    std::set<uint16_t> open;
    for (const FrameSpan& span : layout.frames) {
        Frame frame;
        frame.kind = static_cast<FrameKind>(span.kind);
        frame.session = span.session;
        frame.payload.assign(stream + span.payloadAt(), stream + span.at + span.length);
        if (frame.kind == FrameKind::Request &&
            ksymfuzz::WithheldControl(frame.payload.data(), frame.payload.size())) {
            continue;
        }
        const bool known = open.count(frame.session) != 0;
        const bool ends = frame.kind == FrameKind::Opened || frame.kind == FrameKind::Reply ||
                          frame.kind == FrameKind::Fatal ||
                          (frame.kind == FrameKind::Request && (!known || IsCut(frame.payload))) ||
                          (frame.kind == FrameKind::Close && !known);
        const size_t before = sent.size();
        FUZZ_CHECK(connection.Take(frame) == !ends);
        const size_t answers = sent.size() - before;
        if (ends) {
            FUZZ_CHECK(answers == 0);
            return;
        }
        switch (frame.kind) {
        case FrameKind::Open:
            FUZZ_CHECK(answers == 1);
            FUZZ_CHECK(sent.back().kind == FrameKind::Opened);
            FUZZ_CHECK(sent.back().session == frame.session);
            FUZZ_CHECK(sent.back().payload == opened);
            open.insert(frame.session);
            break;
        case FrameKind::Close:
            FUZZ_CHECK(answers == 0);
            open.erase(frame.session);
            break;
        default: // a Request of an open session
            FUZZ_CHECK(answers <= 1);
            if (answers == 1) {
                FUZZ_CHECK(sent.back().session == frame.session);
                FUZZ_CHECK(sent.back().kind == FrameKind::Reply ||
                           (sent.back().kind == FrameKind::Fatal && sent.back().payload.empty()));
            }
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ksymfuzz::PiecedStream input;
    if (!ksymfuzz::ReadPiecedStream(data, size, input)) {
        return 0;
    }
    std::vector<size_t>& pieces = input.pieces;
    if (pieces.empty()) {
        pieces.push_back(7);
    }
    const uint8_t* stream = input.bytes;
    const size_t length = input.length;

    const FrameLayout expected = ksymfuzz::ReadFrameLayout(stream, length);
    Split(stream, length, pieces, expected);
    Split(stream, length, {length == 0 ? 1 : length}, expected);
    Split(stream, length, {1}, expected);
    for (const FrameSpan& span : expected.frames) {
        CheckOpened(
            std::vector<uint8_t>(stream + span.payloadAt(), stream + span.at + span.length));
    }
    CheckServer(stream, expected);
    return 0;
}
