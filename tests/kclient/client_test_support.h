// Helpers for tests that talk to the real client library and its embedded simulator.
#ifndef KSYM_TESTS_KCLIENT_CLIENT_TEST_SUPPORT_H
#define KSYM_TESTS_KCLIENT_CLIENT_TEST_SUPPORT_H

#include <cstdint>
#include <optional>
#include <vector>

#include "extern/kclient.h"
#include "platform/win32.h"

namespace ksymtest {

struct Fetched {
    int32_t status;
    uint32_t value;
    std::vector<uint8_t> bytes;
};

// Waits (bounded) for the channel's event, then fetches one status and its reply.
inline std::optional<Fetched> FetchReply(int32_t channel, HANDLE event, DWORD timeoutMs = 5000) {
    if (WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    Fetched fetched{};
    fetched.status = KClientGetReplyStatus(channel, &fetched.value);
    if (fetched.status == COMM_MESSAGEREADY) {
        fetched.bytes.resize(KClientDllKGetDataSize(channel));
        const int32_t read =
            KClientRead(channel, fetched.bytes.data(), static_cast<uint32_t>(fetched.bytes.size()));
        fetched.bytes.resize(static_cast<size_t>(read));
    }
    return fetched;
}

// A channel with its own auto-reset event, closed at the end of the scope.
class SimChannel {
public:
    explicit SimChannel(const char* station)
        : event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
          channel_(KClientOpenChannelEx(station, 0, nullptr, 0, event_)) {}
    ~SimChannel() {
        if (channel_ != -1) {
            KClientCloseChannel(channel_);
        }
        CloseHandle(event_);
    }
    SimChannel(const SimChannel&) = delete;
    SimChannel& operator=(const SimChannel&) = delete;

    int32_t number() const { return channel_; }
    HANDLE event() const { return event_; }
    void Renumber(int32_t channel) { channel_ = channel; }

    bool Send(const std::vector<uint8_t>& telegram) const {
        return KClientWrite(channel_, telegram.data(), static_cast<uint32_t>(telegram.size())) ==
               static_cast<int32_t>(telegram.size());
    }
    std::optional<Fetched> Fetch(DWORD timeoutMs = 5000) const {
        return FetchReply(channel_, event_, timeoutMs);
    }

private:
    HANDLE event_;
    int32_t channel_;
};

} // namespace ksymtest

#endif
