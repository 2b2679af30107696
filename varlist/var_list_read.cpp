// Reading a list's values: the send step, the reply step and the exported read functions.
#include <cstring>
#include <vector>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "frame/error_codes.h"
#include "frame/exception_guard.h"
#include "frame/telegram_io.h"
#include "formats/direct_address.h"
#include "varlist/pending_read.h"
#include "varlist/var_list.h"

namespace ksym {

namespace {

using formats::kReplyItemsField;
using formats::kReplyWordField;

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

// Stores the values of telegram `telegram` from its reply into the list's records. The
// caller holds the list's lock.
void StoreValues(VarList& list, uint32_t telegram, uint32_t items, uint8_t* reply, bool complete,
                 uint32_t replyWord, int32_t swapBytes) {
    size_t place = kReplyItemsField;
    const uint32_t first = list.valuesReceived.load();
    for (uint32_t j = 0; j < items; ++j) {
        const uint32_t v = first + j;
        const uint32_t size =
            formats::EffectiveSize(TelegramItemSize(list, telegram, j, swapBytes));
        VarValue* value = list.values[v];
        const bool valid = complete && reply[place] != 0;
        value->valid = valid ? 1 : 0;
        if (valid) {
            value->replyWord = replyWord;
            uint8_t* data = reply + place + 1;
            if (size != 1) {
                ConvertValueElements(swapBytes, data, size, list.varElementSizes[v]);
            }
            std::memcpy(value->data, data, size);
        }
        place += 1 + static_cast<size_t>(size);
    }
}

} // namespace

int SendVarListTelegram(int32_t channel, VarList* list) {
    if (list == nullptr || list->context->closed.load()) {
        return 0;
    }
    ListLock lock(*list);
    const uint32_t telegram = list->nextTelegram.load();
    if (telegram >= list->telegramCount) {
        return 0;
    }
    return SendTelegram(channel, list->requests[telegram].data(), list->requestLengths[telegram]);
}

NextTelegram ContinueRead(int32_t channel, VarList& list, uint32_t serial) {
    // Checked under the list's lock, which a new read of the list takes to begin.
    ListLock lock(list);
    if (!NextTelegramOnWire(*list.context, list, serial)) {
        return NextTelegram::ReadEnded;
    }
    if (SendVarListTelegram(channel, &list) != 0) {
        return NextTelegram::Sent;
    }
    TelegramNotSent(*list.context);
    // A read ended while the telegram was being written has nothing on the wire either: it
    // ends here, as if it had been ended before.
    return IsCurrentRead(*list.context, list, serial) ? NextTelegram::NotSent
                                                      : NextTelegram::ReadEnded;
}

ReplyStep TakeReadReply(int32_t channel, VarList& list, uint32_t serial, uint8_t* buffer) {
    ChannelContext& context = *list.context;
    const uint32_t telegram = list.nextTelegram.load();
    // Nothing is outstanding for a list whose read is over or whose channel is gone.
    if (telegram >= list.telegramCount || context.closed.load() ||
        !IsCurrentRead(context, list, serial)) {
        return ReplyStep::Ended;
    }
    // The reply is read before the lock is taken: a caller holding the list holds up only
    // the storing of the values.
    const int32_t swapBytes = context.swapBytes;
    const uint32_t items = TelegramItemCount(list, telegram, swapBytes);
    const uint32_t expected = list.replyLengths[telegram];
    const int32_t got = KClientRead(channel, buffer, expected);
    const bool complete = got >= 0 && static_cast<uint32_t>(got) == expected;
    const uint32_t replyWord = GetField<uint32_t>(buffer + kReplyWordField, swapBytes);

    ListLock lock(list);
    // While this step waited for the lock, the read may have been ended (a list of the
    // channel deleted, the channel re-opened), begun anew, or this very reply taken in by
    // the caller's KSymGetValues: then these bytes belong to no telegram any more.
    const bool current = IsCurrentRead(context, list, serial);
    if (!current || list.nextTelegram.load() != telegram) {
        return current && list.nextTelegram.load() < list.telegramCount ? ReplyStep::More
                                                                        : ReplyStep::Ended;
    }
    StoreValues(list, telegram, items, buffer, complete, replyWord, swapBytes);
    list.valuesReceived.fetch_add(items);
    list.nextTelegram.store(telegram + 1);
    if (telegram + 1 < list.telegramCount) {
        return ReplyStep::More;
    }
    return FinishRead(context, list, serial) ? ReplyStep::Complete : ReplyStep::Ended;
}

int ReadVarListReply(int32_t channel, VarList* list) {
    if (list == nullptr) {
        KClientSetLastError(kErrNullVarList);
        return 0;
    }
    if (list->nextTelegram.load() < list->telegramCount &&
        IsCurrentRead(*list->context, *list, kAnyRead)) {
        // Telegrams are outstanding and the caller takes in the current reply on its own
        // thread, into a buffer of its own: the notification thread's may be in use.
        std::vector<uint8_t> buffer(list->receiveBuffer.size());
        TakeReadReply(channel, *list, kAnyRead, buffer.data());
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
    return ksym::Guarded<int32_t>(0, [&] {
        auto* list = static_cast<VarList*>(hVarList);
        // Under the list's lock, so that a reply step of an earlier read of the list, still
        // waiting for the lock, sees the new read state whole.
        ksym::ListLock lock(*list);
        if (!ksym::BeginRead(*list->context, *list)) {
            return 0;
        }
        list->nextTelegram.store(0);
        list->valuesReceived.store(0);
        if (ksym::SendVarListTelegram(channel, list) == 0) {
            ksym::TelegramNotSent(*list->context);
            return 0;
        }
        return 1;
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymGetValues(int32_t channel, HVARLIST hVarList,
                                                    VarValue*** values, uint32_t* count) {
    KClientDllKDebugOut(channel, "KSymGetValues(C=%ld, hVarList=%ld)\n", static_cast<long>(channel),
                        HandleNumber(hVarList));
    auto fail = [&] {
        if (values != nullptr) {
            *values = nullptr;
        }
        if (count != nullptr) {
            *count = 0;
        }
    };
    if (hVarList == nullptr) {
        KClientSetLastError(ksym::kErrNullVarList);
        fail();
        return 0;
    }
    return ksym::Guarded<int32_t>(
        0,
        [&] {
            auto* list = static_cast<VarList*>(hVarList);
            ksym::ReadVarListReply(channel, list);
            if (values != nullptr) {
                // Callers test the array: a list of no variables hands out an empty one.
                *values = list->values.empty() ? list->noValues : list->values.data();
            }
            if (count != nullptr) {
                *count = list->valuesReceived.load();
            }
            return 1;
        },
        fail);
}
