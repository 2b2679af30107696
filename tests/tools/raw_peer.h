// A station peer for the tool's tests: frames over a connection of the test's own, to
// open a session and ask the station one telegram at a time (the control service included).
#ifndef KSYM_TESTS_TOOLS_RAW_PEER_H
#define KSYM_TESTS_TOOLS_RAW_PEER_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "formats/station_frame.h"
#include "raw_socket.h"

namespace ksymtest {

// A station peer: frames over a connection of the test's own.
class RawPeer {
    using Clock = RawClock;
    using FrameKind = formats::FrameKind;

public:
    explicit RawPeer(uint16_t port) : socket_(port) {}

    bool connected() const { return socket_.connected(); }
    bool Send(const std::vector<uint8_t>& bytes) {
        return socket_.Send(bytes.data(), bytes.size());
    }
    bool SendFrame(FrameKind kind, const std::string& payload = {}) {
        return Send(formats::EncodeFrame(kind, 0, reinterpret_cast<const uint8_t*>(payload.data()),
                                         payload.size()));
    }
    bool ClosedWithin(int ms) { return socket_.ClosedWithin(ms); }

    // The next frame from the station within `ms`; none when it closed or fell silent.
    std::optional<formats::Frame> Receive(int ms) {
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(ms);
        formats::Frame frame;
        for (;;) {
            if (reader_.Next(frame) == formats::FrameReader::Result::Frame) {
                return frame;
            }
            uint8_t chunk[4096];
            const long left = -ElapsedMs(due);
            const long n =
                left <= 0 ? -1 : socket_.Receive(chunk, sizeof chunk, static_cast<int>(left));
            if (n <= 0) {
                return std::nullopt;
            }
            reader_.Feed(chunk, static_cast<size_t>(n));
        }
    }

    bool OpenSession() {
        if (!SendFrame(FrameKind::Open)) {
            return false;
        }
        const auto opened = Receive(3000);
        return opened && opened->kind == FrameKind::Opened;
    }

    // The reply to one telegram; none when the station did not answer within `ms`.
    std::optional<std::vector<uint8_t>> Ask(const std::string& telegram, int ms = 3000) {
        if (!SendFrame(FrameKind::Request, telegram)) {
            return std::nullopt;
        }
        const auto reply = Receive(ms);
        if (!reply || reply->kind != FrameKind::Reply) {
            return std::nullopt;
        }
        return reply->payload;
    }

private:
    ksymtest::RawSocket socket_;
    formats::FrameReader reader_;
};

} // namespace ksymtest

#endif
