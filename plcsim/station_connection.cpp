#include "plcsim/station_connection.h"

#include <cstring>

namespace plcsim {

bool IsCutRequest(const std::vector<uint8_t>& request) {
    static const char kCut[] = "\xF0"
                               "cut";
    const size_t length = sizeof(kCut) - 1;
    if (request.size() != length && !(request.size() == length + 1 && request.back() == 0)) {
        return false;
    }
    return std::memcmp(request.data(), kCut, length) == 0;
}

bool StationConnection::Take(const formats::Frame& frame) {
    auto session = sessions_.find(frame.session);
    switch (frame.kind) {
    case formats::FrameKind::Open: {
        // An Open of a session already open starts it over.
        sessions_[frame.session] = Session{};
        const Config config = controller_.GetConfig();
        return send_(formats::FrameKind::Opened, frame.session,
                     formats::OpenedPayload(config.order == formats::ByteOrder::Big,
                                            config.blockSize, controller_.GetProject().fileName));
    }
    case formats::FrameKind::KeepAlive:
        return true;
    case formats::FrameKind::Close:
        if (session == sessions_.end()) {
            return false;
        }
        sessions_.erase(session);
        return true;
    case formats::FrameKind::Request: {
        if (session == sessions_.end() || IsCutRequest(frame.payload)) {
            return false;
        }
        const uint32_t latency = controller_.GetConfig().latencyMs;
        if (latency != 0 && !wait_(latency)) {
            return false;
        }
        const Outcome outcome =
            controller_.Handle(session->second, frame.payload.data(), frame.payload.size());
        if (outcome.kind == Outcome::Kind::Reply) {
            return send_(formats::FrameKind::Reply, frame.session, outcome.reply);
        }
        if (outcome.kind == Outcome::Kind::FatalError) {
            return send_(formats::FrameKind::Fatal, frame.session, {});
        }
        return true;
    }
    default: // the server's own kinds never come from a client
        return false;
    }
}

} // namespace plcsim
