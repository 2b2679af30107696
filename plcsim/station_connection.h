// What the frames of one station connection do, apart from its socket: the sessions they
// open and close, the requests handed to the controller, the answers, and the frames that
// end the connection (docs/station-protocol.md). The station server feeds it the frames it
// cuts from a connection's stream; being free of sockets, it can be driven directly too.
#ifndef KSYM_PLCSIM_STATION_CONNECTION_H
#define KSYM_PLCSIM_STATION_CONNECTION_H

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "plcsim/controller.h"
#include "plcsim/session.h"
#include "formats/station_frame.h"

namespace plcsim {

// Threads: one connection's frames are taken by one thread, one at a time.
class StationConnection {
public:
    // Sends one frame to the peer; false when it cannot (the peer is gone).
    using SendFrame = std::function<bool(formats::FrameKind kind, uint16_t session,
                                         const std::vector<uint8_t>& payload)>;
    // Waits `ms` before an answer; false when the server stops meanwhile.
    using Wait = std::function<bool(uint32_t ms)>;

    StationConnection(Controller& controller, SendFrame send, Wait wait)
        : controller_(controller), send_(std::move(send)), wait_(std::move(wait)) {}

    // Takes one frame from the peer and answers it. False when the connection must end: a
    // frame of the server's kinds, a Request or Close of a session not open, the cut
    // command, an answer that cannot be sent, or a wait the server ended.
    bool Take(const formats::Frame& frame);

    // True while a session is open on the connection.
    bool HasSessions() const { return !sessions_.empty(); }

private:
    Controller& controller_;
    SendFrame send_;
    Wait wait_;
    std::map<uint16_t, Session> sessions_;
};

// Whether a request is the control telegram that makes the server drop the connection:
// "\xF0cut", one zero may follow as it may after every control command.
bool IsCutRequest(const std::vector<uint8_t>& request);

} // namespace plcsim

#endif
