// Writing variables: the write telegram of a list, the one-shot write, and its result.
#include <cstring>
#include <vector>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "frame/channel_table.h"
#include "frame/error_codes.h"
#include "frame/exception_guard.h"
#include "frame/telegram_io.h"
#include "frame/reply_read.h"
#include "formats/direct_address.h"
#include "varlist/var_list.h"

namespace {

// The write telegram of a one-telegram list: the addresses of its request telegram (already
// in controller order), each followed by its value converted to controller order, then one
// spare byte per item, zero. Empty when a value buffer is missing.
std::vector<uint8_t> BuildWriteTelegram(const ksym::VarList& list, int32_t swapBytes,
                                        const void* const* buffers) {
    using namespace ksym;
    std::vector<uint8_t> telegram(list.writeLengths[0], 0);
    const std::vector<uint8_t>& request = list.requests[0];
    telegram[0] = formats::kServiceWrite;
    std::memcpy(telegram.data() + kItemCountField, request.data() + kItemCountField, 4);
    const uint32_t items = TelegramItemCount(list, 0, swapBytes);
    size_t place = kItemsField;
    for (uint32_t k = 0; k < items; ++k) {
        const auto* value = static_cast<const uint8_t*>(buffers[k]);
        if (value == nullptr) {
            return {};
        }
        std::memcpy(telegram.data() + place, request.data() + kItemsField + k * kItemLength,
                    kItemLength);
        place += kItemLength;
        const uint32_t size = formats::EffectiveSize(TelegramItemSize(list, 0, k, swapBytes));
        std::memcpy(telegram.data() + place, value, size);
        ConvertValueElements(swapBytes, telegram.data() + place, size, list.varElementSizes[k]);
        place += size;
    }
    return telegram;
}

} // namespace

using ksym::HandleNumber;
using ksym::VarList;

extern "C" KSYM_API int32_t KSYM_CALL KSymWriteVarList(int32_t channel, HVARLIST hVarList,
                                                       const void* const* buffers) {
    KClientDllKDebugOut(channel, "KSymWriteVarList(C=%ld, hVarList=%ld)\n",
                        static_cast<long>(channel), HandleNumber(hVarList));
    if (hVarList == nullptr) {
        KClientSetLastError(ksym::kErrNullVarList);
        return 0;
    }
    const auto* list = static_cast<const VarList*>(hVarList);
    if (list->telegramCount > 1) {
        KClientSetLastError(ksym::kErrMultiTelegram);
        return 0;
    }
    if (!ksym::ChannelFreeForList(*list)) {
        return 0;
    }
    // A missing value is the caller's mistake, told by the client's code for a null buffer
    // (the codes are shared), so that no earlier code lingers for it.
    if (buffers == nullptr && list->varCount != 0) {
        KClientSetLastError(KCLIENT_ERR_INVALID_ARGUMENT);
        return 0;
    }
    return ksym::Guarded<int32_t>(0, [&] {
        const std::vector<uint8_t> telegram =
            BuildWriteTelegram(*list, list->context->swapBytes, buffers);
        if (telegram.empty()) {
            KClientSetLastError(KCLIENT_ERR_INVALID_ARGUMENT);
            return 0;
        }
        return ksym::SendTelegram(channel, telegram.data(), list->writeLengths[0]);
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymWriteVars(int32_t channel, const char* const* names,
                                                    uint32_t count, const void* const* buffers) {
    KClientDllKDebugOut(channel, "KSymWriteVars(C=%ld)\n", static_cast<long>(channel));
    VarList* list = static_cast<VarList*>(KSymDefineVarList(channel, names, count));
    if (list == nullptr) {
        return 0;
    }
    if (list->telegramCount > 1) {
        KClientSetLastError(ksym::kErrTooBigWrite);
        ksym::ReleaseVarList(list);
        return 0;
    }
    const int32_t result = KSymWriteVarList(channel, list, buffers);
    // The temporary list never reads: deleting it leaves a read of another list running.
    KClientDllKDebugOut(channel, "KSymDeleteVarList(C=%ld)\n", static_cast<long>(channel));
    ksym::Guarded<int32_t>(0, [&] {
        ksym::DeleteVarList(list, false);
        return 1;
    });
    return result;
}

extern "C" KSYM_API int32_t KSYM_CALL KSymWriteResult(int32_t channel) {
    KClientDllKDebugOut(channel, "KSymWriteResult(C=%ld)\n", static_cast<long>(channel));
    KClientSetLastError(ksym::kErrNone);
    const ksym::ChannelContext* context = ksym::FindChannelContext(channel);
    if (context == nullptr) {
        KClientSetLastError(ksym::kErrNoSymbols);
        return 0;
    }
    return ksym::Guarded<int32_t>(0, [&] {
        uint16_t status = 0;
        return ksym::ReadStatusWord(channel, context->swapBytes, status) && status == 0 ? 1 : 0;
    });
}
