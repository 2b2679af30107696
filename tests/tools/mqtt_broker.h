// A mosquitto broker on a free loopback port with a configuration of the test's own, and a
// subscriber of its own (mosquitto_sub), for the tests of ksym publish. Both are processes,
// stopped by their ids; every wait is bounded.
#ifndef KSYM_TESTS_TOOLS_MQTT_BROKER_H
#define KSYM_TESTS_TOOLS_MQTT_BROKER_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ksym_tool_run.h"
#include "raw_socket.h"

namespace ksymtest {

// A loopback port nobody listens on now, below the kernel's range of ports for port 0 and
// outgoing connections: a process that stops and starts again there (a broker or a station
// in an outage) cannot find it taken meanwhile by another test's listener on port 0, which
// the kernel would give a port it just let go.
inline uint16_t FreePort() {
    static std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> below(20000, 32000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(below(random)));
        const bool free =
            bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (free) {
            return ntohs(address.sin_port);
        }
    }
    return 0;
}

inline void StopProcess(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited >= 5000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
}

// Polls `ready` every 10 ms for at most `ms`.
inline bool WaitUntil(const std::function<bool()>& ready, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

class Broker {
public:
    // `settings` go into the configuration after the listener line.
    Broker(std::filesystem::path folder, std::string settings = "allow_anonymous true\n")
        : folder_(std::move(folder)), settings_(std::move(settings)), port_(FreePort()) {
        Start();
    }
    ~Broker() { Stop(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    uint16_t port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

    // Starts it (again) on its port.
    void Start() {
        // Started as root, mosquitto reads its password file as its own user: the folder
        // must let it in.
        namespace fs = std::filesystem;
        fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
        const std::string config = (folder_ / "mosquitto.conf").string();
        std::ofstream(config) << "listener " << port_ << " 127.0.0.1\n" << settings_;
        pid_ = Spawn({"mosquitto", "-c", config}, (folder_ / "mosquitto.out").string());
        ASSERT_TRUE(WaitUntil([&] { return RawSocket(port_).connected(); }))
            << "mosquitto did not start: " << ReadText(folder_ / "mosquitto.out");
    }
    void Stop() { StopProcess(pid_); }

private:
    std::filesystem::path folder_;
    std::string settings_;
    uint16_t port_;
    pid_t pid_ = -1;
};

// What a subscriber received: topic and payload of each message, in order.
using Messages = std::vector<std::pair<std::string, std::string>>;

class Subscriber {
public:
    // Subscribes to `topic` (with `options` for mosquitto_sub, e.g. a login) and returns once
    // the subscription is in place (a marker the test sends has come through). Messages
    // retained from before are left out: a subscriber sees what is sent while it listens.
    // With `persistent`, its session (QoS 1) outlives its connection: what comes while the
    // broker restarts (with persistence on) reaches it once it is back. With `hex`, payloads
    // are received as their bytes in hexadecimal (for binary ones).
    Subscriber(const std::filesystem::path& folder, uint16_t port, const std::string& topic,
               std::vector<std::string> options = {}, bool persistent = false, bool hex = false)
        : port_(port), options_(std::move(options)),
          out_((folder / ("sub" + std::to_string(++count_) + ".txt")).string()) {
        std::vector<std::string> args = {
            "mosquitto_sub", "-h", "127.0.0.1",      "-p", std::to_string(port), "-v", "-R", "-t",
            topic,           "-t", "ksym-test/ready"};
        args.insert(args.end(), options_.begin(), options_.end());
        if (persistent) {
            args.insert(args.end(), {"-c", "-q", "1", "-i", "ksym-test-" + std::to_string(count_)});
        }
        if (hex) {
            args.insert(args.end(), {"-F", "%t %x"});
        }
        pid_ = Spawn(args, out_);
        const bool ready = WaitUntil([&] {
            Send("ksym-test/ready", "1");
            return ReadText(out_).find("ksym-test/ready") != std::string::npos;
        });
        EXPECT_TRUE(ready) << "the subscriber did not subscribe: " << ReadText(out_);
    }
    ~Subscriber() { Stop(); }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    void Stop() { StopProcess(pid_); }

    // A message sent by mosquitto_pub with the subscriber's options.
    void Send(const std::string& topic, const std::string& payload) {
        std::vector<std::string> args = {
            "mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port_), "-t",
            topic,           "-m", payload};
        args.insert(args.end(), options_.begin(), options_.end());
        pid_t pid = Spawn(args, out_ + ".pub");
        int status = 0;
        waitpid(pid, &status, 0);
    }

    // A message of any bytes, sent by mosquitto_pub from a file.
    void SendBytes(const std::string& topic, const std::string& payload) {
        const std::string file = out_ + ".payload";
        std::ofstream(file, std::ios::binary) << payload;
        std::vector<std::string> args = {
            "mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port_), "-t",
            topic,           "-f", file};
        args.insert(args.end(), options_.begin(), options_.end());
        pid_t pid = Spawn(args, out_ + ".pub");
        int status = 0;
        waitpid(pid, &status, 0);
    }

    // Everything received so far but the markers.
    Messages Received() const {
        Messages messages;
        std::istringstream in(ReadText(out_));
        std::string line;
        while (std::getline(in, line)) {
            const size_t space = line.find(' ');
            const std::string topic = line.substr(0, space);
            if (topic != "ksym-test/ready") {
                messages.emplace_back(topic,
                                      space == std::string::npos ? "" : line.substr(space + 1));
            }
        }
        return messages;
    }

private:
    static inline int count_ = 0;
    uint16_t port_;
    std::vector<std::string> options_;
    std::string out_;
    pid_t pid_ = -1;
};

} // namespace ksymtest

#endif
