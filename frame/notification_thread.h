// The notification thread of a channel: waits on channelEvent and dispatches once per wake.
#ifndef KSYM_FRAME_NOTIFICATION_THREAD_H
#define KSYM_FRAME_NOTIFICATION_THREAD_H

#include "frame/channel_context.h"
#include "platform/win32.h"

namespace ksym {

// The thread's body; its argument is the channel's ChannelContext. It ends when it sees
// stopRequested = 1 and acknowledges by writing 0 as its last act.
unsigned __stdcall NotificationThread(void* context);

// Starts the thread for `context` at the given priority and keeps its handle in the
// context. False when the thread cannot be started.
bool StartNotificationThread(ChannelContext& context, int priority);

// Asks the thread to end and waits: up to 5000 ms, polling every 100 ms, for its
// acknowledgement; then, if the thread is still running (busy in the dispatcher), for the
// thread itself, so that its context and event are never released under it. Closes and
// forgets channelEvent and the thread's handle.
void StopNotificationThread(ChannelContext& context);

} // namespace ksym

#endif
