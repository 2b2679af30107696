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
    // A closed channel notifies nobody: the caller may already have destroyed its window.
    if (context.closed.load()) {
        return TRUE;
    }
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
    // The error answers the read telegram on the wire, if there is one. That of a read ended
    // meanwhile makes the error that read's message, whatever the loader waits for: the
    // loader's own request went out after it.
    if (AnsweredWithoutReply(context) || !FailLoaderTransaction(context)) {
        // A read in progress stays in progress: the caller learns of the failure here.
        Post(context, COMM_FATALERROR, value);
    }
}

// Posts a reply that is the caller's, after its debug line.
void PassOn(ChannelContext& context, int32_t status, uint32_t value) {
    Log(context, kPassLine, status, value);
    Post(context, status, value);
}

// A claimed reply in the dispatcher's hands: the wire is made free when the step is over,
// however it ends (also when it runs out of memory), unless it put the next telegram on it.
class ReplyInHand {
public:
    explicit ReplyInHand(ChannelContext& context) : context_(context) {}
    ~ReplyInHand() { Done(); }
    ReplyInHand(const ReplyInHand&) = delete;
    ReplyInHand& operator=(const ReplyInHand&) = delete;

    void Done() {
        if (!done_) {
            done_ = true;
            ReplyStepDone(context_);
        }
    }

private:
    ChannelContext& context_;
    bool done_ = false;
};

// The reply step of the read the dispatcher claimed, then the next telegram or the read's
// one message: its completion, also when it was ended while its reply was in hand (it is
// over then, and nothing of it is on the wire any more).
void OnReadReply(ChannelContext& context, int32_t channel, const ReadTicket& ticket) {
    ReplyInHand inHand(context);
    VarList& list = *ticket.list;
    const uint32_t varCount = list.varCount;
    if (TakeReadReply(channel, list, ticket.serial, list.receiveBuffer.data()) == ReplyStep::More) {
        switch (ContinueRead(channel, list, ticket.serial)) {
        case NextTelegram::Sent:
            return; // its reply comes next
        case NextTelegram::NotSent:
            return; // the read stays in progress (28 until a list of the channel is deleted)
        case NextTelegram::ReadEnded:
            break;
        }
    }
    // The wire is free before the message goes out, so that a caller who got it can read
    // again at once.
    inHand.Done();
    PostReadComplete(context, varCount);
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
    // The order is a priority: a list read, a read ended with its telegram on the wire, then
    // an upload, then a project-id check.
    ReadTicket ticket;
    switch (ClaimReply(context, ticket)) {
    case ReplyOwner::Read:
        // The ticket's hold keeps the list alive through the step, whatever a caller's
        // thread deletes meanwhile; the deletion waits for nothing.
        OnReadReply(context, channel, ticket);
        return;
    case ReplyOwner::EndedRead:
        // Its bytes belong to no read any more; they are the ended read's message.
        PassOn(context, COMM_MESSAGEREADY, length);
        return;
    case ReplyOwner::Other:
        break;
    }
    if (!ServeLoaderTransaction(context, channel, length)) {
        PassOn(context, COMM_MESSAGEREADY, length);
    }
}

} // namespace

void SetPostMessageFunction(PostMessageFunction function) {
    postFunction.store(function);
}

void PostReadComplete(ChannelContext& context, uint32_t varCount) {
    const uint32_t lParam = KSYM_READ_COMPLETE(varCount);
    Log(context, kReadyLine, COMM_MESSAGEREADY, lParam);
    if (!Post(context, COMM_MESSAGEREADY, lParam)) {
        Post(context, COMM_MESSAGEREADY, lParam);
    }
}

void VarHandleReply::PostMessage(ChannelContext* context) {
    // The number is read once per wake. A re-open that renumbers the channel meanwhile
    // signals the event again once the new number is stored, so a fetch under the old number
    // (which finds nothing) is followed by one under the new.
    const int32_t channel = context->channel.load();
    uint32_t value = 0;
    const int32_t status = KClientGetReplyStatus(channel, &value);
    switch (status) {
    case COMM_NOSTATUS:
        break; // nothing was waiting: nobody is to be told anything
    case COMM_FATALERROR:
        OnFatalError(*context, value);
        break;
    case COMM_MESSAGEREADY:
        OnMessageReady(*context, channel, value);
        break;
    case COMM_TIMEOUT:
        // The client gave up on the telegram on the wire: no reply of it will come.
        AnsweredWithoutReply(*context);
        PassOn(*context, status, value);
        break;
    default:
        Post(*context, status, value);
        break;
    }
}

} // namespace ksym
