#include "varlist/var_list.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "frame/error_codes.h"
#include "frame/telegram_io.h"

namespace ksym {

VarList::VarList() {
    InitializeCriticalSection(&lock);
}

VarList::~VarList() {
    // The buffers go with the members; the lock is deleted last.
    requests.clear();
    valueStorage.clear();
    values.clear();
    DeleteCriticalSection(&lock);
}

void SwapAddressItems(int32_t swapBytes, uint8_t* items, uint32_t n) {
    if (swapBytes == 0) {
        return;
    }
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t* item = items + static_cast<size_t>(i) * kItemLength;
        KUtilSwap(swapBytes, item, 2);
        KUtilSwap(swapBytes, item + kItemOffsetField, 4);
        KUtilSwap(swapBytes, item + kItemSizeField, 4);
    }
}

bool ChannelFreeForList(const VarList& list) {
    if (list.context == nullptr) {
        KClientSetLastError(kErrNoSymbols);
        return false;
    }
    if (list.context->pendingRead.load() != nullptr) {
        KClientSetLastError(kErrReadPending);
        return false;
    }
    return true;
}

void FreeVarList(VarList* list) {
    if (list == nullptr) {
        return;
    }
    if (ChannelContext* context = list->context) {
        std::lock_guard<std::mutex> guard(context->listsLock);
        auto& lists = context->lists;
        lists.erase(std::remove(lists.begin(), lists.end(), list), lists.end());
    }
    delete list;
}

uint32_t TelegramItemCount(const VarList& list, uint32_t telegram, int32_t swapBytes) {
    return GetField<uint32_t>(list.requests[telegram].data() + kCountField, swapBytes);
}

uint32_t TelegramItemSize(const VarList& list, uint32_t telegram, uint32_t item,
                          int32_t swapBytes) {
    const uint8_t* at =
        list.requests[telegram].data() + kItemsField + item * kItemLength + kItemSizeField;
    return GetField<uint32_t>(at, swapBytes);
}

void ConvertValueElements(int32_t swapBytes, uint8_t* value, uint32_t size, uint8_t elementSize) {
    if (swapBytes == 0 || elementSize == 0 || size % elementSize != 0) {
        return;
    }
    for (uint32_t offset = 0; offset < size; offset += elementSize) {
        KUtilSwap(swapBytes, value + offset, elementSize);
    }
}

} // namespace ksym
