#include "tools/ksym/publish/mqtt_link.h"

#include <mosquitto.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>

namespace ksymtool {

namespace {

// The library's global state, made once for the process.
void InitializeLibrary() {
    static const int initialized = mosquitto_lib_init();
    (void)initialized;
}

// After a break the broker is tried again after 1 s, then every 2 s: the library counts
// whole seconds, and a broker that is back should not wait long for its publishers.
constexpr unsigned kFirstRetrySeconds = 1;
constexpr unsigned kLastRetrySeconds = 2;
constexpr int kKeepAliveSeconds = 30;
// The messages that may wait in the library for the broker: a broker slower than the reads
// makes the publisher wait instead of letting the library's queue grow without end.
constexpr uint64_t kMostOutstanding = 10000;
// Where the system keeps the certificates a broker is verified against without --ca-file.
constexpr const char* kSystemCertificates = "/etc/ssl/certs";

} // namespace

MqttLink::MqttLink(MqttSettings settings) : settings_(std::move(settings)) {
    InitializeLibrary();
    client_ = mosquitto_new(settings_.clientId.empty() ? nullptr : settings_.clientId.c_str(), true,
                            this);
    if (client_ != nullptr) {
        mosquitto_connect_callback_set(client_, &MqttLink::OnConnect);
        mosquitto_disconnect_callback_set(client_, &MqttLink::OnDisconnect);
        mosquitto_publish_callback_set(client_, &MqttLink::OnPublish);
        mosquitto_message_callback_set(client_, &MqttLink::OnMessage);
        mosquitto_reconnect_delay_set(client_, kFirstRetrySeconds, kLastRetrySeconds, false);
    }
}

MqttLink::~MqttLink() {
    if (client_ == nullptr) {
        return;
    }
    mosquitto_disconnect(client_);
    if (looping_) {
        mosquitto_loop_stop(client_, false); // its thread ends once the goodbye is out
    }
    mosquitto_destroy(client_);
}

void MqttLink::OnConnect(mosquitto* client, void* self, int code) {
    auto* link = static_cast<MqttLink*>(self);
    if (code == 0) {
        // A clean session forgets subscriptions: each connection makes its own.
        for (const auto& subscription : link->subscriptions_) {
            mosquitto_subscribe(client, nullptr, subscription.first.c_str(), link->settings_.qos);
        }
    }
    std::lock_guard<std::mutex> lock(link->mutex_);
    if (code == 0) {
        // What the break cut off is not reported delivered: the count starts again.
        link->taken_ = link->sent_;
        link->connected_.store(true);
        link->connections_.fetch_add(1);
    }
    if (link->firstAnswer_ < 0) {
        link->firstAnswer_ = code;
        link->answered_.notify_all();
    }
}

void MqttLink::OnDisconnect(mosquitto*, void* self, int) {
    auto* link = static_cast<MqttLink*>(self);
    {
        std::lock_guard<std::mutex> lock(link->mutex_);
        link->connected_.store(false);
        link->answered_.notify_all(); // a publisher waiting for room gives up
    }
    // The library reconnects from this thread, with the will as it stands then.
    if (link->will_.renew) {
        link->will_.payload = link->will_.renew();
        link->SetWillNow();
    }
}

void MqttLink::OnPublish(mosquitto*, void* self, int) {
    auto* link = static_cast<MqttLink*>(self);
    std::lock_guard<std::mutex> lock(link->mutex_);
    ++link->taken_;
    link->answered_.notify_all();
}

void MqttLink::OnMessage(mosquitto*, void* self, const ::mosquitto_message* message) {
    auto* link = static_cast<MqttLink*>(self);
    if (message == nullptr || message->topic == nullptr) {
        return;
    }
    const auto* bytes = static_cast<const char*>(message->payload);
    const size_t length = message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
    const std::string payload = bytes != nullptr ? std::string(bytes, length) : std::string();
    for (const auto& subscription : link->subscriptions_) {
        bool matches = false;
        if (mosquitto_topic_matches_sub(subscription.first.c_str(), message->topic, &matches) ==
                MOSQ_ERR_SUCCESS &&
            matches) {
            subscription.second(message->topic, payload);
        }
    }
}

void MqttLink::Subscribe(std::string filter, Receive receive) {
    subscriptions_.emplace_back(std::move(filter), std::move(receive));
}

bool MqttLink::SetWillNow() {
    return mosquitto_will_set(client_, will_.topic.c_str(), static_cast<int>(will_.payload.size()),
                              will_.payload.data(), settings_.qos,
                              will_.retain) == MOSQ_ERR_SUCCESS;
}

void MqttLink::Flush(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return taken_ >= sent_ || !connected_.load(); });
}

bool MqttLink::SetTls(std::string& why) {
    const auto text = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
    const int set = mosquitto_tls_set(client_, text(settings_.caFile),
                                      settings_.caFile.empty() ? kSystemCertificates : nullptr,
                                      text(settings_.certFile), text(settings_.keyFile), nullptr);
    if (set != MOSQ_ERR_SUCCESS) {
        why = "the TLS files cannot be used: " + std::string(mosquitto_strerror(set));
        return false;
    }
    // The peer's certificate is checked, and its name against the broker's host.
    if (mosquitto_tls_opts_set(client_, 1, nullptr, nullptr) != MOSQ_ERR_SUCCESS ||
        mosquitto_tls_insecure_set(client_, false) != MOSQ_ERR_SUCCESS) {
        why = "TLS cannot be set up";
        return false;
    }
    return true;
}

MqttLink::Start MqttLink::Connect(std::string& why) {
    if (client_ == nullptr) {
        why = "the MQTT client library could not make a client";
        return Start::kFailed;
    }
    if (!settings_.username.empty() &&
        mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                  settings_.password.c_str()) != MOSQ_ERR_SUCCESS) {
        why = "the user name or password is not one MQTT can carry";
        return Start::kFailed;
    }
    if (!will_.topic.empty() && !SetWillNow()) {
        why = "the will topic '" + will_.topic + "' is not a valid topic";
        return Start::kFailed;
    }
    if (settings_.broker.tls && !SetTls(why)) {
        return Start::kFailed;
    }
    const std::string where = settings_.broker.host + ":" + std::to_string(settings_.broker.port);
    const int connected = mosquitto_connect(client_, settings_.broker.host.c_str(),
                                            settings_.broker.port, kKeepAliveSeconds);
    if (connected != MOSQ_ERR_SUCCESS) {
        why = "cannot reach the broker " + where + ": " +
              (connected == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(connected));
        return Start::kUnreachable;
    }
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        why = "the MQTT client library could not start its thread";
        return Start::kFailed;
    }
    looping_ = true;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!answered_.wait_for(lock, std::chrono::milliseconds(settings_.timeoutMs),
                            [&] { return firstAnswer_ >= 0; })) {
        why = "the broker " + where + " did not answer the connection";
        return Start::kUnreachable;
    }
    if (firstAnswer_ != 0) {
        why = "the broker " + where +
              " refused the connection: " + mosquitto_connack_string(firstAnswer_);
        return Start::kRefused;
    }
    return Start::kConnected;
}

bool MqttLink::Publish(const std::string& topic, const std::string& payload, bool retain) {
    if (client_ == nullptr || !connected_.load()) {
        return false;
    }
    // Counted before the library's thread can report it delivered; the lock is not held
    // across the call, which may report delivery on this thread.
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto room = [&] {
            return sent_ - std::min(taken_, sent_) < kMostOutstanding || !connected_.load();
        };
        // A broker that took nothing for a whole timeout is waited for once, not again for
        // every message until it takes some: the reads (and Ctrl-C) go on.
        if (!room() &&
            (stalled_ ||
             !answered_.wait_for(lock, std::chrono::milliseconds(settings_.timeoutMs), room))) {
            stalled_ = true;
            return false;
        }
        stalled_ = false;
        if (!connected_.load()) {
            return false;
        }
        ++sent_;
    }
    if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), settings_.qos, retain) != MOSQ_ERR_SUCCESS) {
        std::lock_guard<std::mutex> lock(mutex_);
        --sent_;
        return false;
    }
    return true;
}

} // namespace ksymtool
