#include "frame/dispatcher.h"

#include <atomic>

#include "extern/kclient.h"
#include "symbols/loader_steps.h"
#include "varlist/var_list.h"

namespace ksym {

namespace {

constexpr char kFatalLine[] =
    "PostMessage COMM_FATALERROR: hNotifyWnd=%ld, uNotifyMsg=%d, wParam=%d, lParam=%ld\n";
constexpr char kReadyLine[] =
    "PostMessage COMM_MESSAGEREADY: hNotifyWnd=%ld, uNotifyMsg=%d, wParam=%d, lParam=%ld\n";
constexpr char kPassLine[] =
    "VarHandleReply::PostMessage(hNotifyWnd=%ld, uNotifyMsg=%d, wParam=%d, lParam=%ld\n";

std::atomic<PostMessageFunction> postFunction{nullptr};

BOOL Post(const ChannelContext& context, int32_t wParam, uint32_t lParam) {
    PostMessageFunction function = postFunction.load();
    if (function == nullptr) {
        function = &PostMessageA;
    }
    return function(context.hNotifyWnd, context.uNotifyMsg,
                    static_cast<WPARAM>(static_cast<uint32_t>(wParam)),
                    static_cast<LPARAM>(lParam));
}

// The debug line that precedes a post, with the same wParam and lParam.
void Log(const ChannelContext& context, const char* format, int32_t wParam, uint32_t lParam) {
    KClientDllKDebugOut(context.channel.load(), format,
                        static_cast<long>(reinterpret_cast<intptr_t>(context.hNotifyWnd)),
                        static_cast<int>(context.uNotifyMsg), static_cast<int>(wParam),
                        static_cast<long>(lParam));
}

void EndTransaction(ChannelContext& context, const std::atomic<HANDLE>& event, LoadStatus status) {
    context.loadStatus.store(status);
    SetEvent(event.load());
}

void OnFatalError(ChannelContext& context, uint32_t value) {
    if (context.uploadDevice.load() != nullptr) {
        EndTransaction(context, context.uploadEvent, LoadFatalError);
    } else if (context.projectIdEvent.load() != nullptr) {
        EndTransaction(context, context.projectIdEvent, LoadFatalError);
    } else {
        // A read in progress stays in progress: the caller learns of the failure here.
        Post(context, COMM_FATALERROR, value);
    }
}

void OnReadReply(ChannelContext& context, int32_t channel, VarList* list) {
    const uint32_t varCount = list->varCount;
    if (ReadVarListReply(channel, list) == 0) {
        Log(context, kFatalLine, COMM_FATALERROR, 0);
        Post(context, COMM_FATALERROR, 0);
        return;
    }
    if (context.pendingRead.load() != nullptr) {
        SendVarListTelegram(channel, list);
        return;
    }
    PostReadComplete(context, varCount);
}

void OnUploadReply(ChannelContext& context, int32_t channel, uint32_t length) {
    const int result = length == 0 ? kUploadUnusable : ParseUploadReply(channel, context, length);
    switch (result) {
    case kUploadRefused:
        EndTransaction(context, context.uploadEvent, LoadRefused);
        break;
    case kUploadMore:
        if (SendUploadRequest(channel, context, nullptr) == 0) {
            EndTransaction(context, context.uploadEvent, LoadFailed);
        }
        break;
    case kUploadLast:
        EndTransaction(context, context.uploadEvent, LoadDone);
        break;
    default:
        EndTransaction(context, context.uploadEvent, LoadFailed);
        break;
    }
}

void OnProjectIdReply(ChannelContext& context, int32_t channel, uint32_t length) {
    const int result = length == 0 ? 0 : ParseProjectIdReply(channel, context, length);
    EndTransaction(context, context.projectIdEvent, result != 0 ? LoadDone : LoadFailed);
}

void OnMessageReady(ChannelContext& context, int32_t channel, uint32_t length) {
    // The order is a priority: a list read, then an upload, then a project-id check.
    if (VarList* list = context.pendingRead.load()) {
        OnReadReply(context, channel, list);
    } else if (context.uploadDevice.load() != nullptr) {
        OnUploadReply(context, channel, length);
    } else if (context.projectIdEvent.load() != nullptr) {
        OnProjectIdReply(context, channel, length);
    } else {
        Log(context, kPassLine, COMM_MESSAGEREADY, length);
        Post(context, COMM_MESSAGEREADY, length);
    }
}

} // namespace

void SetPostMessageFunction(PostMessageFunction function) {
    postFunction.store(function);
}

void PostReadComplete(ChannelContext& context, uint32_t varCount) {
    const uint32_t lParam = 10u * varCount + 6u;
    Log(context, kReadyLine, COMM_MESSAGEREADY, lParam);
    if (!Post(context, COMM_MESSAGEREADY, lParam)) {
        Post(context, COMM_MESSAGEREADY, lParam);
    }
}

void VarHandleReply::PostMessage(ChannelContext* context) {
    const int32_t channel = context->channel.load();
    uint32_t value = 0;
    const int32_t status = KClientGetReplyStatus(channel, &value);
    switch (status) {
    case COMM_FATALERROR:
        OnFatalError(*context, value);
        break;
    case COMM_MESSAGEREADY:
        OnMessageReady(*context, channel, value);
        break;
    case COMM_TIMEOUT:
        Log(*context, kPassLine, status, value);
        Post(*context, status, value);
        break;
    default:
        Post(*context, status, value);
        break;
    }
}

} // namespace ksym
