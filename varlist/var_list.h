// VarList: a caller's list of variables bound to the read telegrams that fetch them.
#ifndef KSYM_VARLIST_VAR_LIST_H
#define KSYM_VARLIST_VAR_LIST_H

#include <cstdint>

#include "frame/channel_context.h"
#include "include/ksymbol.h"
#include "platform/win32.h"

namespace ksym {

// Everything here is owned by the list. Telegrams, lengths and element sizes never change
// after definition; the read state (nextTelegram, valuesReceived, the values) is written
// under `lock` by the send step (caller's thread) and the reply step (notification thread).
struct VarList {
    ChannelContext* context = nullptr;
    uint32_t telegramCount = 0;
    uint32_t nextTelegram = 0;
    uint32_t varCount = 0;
    uint32_t valuesReceived = 0;
    uint8_t** requests = nullptr;
    uint32_t* requestLengths = nullptr;
    uint8_t* receiveBuffer = nullptr;
    uint32_t* replyLengths = nullptr;
    uint32_t* writeLengths = nullptr;
    VarValue** values = nullptr;
    uint8_t* varElementSizes = nullptr;
    CRITICAL_SECTION lock{};
};

// The read steps the dispatcher drives on the notification thread.
// Takes in the reply to the list's current telegram; clears the channel's pendingRead when
// it was the last. Nonzero on success.
int ReadVarListReply(int32_t channel, VarList* list);
// Sends the list's telegram nextTelegram. The result is not used by the dispatcher.
int SendVarListTelegram(int32_t channel, VarList* list);

} // namespace ksym

#endif
