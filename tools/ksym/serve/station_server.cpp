#include "tools/ksym/serve/station_server.h"

#include <cstdio>
#include <random>

#include "tools/ksym/serve/http_guard.h"

namespace ksymtool {

namespace {

// Watches hold a worker each for as long as they run, so the pool is larger than the
// library's default; the hub bounds the watches below it.
constexpr size_t kServerThreads = WatchHub::kMaxSubscriptions + 8;

} // namespace

std::string NewToken() {
    std::random_device source;
    std::string token;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        const unsigned value = source() & 0xFFFFu;
        for (int shift = 12; shift >= 0; shift -= 4) {
            token.push_back(kHex[(value >> shift) & 0xFu]);
        }
    }
    return token;
}

StationServer::StationServer(const Options& options, const RouteSettings& settings)
    : settings_(settings), hub_(options) {}

StationServer::~StationServer() {
    Stop();
}

int StationServer::Start(const std::string& host, uint16_t port, uint16_t& bound) {
    const int started = hub_.Start();
    if (started != kExitOk) {
        return started;
    }
    HttpLimits limits;
    limits.workers = kServerThreads;
    server_ = std::make_unique<GuardedServer>(limits);
    server_->set_payload_max_length(kMaxBodyBytes);
    if (!server_->StartGuard()) {
        std::fprintf(stderr, "ksym: cannot start the server's threads\n");
        return kExitListenFailed;
    }
    AddRoutes(*server_, hub_, settings_);
    const int port_bound = port == 0 ? server_->bind_to_any_port(host)
                                     : (server_->bind_to_port(host, port) ? port : -1);
    if (port_bound <= 0) {
        std::fprintf(stderr, "ksym: cannot listen on %s:%u\n", host.c_str(),
                     static_cast<unsigned>(port));
        return kExitListenFailed;
    }
    bound = static_cast<uint16_t>(port_bound);
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    return kExitOk;
}

void StationServer::Stop() {
    // The hub first: it ends the watch streams; then every connection ends, whatever its
    // client does.
    hub_.Stop();
    if (server_ != nullptr) {
        server_->StopAll();
    }
    if (listener_.joinable()) {
        listener_.join();
    }
}

} // namespace ksymtool
