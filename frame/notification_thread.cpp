#include "frame/notification_thread.h"

#include <memory>
#include <new>

#include "frame/dispatcher.h"

namespace ksym {

namespace {
constexpr DWORD kAckWaitMs = 5000;
constexpr DWORD kAckPollMs = 100;
} // namespace

unsigned __stdcall NotificationThread(void* argument) {
    // The thread's hold; the context outlives a close that stopped waiting for it.
    const std::unique_ptr<ContextRef> hold(static_cast<ContextRef*>(argument));
    ChannelContext* context = hold->get();
    while (context->stopRequested.load() == 0) {
        if (WaitForSingleObject(context->channelEvent, INFINITE) == WAIT_FAILED) {
            // The event lives as long as the context, so this cannot happen; should it, the
            // thread must not spin while it looks for the stop.
            Sleep(kAckPollMs);
            continue;
        }
        if (context->stopRequested.load() == 0) {
            try {
                VarHandleReply::PostMessage(context);
            } catch (...) {
                // Memory ran out in a step: that one reply is lost, the thread goes on (an
                // exception must not end the process from here).
            }
        }
    }
    // The acknowledgement the closer polls for; after it only the hold is let go.
    context->stopRequested.store(0);
    return 0;
}

bool StartNotificationThread(const ContextRef& context, int priority) {
    ContextRef* hold = new (std::nothrow) ContextRef(context);
    if (hold == nullptr) {
        return false;
    }
    const uintptr_t thread = _beginthreadex(nullptr, 0, &NotificationThread, hold, 0, nullptr);
    if (thread == 0) {
        delete hold;
        return false;
    }
    const auto handle = reinterpret_cast<HANDLE>(thread);
    if (priority != THREAD_PRIORITY_NORMAL) {
        SetThreadPriority(handle, priority);
    }
    CloseHandle(handle); // the thread runs on; nothing joins it
    return true;
}

bool StopNotificationThread(ChannelContext& context) {
    context.stopRequested.store(1);
    SetEvent(context.channelEvent);
    // The tick counter wraps at 2^32 ms; the unsigned difference stays right across it.
    const DWORD start = GetTickCount();
    while (context.stopRequested.load() == 1 && GetTickCount() - start < kAckWaitMs) {
        Sleep(kAckPollMs);
    }
    return context.stopRequested.load() != 1;
}

void CloseChannelEvent(ChannelContext& context) {
    if (context.channelEvent != nullptr) {
        CloseHandle(context.channelEvent);
        context.channelEvent = nullptr;
    }
}

} // namespace ksym
