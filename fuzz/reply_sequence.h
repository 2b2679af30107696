// The layout of a loader_reply_fuzz input: which reply step runs, on which bytes, with which
// announced size, one record after the other. The fuzz target decodes it; make_seeds encodes
// its seeds with the same functions, so that the two cannot drift apart.
//
//   byte 0          bit 0: the channel's byte-order flag (context.swapBytes)
//   then records    control (1 byte), reply length L (16 bits, little-endian), announced
//                   size R (16 bits, little-endian), then L reply bytes (fewer when the
//                   input ends first)
//
// control bit 0 picks the step (0 upload, 1 project id); bit 1 hands the upload a fresh
// device before the step when the last one was withdrawn (refused or complete), so that one
// input can hold several uploads. R is what the reply status reports and may be larger or
// smaller than L, as a client library that miscounts would report it.
#ifndef KSYM_FUZZ_REPLY_SEQUENCE_H
#define KSYM_FUZZ_REPLY_SEQUENCE_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ksymfuzz {

inline constexpr uint8_t kStepProjectId = 0x01; // else the upload step
inline constexpr uint8_t kRearmUpload = 0x02;
inline constexpr size_t kRecordHeaderSize = 5;

struct ReplyRecord {
    uint8_t control = 0;
    uint16_t announced = 0;
    std::vector<uint8_t> bytes;
};

struct ReplySequence {
    int32_t swapBytes = 0;
    std::vector<ReplyRecord> records;
};

inline uint16_t Le16At(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Every complete record header yields a record; a trailing partial header is ignored.
inline ReplySequence DecodeReplySequence(const uint8_t* data, size_t size) {
    ReplySequence sequence;
    if (size == 0) {
        return sequence;
    }
    sequence.swapBytes = data[0] & 1;
    size_t at = 1;
    while (size - at >= kRecordHeaderSize) {
        ReplyRecord record;
        record.control = data[at];
        const size_t length = Le16At(data + at + 1);
        record.announced = Le16At(data + at + 3);
        at += kRecordHeaderSize;
        const size_t taken = length < size - at ? length : size - at;
        record.bytes.assign(data + at, data + at + taken);
        at += taken;
        sequence.records.push_back(std::move(record));
    }
    return sequence;
}

inline std::vector<uint8_t> EncodeReplySequence(const ReplySequence& sequence) {
    std::vector<uint8_t> out{static_cast<uint8_t>(sequence.swapBytes & 1)};
    for (const ReplyRecord& record : sequence.records) {
        const auto length = static_cast<uint16_t>(record.bytes.size());
        out.push_back(record.control);
        out.push_back(static_cast<uint8_t>(length));
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(record.announced));
        out.push_back(static_cast<uint8_t>(record.announced >> 8));
        out.insert(out.end(), record.bytes.begin(), record.bytes.begin() + length);
    }
    return out;
}

} // namespace ksymfuzz

#endif
