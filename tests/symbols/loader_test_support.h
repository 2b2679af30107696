// What the loader tests share: a scripted station that answers the telegrams the library
// writes to the fake client, SDB files made with the project writer, and the local folder.
#ifndef KSYM_TESTS_SYMBOLS_LOADER_TEST_SUPPORT_H
#define KSYM_TESTS_SYMBOLS_LOADER_TEST_SUPPORT_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "extern/kutil.h"
#include "fakes/fake_kclient.h"
#include "formats/sdb_writer.h"

namespace ksymtest {

struct StationReply {
    StationReply() = default;
    StationReply(int32_t replyStatus, std::vector<uint8_t> replyBytes)
        : status(replyStatus), bytes(std::move(replyBytes)) {}

    int32_t status = COMM_MESSAGEREADY;
    std::vector<uint8_t> bytes;        // for COMM_MESSAGEREADY; its length is the status value
    std::optional<uint32_t> announced; // a status value other than the length (a lying one)
};

// Answers each telegram written on `channel`, in order, on a thread of its own, by
// queueing what `answer` returns (the telegram's 0-based number among those of the
// channel is passed along).
class ScriptedStation {
public:
    using Answer =
        std::function<std::vector<StationReply>(const std::vector<uint8_t>& telegram, size_t n)>;

    ScriptedStation(int32_t channel, Answer answer)
        : channel_(channel), answer_(std::move(answer)), thread_([this] { Run(); }) {}
    ScriptedStation(const ScriptedStation&) = delete;
    ScriptedStation& operator=(const ScriptedStation&) = delete;
    ~ScriptedStation() {
        stop_ = true;
        thread_.join();
    }

private:
    void Run() {
        const fake::HarnessScope station;
        size_t answered = 0;
        while (!stop_) {
            std::vector<std::vector<uint8_t>> mine;
            for (const fake::Telegram& telegram : fake::Telegrams()) {
                if (telegram.channel == channel_) {
                    mine.push_back(telegram.bytes);
                }
            }
            for (; answered < mine.size(); ++answered) {
                for (const StationReply& reply : answer_(mine[answered], answered)) {
                    const auto value = reply.announced ? *reply.announced
                                       : reply.status == COMM_MESSAGEREADY
                                           ? static_cast<uint32_t>(reply.bytes.size())
                                           : 0u;
                    fake::QueueReply(channel_, reply.status, value, reply.bytes);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    int32_t channel_;
    Answer answer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A field of `width` bytes in the station's order: the host's (little-endian on every
// machine these tests run on), or the other one when `swap` is nonzero.
inline void PutWord(std::vector<uint8_t>& out, uint32_t value, int width, int32_t swap) {
    uint8_t bytes[4];
    for (int i = 0; i < width; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    if (swap != 0) {
        for (int i = 0; i < width / 2; ++i) {
            std::swap(bytes[i], bytes[width - 1 - i]);
        }
    }
    out.insert(out.end(), bytes, bytes + width);
}

// The project-identification reply: status, id, then what the loader does not read.
inline StationReply ProjectIdReply(uint16_t status, uint32_t id, int32_t swap = 0) {
    StationReply reply;
    PutWord(reply.bytes, status, 2, swap);
    PutWord(reply.bytes, id, 4, swap);
    PutWord(reply.bytes, 7, 4, swap);
    reply.bytes.resize(reply.bytes.size() + 5, 0);
    return reply;
}

// One upload chunk: status, more, data length, data.
inline StationReply Chunk(const std::vector<uint8_t>& data, bool more, int32_t swap = 0,
                          uint16_t status = 0) {
    StationReply reply;
    PutWord(reply.bytes, status, 2, swap);
    PutWord(reply.bytes, more ? 1 : 0, 2, swap);
    PutWord(reply.bytes, static_cast<uint32_t>(data.size()), 2, swap);
    reply.bytes.insert(reply.bytes.end(), data.begin(), data.end());
    return reply;
}

// `bytes` cut into `parts` nearly equal pieces.
inline std::vector<std::vector<uint8_t>> Split(const std::vector<uint8_t>& bytes, size_t parts) {
    std::vector<std::vector<uint8_t>> pieces;
    const size_t step = (bytes.size() + parts - 1) / parts;
    for (size_t at = 0; at < bytes.size(); at += step) {
        const size_t end = std::min(bytes.size(), at + step);
        pieces.emplace_back(bytes.begin() + static_cast<long>(at),
                            bytes.begin() + static_cast<long>(end));
    }
    return pieces;
}

// Test byte of the station's memory.
inline uint8_t MemoryByte(uint16_t area, uint32_t offset) {
    return static_cast<uint8_t>(offset * 13u + area * 71u + 5u);
}

// The read reply a station gives to `request` (host-order fields when swap is 0): status 0,
// the reply word, then each item present with its bytes of MemoryByte (a bit: 1).
inline std::vector<uint8_t> ReadReplyFor(const std::vector<uint8_t>& request, int32_t swap,
                                         uint32_t replyWord) {
    auto field = [&](size_t at, uint32_t width) {
        uint32_t value = 0;
        std::memcpy(&value, request.data() + at, width);
        KUtilSwap(swap, &value, width);
        return value;
    };
    std::vector<uint8_t> reply;
    PutWord(reply, 0, 2, swap);
    PutWord(reply, replyWord, 4, swap);
    const uint32_t items = field(2, 4);
    for (uint32_t i = 0; i < items; ++i) {
        const size_t at = 6 + 10 * static_cast<size_t>(i);
        const auto area = static_cast<uint16_t>(field(at, 2));
        const uint32_t offset = field(at + 2, 4);
        const uint32_t size = field(at + 6, 4);
        reply.push_back(1);
        if (size == 0) {
            reply.push_back(1);
        }
        for (uint32_t k = 0; k < size; ++k) {
            reply.push_back(MemoryByte(area, offset + k));
        }
    }
    return reply;
}

// A small project: an integer, a string, an array of integers and a data block.
inline std::vector<uint8_t> SmallProject(uint32_t id) {
    formats::SdbProject project;
    project.projectId = id;
    project.types = {
        {2, 2, "INT", 0, 0, {}, 0},
        {formats::kSdbCodeString, 21, "STRING20", 0, 0, {}, 0},
        {formats::kSdbCodeArray, 20, "INTARR10", 0, 10, {}, 0},
        {formats::kSdbCodeDataBlock, 64, "DB64", 0, 0, {}, 0},
    };
    project.variables = {
        {"Line1.Speed", 0, 0x0102, 3, 0}, {"Line1.Name", 1, 0, 3, 2},
        {"Line1.Counts", 2, 0, 3, 24},    {"LINE1.SPEED", 0, 0, 3, 44},
        {"Line2.Block", 3, 0, 1, 0},
    };
    return formats::WriteSdb(project);
}

// The bytes of a file; empty with `exists` false when it cannot be opened.
inline std::vector<uint8_t> ReadFileBack(std::string path, bool* exists = nullptr) {
    KBufferedFileSerDev device(&path[0], SD_READ);
    if (exists != nullptr) {
        *exists = device.GetStatus() == 0;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max(0L, device.GetMaxDefinedSerDev())));
    if (!bytes.empty()) {
        device.GetBlock(reinterpret_cast<char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    return bytes;
}

inline void WriteFile(std::string path, std::vector<uint8_t> bytes) {
    KBufferedFileSerDev device(&path[0], SD_WRITE);
    device.PutBlock(reinterpret_cast<char*>(bytes.data()), static_cast<long>(bytes.size()));
}

} // namespace ksymtest

#endif
