// The client library's exported functions.
#include <cstring>
#include <string>

#include "extern/kclient.h"
#include "kclient/channel_registry.h"
#include "kclient/last_error.h"

namespace kclient {

namespace {

int32_t OpenNew(const char* station, uint32_t connectTimeoutMs, HANDLE event) {
    auto channel = std::make_shared<Channel>(event);
    int32_t error = 0;
    std::string message;
    std::unique_ptr<Transport> transport =
        MakeTransport(station, channel, connectTimeoutMs, error, message);
    if (transport == nullptr) {
        Fail(error, message);
        return -1;
    }
    const int32_t number = ChannelRegistry::Instance().Add(
        std::make_shared<OpenChannel>(std::move(channel), std::move(transport)));
    if (number == -1) {
        Fail(KCLIENT_ERR_TOO_MANY, "all channel numbers are in use");
    }
    return number;
}

// The channel keeps its queue and its transport under a new number; a broken transport is
// connected anew to `station`.
int32_t Reopen(const char* station, int32_t old, HANDLE event) {
    std::shared_ptr<OpenChannel> entry = ChannelRegistry::Instance().Find(old);
    if (entry == nullptr) {
        Fail(KCLIENT_ERR_NO_CHANNEL, "channel " + std::to_string(old) + " is not open");
        return -1;
    }
    if (entry->transport()->Broken()) {
        int32_t error = 0;
        std::string message;
        std::unique_ptr<Transport> transport =
            MakeTransport(station, entry->sharedChannel(), 0, error, message);
        if (transport == nullptr) {
            Fail(error, message);
            return -1;
        }
        entry->ReplaceTransport(std::move(transport));
    }
    const int32_t number = ChannelRegistry::Instance().Renumber(old);
    entry->channel().SetEvent(event);
    return number;
}

std::shared_ptr<OpenChannel> FindOrFail(int32_t number) {
    std::shared_ptr<OpenChannel> entry = ChannelRegistry::Instance().Find(number);
    if (entry == nullptr) {
        KClientSetLastError(KCLIENT_ERR_NO_CHANNEL);
    }
    return entry;
}

} // namespace

} // namespace kclient

using kclient::FindOrFail;

extern "C" KCLIENT_API int32_t KCLIENT_CALL KClientOpenChannelEx(const char* station,
                                                                 int32_t reopenChannel, HWND, UINT,
                                                                 HANDLE event) {
    return reopenChannel == 0 ? kclient::OpenNew(station, 0, event)
                              : kclient::Reopen(station, reopenChannel, event);
}

extern "C" KCLIENT_API int32_t KCLIENT_CALL KClientKOpenChannelEx(const char* station,
                                                                  int32_t connectTimeoutMs,
                                                                  int32_t flags, HWND, UINT,
                                                                  HANDLE event) {
    if (connectTimeoutMs < 0 || flags != 0) {
        kclient::Fail(KCLIENT_ERR_INVALID_ARGUMENT, "bad time-out or flags");
        return -1;
    }
    return kclient::OpenNew(station, static_cast<uint32_t>(connectTimeoutMs), event);
}

extern "C" KCLIENT_API int32_t KCLIENT_CALL KClientCloseChannel(int32_t channel) {
    std::shared_ptr<kclient::OpenChannel> entry =
        kclient::ChannelRegistry::Instance().Remove(channel);
    if (entry == nullptr) {
        KClientSetLastError(KCLIENT_ERR_NO_CHANNEL);
        return 0;
    }
    entry->channel().Close();
    return 1;
}

extern "C" KCLIENT_API int32_t KCLIENT_CALL KClientWrite(int32_t channel, const void* telegram,
                                                         uint32_t length) {
    std::shared_ptr<kclient::OpenChannel> entry = FindOrFail(channel);
    if (entry == nullptr) {
        return 0;
    }
    if (telegram == nullptr || length > 0x7FFFFFFFu) {
        KClientSetLastError(KCLIENT_ERR_INVALID_ARGUMENT);
        return 0;
    }
    if (!entry->transport()->Send(static_cast<const uint8_t*>(telegram), length)) {
        KClientSetLastError(KCLIENT_ERR_SEND);
        return 0;
    }
    return static_cast<int32_t>(length);
}

extern "C" KCLIENT_API int32_t KCLIENT_CALL KClientRead(int32_t channel, void* buffer,
                                                        uint32_t capacity) {
    std::shared_ptr<kclient::OpenChannel> entry = FindOrFail(channel);
    if (entry == nullptr) {
        return 0;
    }
    if (buffer == nullptr && capacity != 0) {
        KClientSetLastError(KCLIENT_ERR_INVALID_ARGUMENT);
        return 0;
    }
    return static_cast<int32_t>(entry->channel().ReadCurrent(buffer, capacity));
}

extern "C" KCLIENT_API uint32_t KCLIENT_CALL KClientDllKGetDataSize(int32_t channel) {
    std::shared_ptr<kclient::OpenChannel> entry = FindOrFail(channel);
    return entry == nullptr ? 0 : entry->channel().CurrentSize();
}

extern "C" KCLIENT_API int32_t KCLIENT_CALL KClientGetReplyStatus(int32_t channel,
                                                                  uint32_t* value) {
    std::shared_ptr<kclient::OpenChannel> entry = FindOrFail(channel);
    if (entry == nullptr) {
        if (value != nullptr) {
            *value = 0;
        }
        return COMM_NOSTATUS;
    }
    return entry->channel().TakeStatus(value);
}

extern "C" KCLIENT_API uint32_t KCLIENT_CALL KClientGetDWord(int32_t channel, int32_t index) {
    std::shared_ptr<kclient::OpenChannel> entry = FindOrFail(channel);
    if (entry == nullptr) {
        return 0;
    }
    switch (index) {
    case KCLIENT_DWORD_SWAP:
        return entry->transport()->SwapFlag();
    case KCLIENT_DWORD_BLOCK_SIZE:
        return entry->transport()->BlockSize();
    default:
        KClientSetLastError(KCLIENT_ERR_INVALID_ARGUMENT);
        return 0;
    }
}

extern "C" KCLIENT_API int32_t KCLIENT_CALL KClientGetProjectName(int32_t channel, char* buffer,
                                                                  uint32_t capacity) {
    std::shared_ptr<kclient::OpenChannel> entry = FindOrFail(channel);
    if (entry == nullptr) {
        return 0;
    }
    const std::string name = entry->transport()->ProjectName();
    if (buffer == nullptr || capacity <= name.size()) {
        KClientSetLastError(KCLIENT_ERR_INVALID_ARGUMENT);
        return 0;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return 1;
}
