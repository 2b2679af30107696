// One connection to an MQTT broker through libmosquitto: connected once at the start (so
// that an unreachable broker or a refused login is told apart and reported), then kept by
// the library's own thread, which reconnects with a growing delay after a break. The will
// (a retained message the broker sends when the link dies without saying goodbye) is set
// before the connection.
//
// Threads: the owner's thread calls every member; libmosquitto's thread runs the callbacks,
// which only touch the atomics, the will (between connections, when only that thread uses
// it) and, under mutex_, the first answer and the counts of messages sent and delivered.
#ifndef KSYM_TOOLS_PUBLISH_MQTT_LINK_H
#define KSYM_TOOLS_PUBLISH_MQTT_LINK_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tools/ksym/publish/broker_address.h"

struct mosquitto;
struct mosquitto_message;

namespace ksymtool {

// The message the broker sends for the publisher when its link dies without a goodbye.
struct MqttWill {
    std::string topic; // empty: no will
    std::string payload;
    bool retain = true;
    // When set, gives the payload of the will for the next connection after every break; it
    // runs on the library's thread.
    std::function<std::string()> renew;
};

struct MqttSettings {
    BrokerAddress broker;
    std::string clientId; // empty: the library makes one
    std::string username; // empty: none
    std::string password;
    int qos = 1;
    // mqtts://: the broker is verified against the CA file (the system's certificates when
    // empty), host name included; the client's own certificate and key when given.
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    uint32_t timeoutMs = 5000; // how long the first connection may take
};

class MqttLink {
public:
    enum class Start { kConnected, kUnreachable, kRefused, kFailed };

    explicit MqttLink(MqttSettings settings);
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;
    // Disconnects (the will is not sent) and stops the library's thread.
    ~MqttLink();

    // The will of every connection from the next. Call before Connect.
    void SetWill(MqttWill will) { will_ = std::move(will); }
    // Connects and starts the library's thread; the reason in `why` when it is not kConnected.
    Start Connect(std::string& why);
    // Sends a message with the settings' QoS; false when the link is down or the library
    // refuses it (the message is not kept). While the library holds the most messages it
    // may, waits for the broker to take some (at most the settings' timeout).
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    // Takes the messages of `filter` from now on, also after every reconnection; `receive`
    // runs on the library's thread with each one's topic and payload. Call before Connect,
    // once for each filter.
    using Receive = std::function<void(const std::string& topic, const std::string& payload)>;
    void Subscribe(std::string filter, Receive receive);
    // Waits until the broker took every message sent so far (at most `timeoutMs`), so that
    // the last ones are not lost with the disconnection.
    void Flush(uint32_t timeoutMs);
    bool connected() const { return connected_.load(); }
    // How many times the broker accepted the connection: a change means a reconnection, after
    // which the retained state is sent again.
    uint64_t connections() const { return connections_.load(); }

private:
    bool SetTls(std::string& why);
    bool SetWillNow();
    static void OnConnect(mosquitto* client, void* self, int code);
    static void OnDisconnect(mosquitto* client, void* self, int code);
    static void OnPublish(mosquitto* client, void* self, int messageId);
    static void OnMessage(mosquitto* client, void* self, const ::mosquitto_message* message);

    MqttSettings settings_;
    // Set before the library's thread starts, then only read.
    std::vector<std::pair<std::string, Receive>> subscriptions_;
    MqttWill will_; // its payload is the library thread's once Connect has begun
    mosquitto* client_ = nullptr;
    bool looping_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> connections_{0};
    std::mutex mutex_;
    std::condition_variable answered_;
    int firstAnswer_ = -1; // the broker's first CONNACK code; -1 before it
    uint64_t sent_ = 0;    // messages handed to the library
    bool stalled_ = false; // waiting for room timed out, and no room since
    uint64_t taken_ = 0;   // the ones the library reported as delivered (from the last
                           // connection on: may pass sent_ when it delivers older ones)
};

} // namespace ksymtool

#endif
