#include "frame/notification_thread.h"

#include "frame/dispatcher.h"

namespace ksym {

namespace {
constexpr DWORD kAckWaitMs = 5000;
constexpr DWORD kAckPollMs = 100;
} // namespace

unsigned __stdcall NotificationThread(void* argument) {
    ChannelContext* context = static_cast<ChannelContext*>(argument);
    while (context->stopRequested.load() == 0) {
        if (WaitForSingleObject(context->channelEvent, INFINITE) == WAIT_FAILED) {
            // The event is owned by the closer and outlives the thread, so this cannot
            // happen; should it, the thread must not spin while it looks for the stop.
            Sleep(kAckPollMs);
            continue;
        }
        if (context->stopRequested.load() == 0) {
            VarHandleReply::PostMessage(context);
        }
    }
    // The acknowledgement the closer polls for; nothing touches the context after it.
    context->stopRequested.store(0);
    return 0;
}

bool StartNotificationThread(ChannelContext& context, int priority) {
    const uintptr_t thread = _beginthreadex(nullptr, 0, &NotificationThread, &context, 0, nullptr);
    if (thread == 0) {
        return false;
    }
    context.notificationThread = reinterpret_cast<HANDLE>(thread);
    if (priority != THREAD_PRIORITY_NORMAL) {
        SetThreadPriority(context.notificationThread, priority);
    }
    return true;
}

void StopNotificationThread(ChannelContext& context) {
    context.stopRequested.store(1);
    SetEvent(context.channelEvent);
    // The tick counter wraps at 2^32 ms; the unsigned difference stays right across it.
    const DWORD start = GetTickCount();
    while (context.stopRequested.load() == 1 && GetTickCount() - start < kAckWaitMs) {
        Sleep(kAckPollMs);
    }
    if (context.notificationThread != nullptr) {
        // Returns at once after an acknowledgement; otherwise the thread is still busy with
        // a reply and must finish before its context goes.
        WaitForSingleObject(context.notificationThread, INFINITE);
        CloseHandle(context.notificationThread);
        context.notificationThread = nullptr;
    }
    CloseHandle(context.channelEvent);
    context.channelEvent = nullptr;
}

} // namespace ksym
