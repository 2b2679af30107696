// The reply dispatcher: run once per wake of a channel's notification thread.
#ifndef KSYM_FRAME_DISPATCHER_H
#define KSYM_FRAME_DISPATCHER_H

#include <cstdint>

#include "frame/channel_context.h"
#include "platform/win32.h"

namespace ksym {

struct VarHandleReply {
    // Fetches one reply status from the client library and either completes one of the
    // library's own transactions (a list read, an upload, a project-id check) or posts
    // uNotifyMsg to hNotifyWnd. Runs on the channel's notification thread only.
    static void PostMessage(ChannelContext* context);
};

// Posts the completion of a list read of varCount variables: (COMM_MESSAGEREADY,
// 10 * varCount + 6), posted a second time when the first post fails.
void PostReadComplete(ChannelContext& context, uint32_t varCount);

// The window-message post the dispatcher uses; tests replace it to see every post attempt.
using PostMessageFunction = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
void SetPostMessageFunction(PostMessageFunction function); // null restores PostMessageA

} // namespace ksym

#endif
