#include "varlist/var_list.h"

#include <cstring>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "frame/error_codes.h"
#include "frame/telegram_io.h"

namespace ksym {

namespace {
std::atomic<uint32_t> liveLists{0};
} // namespace

VarList::VarList() {
    InitializeCriticalSection(&lock);
    liveLists.fetch_add(1);
}

VarList::~VarList() {
    // The buffers go with the members; the lock is deleted last.
    requests.clear();
    valueStorage.clear();
    values.clear();
    DeleteCriticalSection(&lock);
    liveLists.fetch_sub(1);
}

uint32_t LiveVarLists() {
    return liveLists.load();
}

void HoldVarList(VarList& list) {
    list.holders.fetch_add(1);
}

void ReleaseVarList(VarList* list) {
    if (list != nullptr && list->holders.fetch_sub(1) == 1) {
        FreeVarList(list);
    }
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
    if (list.context->closed.load()) {
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
    delete list;
}

uint32_t TelegramItemCount(const VarList& list, uint32_t telegram, int32_t swapBytes) {
    return GetField<uint32_t>(list.requests[telegram].data() + kItemCountField, swapBytes);
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
