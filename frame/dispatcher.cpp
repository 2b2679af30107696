#include "frame/dispatcher.h"

#include <atomic>
#include <mutex>

#include "extern/kclient.h"
#include "frame/loader_transaction.h"
#include "symbols/loader_steps.h"
#include "varlist/pending_read.h"
#include "varlist/var_list.h"

namespace ksym {

namespace {

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

// A fatal error ends the loader's transaction, if one is waiting. False when none is.
bool FailLoaderTransaction(ChannelContext& context) {
    std::lock_guard<std::mutex> lock(context.loaderLock);
    return EndWaitingTransaction(context, LoadFatalError);
}

void OnFatalError(ChannelContext& context, uint32_t value) {
    if (!FailLoaderTransaction(context)) {
        // A read in progress stays in progress: the caller learns of the failure here.
        Post(context, COMM_FATALERROR, value);
    }
}

// The reply step of the read the dispatcher picked up, then the next telegram or the
// completion. A read ended meanwhile gets neither.
void OnReadReply(ChannelContext& context, int32_t channel, const ReadTicket& ticket) {
    VarList& list = *ticket.list;
    const uint32_t varCount = list.varCount;
    switch (TakeReadReply(channel, list, ticket.serial, list.receiveBuffer.data())) {
    case ReplyStep::More:
        ContinueRead(channel, list, ticket.serial);
        break;
    case ReplyStep::Complete:
        PostReadComplete(context, varCount);
        break;
    case ReplyStep::Ended:
        break;
    }
}

void OnUploadReply(ChannelContext& context, int32_t channel, uint32_t length) {
    const int result = length == 0 ? kUploadUnusable : ParseUploadReply(channel, context, length);
    switch (result) {
    case kUploadRefused:
        EndUpload(context, LoadRefused);
        break;
    case kUploadMore:
        if (SendUploadRequest(channel, context, nullptr) == 0) {
            EndUpload(context, LoadFailed);
        }
        break;
    case kUploadLast:
        EndUpload(context, LoadDone);
        break;
    default:
        EndUpload(context, LoadFailed);
        break;
    }
}

void OnProjectIdReply(ChannelContext& context, int32_t channel, uint32_t length) {
    const int result = length == 0 ? 0 : ParseProjectIdReply(channel, context, length);
    EndProjectIdCheck(context, result != 0 ? LoadDone : LoadFailed);
}

// Hands the reply to the loader's transaction, if one is waiting. False when none is.
bool ServeLoaderTransaction(ChannelContext& context, int32_t channel, uint32_t length) {
    std::lock_guard<std::mutex> lock(context.loaderLock);
    if (context.uploadDevice.load() != nullptr) {
        OnUploadReply(context, channel, length);
    } else if (context.projectIdEvent.load() != nullptr) {
        OnProjectIdReply(context, channel, length);
    } else {
        return false;
    }
    return true;
}

void OnMessageReady(ChannelContext& context, int32_t channel, uint32_t length) {
    // The order is a priority: a list read, then an upload, then a project-id check.
    ReadTicket ticket;
    if (TakePendingRead(context, ticket)) {
        // The ticket's hold keeps the list alive through the step, whatever a caller's
        // thread deletes meanwhile; the deletion waits for nothing.
        OnReadReply(context, channel, ticket);
        return;
    }
    if (!ServeLoaderTransaction(context, channel, length)) {
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
