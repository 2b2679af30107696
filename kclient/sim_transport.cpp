#include "kclient/sim_transport.h"

#include "kclient/sim_worker.h"
#include "formats/byte_order.h"

namespace kclient {

SimTransport::SimTransport(std::shared_ptr<plcsim::Controller> controller,
                           std::weak_ptr<Channel> sink)
    : controller_(std::move(controller)), session_(std::make_shared<plcsim::Session>()),
      sink_(std::move(sink)) {}

bool SimTransport::Send(const uint8_t* telegram, uint32_t length) {
    std::vector<uint8_t> request(telegram, telegram + length);
    return SimWorker::Instance().Submit(controller_, session_, sink_, std::move(request),
                                        controller_->GetConfig().latencyMs);
}

uint32_t SimTransport::SwapFlag() const {
    return controller_->GetConfig().order != formats::HostOrder() ? 1u : 0u;
}

uint32_t SimTransport::BlockSize() const {
    return controller_->GetConfig().blockSize;
}

std::string SimTransport::ProjectName() const {
    return controller_->GetProject().fileName;
}

std::shared_ptr<plcsim::Controller> MakeSimController(const std::string& options,
                                                      std::string& error) {
    plcsim::Config config;
    if (!plcsim::ParseConfig(options, config, error)) {
        return nullptr;
    }
    auto controller = std::make_shared<plcsim::Controller>();
    if (!controller->Configure(config, error)) {
        return nullptr;
    }
    return controller;
}

} // namespace kclient
