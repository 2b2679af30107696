// Reading a list's values: the send step, the reply step and the exported read functions.
#include <cstring>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "frame/error_codes.h"
#include "frame/telegram_io.h"
#include "varlist/direct_address.h"
#include "varlist/var_list.h"

namespace ksym {

namespace {

// Reply: two bytes not examined, the reply word, then per item a presence byte and the value.
constexpr size_t kReplyWordField = 2;
constexpr size_t kReplyItemsField = 6;

// Holds a list's lock for a scope.
class ListLock {
public:
    explicit ListLock(VarList& list) : list_(list) { EnterCriticalSection(&list_.lock); }
    ~ListLock() { LeaveCriticalSection(&list_.lock); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    VarList& list_;
};

} // namespace

int SendVarListTelegram(int32_t channel, VarList* list) {
    if (list == nullptr) {
        return 0;
    }
    ChannelContext* context = list->context;
    if (context == nullptr || list->nextTelegram >= list->telegramCount) {
        return 0;
    }
    ListLock lock(*list);
    VarList* none = nullptr;
    context->pendingRead.compare_exchange_strong(none, list);
    const uint32_t length = list->requestLengths[list->nextTelegram];
    return SendTelegram(channel, list->requests[list->nextTelegram].data(), length);
}

int ReadVarListReply(int32_t channel, VarList* list) {
    if (list == nullptr) {
        KClientSetLastError(kErrNullVarList);
        return 0;
    }
    ChannelContext* context = list->context;
    // A list whose channel is gone has nothing outstanding that could still arrive.
    if (list->nextTelegram >= list->telegramCount || context == nullptr) {
        return 1;
    }
    const int32_t swapBytes = context->swapBytes;
    const uint32_t telegram = list->nextTelegram;
    const uint32_t items = TelegramItemCount(*list, telegram, swapBytes);
    const uint32_t expected = list->replyLengths[telegram];
    uint8_t* reply = list->receiveBuffer.data();
    const int32_t got = KClientRead(channel, reply, expected);
    const bool complete = got >= 0 && static_cast<uint32_t>(got) == expected;
    const uint32_t replyWord = GetField<uint32_t>(reply + kReplyWordField, swapBytes);
    std::memcpy(reply + kReplyWordField, &replyWord, sizeof replyWord);

    ListLock lock(*list);
    if (list->nextTelegram != telegram) {
        // Another thread took in this telegram's reply meanwhile (KSymGetValues during a
        // read): the state has moved on, and these bytes belong to no telegram any more.
        return 1;
    }
    size_t place = kReplyItemsField;
    for (uint32_t j = 0; j < items; ++j) {
        const uint32_t v = list->valuesReceived + j;
        const uint32_t size = EffectiveSize(TelegramItemSize(*list, telegram, j, swapBytes));
        VarValue* value = list->values[v];
        const bool valid = complete && reply[place] != 0;
        value->valid = valid ? 1 : 0;
        if (valid) {
            value->replyWord = replyWord;
            uint8_t* data = reply + place + 1;
            if (size != 1) {
                ConvertValueElements(swapBytes, data, size, list->varElementSizes[v]);
            }
            std::memcpy(value->data, data, size);
        }
        place += 1 + static_cast<size_t>(size);
    }
    list->valuesReceived += items;
    ++list->nextTelegram;
    if (list->nextTelegram == list->telegramCount) {
        VarList* self = list;
        context->pendingRead.compare_exchange_strong(self, nullptr);
    }
    return 1;
}

} // namespace ksym

using ksym::HandleNumber;
using ksym::VarList;

extern "C" KSYM_API int32_t KSYM_CALL KSymSendVarList(int32_t channel, HVARLIST hVarList) {
    KClientDllKDebugOut(channel, "KSymSendVarList(C=%ld, hVarList=%ld)\n",
                        static_cast<long>(channel), HandleNumber(hVarList));
    if (hVarList == nullptr) {
        KClientSetLastError(ksym::kErrNullVarList);
        return 0;
    }
    auto* list = static_cast<VarList*>(hVarList);
    if (!ksym::ChannelFreeForList(*list)) {
        return 0;
    }
    list->nextTelegram = 0;
    list->valuesReceived = 0;
    return ksym::SendVarListTelegram(channel, list);
}

extern "C" KSYM_API int32_t KSYM_CALL KSymGetValues(int32_t channel, HVARLIST hVarList,
                                                    VarValue*** values, uint32_t* count) {
    KClientDllKDebugOut(channel, "KSymGetValues(C=%ld, hVarList=%ld)\n", static_cast<long>(channel),
                        HandleNumber(hVarList));
    if (hVarList == nullptr) {
        KClientSetLastError(ksym::kErrNullVarList);
        if (values != nullptr) {
            *values = nullptr;
        }
        if (count != nullptr) {
            *count = 0;
        }
        return 0;
    }
    auto* list = static_cast<VarList*>(hVarList);
    ksym::ReadVarListReply(channel, list);
    if (values != nullptr) {
        *values = list->values.data();
    }
    if (count != nullptr) {
        *count = list->valuesReceived;
    }
    return 1;
}
