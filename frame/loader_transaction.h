// Ending the symbol loader's transaction (a project-id check or an upload) that waits for
// the station: by the reply step, by a fatal error, or by the closing of the channel.
#ifndef KSYM_FRAME_LOADER_TRANSACTION_H
#define KSYM_FRAME_LOADER_TRANSACTION_H

#include "frame/channel_context.h"

namespace ksym {

// Each records the outcome, withdraws what the transaction lent (so that a stray second
// reply cannot overwrite the outcome or reach the device) and wakes the loader. The caller
// holds the context's loaderLock.
void EndUpload(ChannelContext& context, LoadStatus status);
void EndProjectIdCheck(ChannelContext& context, LoadStatus status);
// Ends whichever transaction waits; false when none does. The caller holds loaderLock.
bool EndWaitingTransaction(ChannelContext& context, LoadStatus status);

} // namespace ksym

#endif
