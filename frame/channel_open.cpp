// The open functions: KSymOpenChannelEx, KSymOpenChannel, KSymKOpenChannelEx,
// KSymKOpenChannel.
#include <cstdint>

#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame/error_codes.h"
#include "frame/exception_guard.h"
#include "frame/notification_thread.h"
#include "include/ksymbol.h"
#include "varlist/pending_read.h"

namespace ksym {

namespace {

// Opens the channel at the client library with a new event; the lambda makes the call.
template <typename OpenAtClient>
int32_t OpenNewChannel(OpenAtClient openAtClient, HWND hNotifyWnd, UINT uNotifyMsg,
                       uint32_t blockSize, int priority) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        // Without its event the channel could have no notification thread.
        KClientSetLastError(kErrNoThread);
        return -1;
    }
    const int32_t channel = openAtClient(event);
    if (channel == -1) {
        CloseHandle(event);
        return -1;
    }
    // A context made earlier by the symbol loader keeps its symbol table.
    const ContextRef context = FindOrCreateChannelContext(channel);
    if (context == nullptr) {
        KSymCloseChannel(channel);
        CloseHandle(event);
        KClientSetLastError(kErrNoContextSpace);
        return -1;
    }
    context->hNotifyWnd = hNotifyWnd;
    context->uNotifyMsg = uNotifyMsg;
    context->channelEvent = event;
    EndRead(*context, nullptr);
    if (blockSize == 0) {
        blockSize = KClientGetDWord(channel, KCLIENT_DWORD_BLOCK_SIZE);
    }
    context->blockSize = blockSize != 0 ? blockSize : kNoBlockLimit;
    context->stopRequested.store(0);
    if (!StartNotificationThread(context, priority)) {
        KSymCloseChannel(channel);
        KClientSetLastError(kErrNoThread);
        return -1;
    }
    return channel;
}

// Moves an open channel to the number the client library issues anew; its context, event
// and notification thread carry on under that number.
int32_t ReopenChannel(const char* first, int32_t reopen, HWND hNotifyWnd, UINT uNotifyMsg) {
    // Reckoned in 64 bits: far below the base, the difference is no channel number at all.
    const int64_t old = static_cast<int64_t>(reopen) - KSYM_REOPEN_BASE;
    ChannelContext* context =
        old < INT32_MIN ? nullptr : FindChannelContext(static_cast<int32_t>(old));
    if (context == nullptr) {
        KClientSetLastError(kErrNoSymbols);
        return -1;
    }
    // A read in progress is abandoned. A telegram of it on the wire stays owed its reply,
    // which moves with the channel and becomes the abandoned read's message.
    EndRead(*context, nullptr);
    const int32_t channel = KClientOpenChannelEx(first, static_cast<int32_t>(old), hNotifyWnd,
                                                 uNotifyMsg, context->channelEvent);
    if (channel == -1) {
        return -1;
    }
    context->channel.store(channel);
    // The client may have signalled the event for the replies that moved along before the
    // new number was stored, and the thread may have fetched under the old one: it looks
    // again, under the new number.
    SetEvent(context->channelEvent);
    return channel;
}

} // namespace

} // namespace ksym

using ksym::OpenNewChannel;

extern "C" KSYM_API int32_t KSYM_CALL KSymOpenChannelEx(const char* first, int32_t reopen,
                                                        HWND hNotifyWnd, UINT uNotifyMsg,
                                                        uint32_t blockSize) {
    return ksym::Guarded<int32_t>(-1, [&] {
        if (reopen != 0) {
            return ksym::ReopenChannel(first, reopen, hNotifyWnd, uNotifyMsg);
        }
        return OpenNewChannel(
            [&](HANDLE event) {
                return KClientOpenChannelEx(first, 0, hNotifyWnd, uNotifyMsg, event);
            },
            hNotifyWnd, uNotifyMsg, blockSize, THREAD_PRIORITY_ABOVE_NORMAL);
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymOpenChannel(const char* first, int32_t reopen,
                                                      HWND hNotifyWnd, UINT uNotifyMsg) {
    return KSymOpenChannelEx(first, reopen, hNotifyWnd, uNotifyMsg, 0);
}

extern "C" KSYM_API int32_t KSYM_CALL KSymKOpenChannelEx(const char* first, int32_t second,
                                                         int32_t third, HWND hNotifyWnd,
                                                         UINT uNotifyMsg, uint32_t blockSize) {
    return ksym::Guarded<int32_t>(-1, [&] {
        return OpenNewChannel(
            [&](HANDLE event) {
                return KClientKOpenChannelEx(first, second, third, hNotifyWnd, uNotifyMsg, event);
            },
            hNotifyWnd, uNotifyMsg, blockSize, THREAD_PRIORITY_NORMAL);
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymKOpenChannel(const char* first, int32_t second,
                                                       int32_t third, HWND hNotifyWnd,
                                                       UINT uNotifyMsg) {
    return KSymKOpenChannelEx(first, second, third, hNotifyWnd, uNotifyMsg, 0);
}
