// The MQTT link against a broker of the test's own that accepts the connection and then
// never acknowledges a message: the publisher must come to wait for room, not keep queueing
// without end, and give up when the broker goes.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/watchdog.h"
#include "tools/ksym/publish/mqtt_link.h"

namespace {

// Listens on a loopback port; answers one connection's CONNECT with a CONNACK and then
// reads and drops everything until told to hang up.
class SilentBroker {
public:
    SilentBroker() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~SilentBroker() {
        HangUp();
        thread_.join();
        close(listener_);
    }
    uint16_t port() const { return port_; }
    void HangUp() {
        hangUp_.store(true);
        shutdown(listener_, SHUT_RDWR);
        const int connection = connection_.load();
        if (connection >= 0) {
            shutdown(connection, SHUT_RDWR);
        }
    }

private:
    void Serve() {
        const int connection = accept(listener_, nullptr, nullptr);
        if (connection < 0) {
            return;
        }
        connection_.store(connection);
        char bytes[4096];
        bool answered = false;
        while (!hangUp_.load()) {
            const ssize_t got = recv(connection, bytes, sizeof bytes, 0);
            if (got <= 0) {
                break;
            }
            if (!answered) {
                const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
                send(connection, connack, sizeof connack, MSG_NOSIGNAL);
                answered = true;
            }
        }
        close(connection);
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<int> connection_{-1};
    std::atomic<bool> hangUp_{false};
    std::thread thread_;
};

TEST(KsymMqttLink, ABrokerThatAcknowledgesNothingBoundsWhatWaits) {
    ksymtest::Watchdog watchdog("mqtt link bound", std::chrono::seconds(30));
    SilentBroker broker;
    ksymtool::MqttSettings settings;
    settings.broker = {false, "127.0.0.1", broker.port()};
    settings.qos = 1;
    settings.timeoutMs = 2000;
    ksymtool::MqttLink link(settings);
    std::string why;
    ASSERT_EQ(link.Connect(why), ksymtool::MqttLink::Start::kConnected) << why;
    const std::string payload(100, 'v');
    size_t taken = 0;
    while (taken < 20000 && link.Publish("bound/" + std::to_string(taken), payload, true)) {
        ++taken;
    }
    // The library holds 10,000 unacknowledged messages at most; the next one waits for room
    // for the timeout and is refused, and those after it are refused without waiting again
    // (twenty waits of 2 s would pass the watchdog's 30 s).
    EXPECT_EQ(taken, 10000u);
    for (int more = 0; more < 20; ++more) {
        EXPECT_FALSE(link.Publish("bound/more", payload, true));
    }
    broker.HangUp();
    ASSERT_TRUE([&] {
        for (int waited = 0; waited < 10000; waited += 10) {
            if (!link.connected()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }());
    EXPECT_FALSE(link.Publish("bound/gone", payload, true));
}

} // namespace
