// The embedded transport: a simulated controller answering on the client's own worker
// thread.
#ifndef KSYM_KCLIENT_SIM_TRANSPORT_H
#define KSYM_KCLIENT_SIM_TRANSPORT_H

#include <memory>
#include <string>

#include "kclient/transport.h"
#include "plcsim/controller.h"
#include "plcsim/session.h"

namespace kclient {

// The transport owns its channel's controller session (the upload in progress), so that a
// re-open, which keeps the transport, keeps the upload too. The session is handed to the
// worker with every request and touched only there.
class SimTransport : public Transport {
public:
    SimTransport(std::shared_ptr<plcsim::Controller> controller, std::weak_ptr<Channel> sink);

    bool Send(const uint8_t* telegram, uint32_t length) override;
    uint32_t SwapFlag() const override;
    uint32_t BlockSize() const override;
    std::string ProjectName() const override;

private:
    std::shared_ptr<plcsim::Controller> controller_;
    std::shared_ptr<plcsim::Session> session_; // touched only on the worker thread
    std::weak_ptr<Channel> sink_;
};

// A simulated controller set up by `options` (the text after "sim:"); null with `error`
// when an option is unknown or malformed or the project cannot be loaded.
std::shared_ptr<plcsim::Controller> MakeSimController(const std::string& options,
                                                      std::string& error);

} // namespace kclient

#endif
