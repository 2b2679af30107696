// Definition, counting, locking and deletion of variable lists.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "frame/channel_table.h"
#include "frame/error_codes.h"
#include "frame/telegram_io.h"
#include "symbols/symbol_index.h"
#include "symbols/symbol_ref.h"
#include "varlist/direct_address.h"
#include "varlist/var_list.h"

namespace ksym {

namespace {

// Where a name leads: its address, and the element size that drives its byte-order
// conversion (the symbol's, also for a direct address that is a symbol's name too).
struct Resolved {
    VarAddress address;
    uint8_t elementSize = kNoElementSize;
};

// A direct address wins over a symbol of the same name. False for a name that is neither.
bool Resolve(const SymbolIndex& index, const char* name, Resolved& resolved) {
    if (name == nullptr) {
        return false;
    }
    const auto* symbol = static_cast<const SymbolRef*>(index.Find(name));
    resolved.elementSize = symbol != nullptr ? symbol->GetElementSize() : kNoElementSize;
    if (ParseDirectAddress(name, resolved.address) != 0) {
        return true;
    }
    if (symbol == nullptr) {
        return false;
    }
    const SymbolEntry* entry = symbol->GetEntry();
    resolved.address.area = entry->area;
    resolved.address.offset = entry->offset;
    resolved.address.size = entry->size;
    return true;
}

// The telegram being filled, with its lengths kept wide so that no sum can wrap before it is
// compared with the block size.
struct OpenTelegram {
    uint32_t items = 0;
    uint64_t requestLength = kTelegramHeader;
    uint64_t replyLength = kTelegramHeader;
    uint64_t writeLength = kTelegramHeader;
};

// Builds a list of `count` names. Errors are returned, not recorded; exceptions (memory)
// propagate to the exported function.
class ListBuilder {
public:
    ListBuilder(ChannelContext& context, uint32_t count) : context_(context), list_(new VarList) {
        list_->context = &context;
        list_->varCount = count;
        list_->values.assign(count, nullptr);
        list_->valueStorage.resize(count);
        list_->varElementSizes.assign(count, kNoElementSize);
    }

    int32_t Build(const char* const* names) {
        const uint32_t count = list_->varCount;
        uint32_t next = 0;
        int32_t error = kErrNone;
        do {
            OpenTelegram telegram;
            list_->requests.emplace_back(kItemsField, uint8_t{0});
            list_->requests.back()[0] = kReadService;
            while (next < count) {
                error = Place(names == nullptr ? nullptr : names[next], next, telegram);
                if (error != kErrNone || !placed_) {
                    break;
                }
                ++next;
            }
            Close(telegram);
        } while (next < count && error == kErrNone);
        if (error == kErrNone) {
            list_->receiveBuffer.assign(maxReplyLength_, 0);
        }
        return error;
    }

    VarList* Release() { return list_.release(); }

private:
    // Places variable i into the open telegram, or leaves it for the next one (placed_ false)
    // when the telegram is full.
    int32_t Place(const char* name, uint32_t i, OpenTelegram& telegram) {
        placed_ = false;
        if (context_.symbolIndex == nullptr) {
            return kErrNoSymbols;
        }
        Resolved resolved;
        if (!Resolve(*context_.symbolIndex, name, resolved)) {
            return kErrNoSymbols;
        }
        const uint64_t size = EffectiveSize(resolved.address.size);
        const uint64_t block = context_.blockSize;
        if (size + kReplyItemExtra > block) {
            return kErrTooBigRead;
        }
        // Too big for a write item, or too big for even an empty telegram: either way it
        // would never be placed.
        if (size + kWriteItemExtra > block || kTelegramHeader + size + kWriteItemExtra > block ||
            kTelegramHeader + kItemLength > block) {
            return kErrTooBigWrite;
        }
        if (telegram.requestLength + kItemLength > block ||
            telegram.replyLength + size + kReplyItemExtra > block ||
            telegram.writeLength + size + kWriteItemExtra > block) {
            return kErrNone; // full: the variable opens the next telegram
        }
        AppendItem(resolved.address);
        telegram.requestLength += kItemLength;
        telegram.replyLength += size + kReplyItemExtra;
        telegram.writeLength += size + kWriteItemExtra;
        ++telegram.items;
        // size + 5 bytes, 6 for a bit: the 5-byte header and the value.
        const size_t recordSize = static_cast<size_t>(size) + offsetof(VarValue, data);
        list_->valueStorage[i].reset(new uint8_t[recordSize]);
        list_->values[i] = reinterpret_cast<VarValue*>(list_->valueStorage[i].get());
        list_->varElementSizes[i] = resolved.elementSize;
        placed_ = true;
        return kErrNone;
    }

    void AppendItem(const VarAddress& address) {
        uint8_t item[kItemLength];
        std::memcpy(item, &address.area, 2);
        std::memcpy(item + kItemOffsetField, &address.offset, 4);
        std::memcpy(item + kItemSizeField, &address.size, 4);
        std::vector<uint8_t>& request = list_->requests.back();
        request.insert(request.end(), item, item + kItemLength);
    }

    void Close(const OpenTelegram& telegram) {
        std::vector<uint8_t>& request = list_->requests.back();
        SwapAddressItems(context_.swapBytes, request.data() + kItemsField, telegram.items);
        PutField(request.data() + kCountField, telegram.items, context_.swapBytes);
        // Every length is at most the block size, a 32-bit value.
        list_->requestLengths.push_back(static_cast<uint32_t>(telegram.requestLength));
        list_->replyLengths.push_back(static_cast<uint32_t>(telegram.replyLength));
        list_->writeLengths.push_back(static_cast<uint32_t>(telegram.writeLength));
        maxReplyLength_ = std::max(maxReplyLength_, static_cast<uint32_t>(telegram.replyLength));
        ++list_->telegramCount;
    }

    ChannelContext& context_;
    std::unique_ptr<VarList> list_;
    uint32_t maxReplyLength_ = 0;
    bool placed_ = false;
};

} // namespace

VarList* DefineVarList(int32_t channel, const char* const* names, uint32_t count) noexcept {
    ChannelContext* context = FindChannelContext(channel);
    if (context == nullptr) {
        KClientSetLastError(kErrNoSymbols);
        return nullptr;
    }
    try {
        ListBuilder builder(*context, count);
        KClientSetLastError(kErrNone);
        const int32_t error = builder.Build(names);
        if (error != kErrNone) {
            KClientSetLastError(error);
            return nullptr;
        }
        VarList* list = builder.Release();
        std::lock_guard<std::mutex> lock(context->listsLock);
        try {
            context->lists.push_back(list);
        } catch (...) {
            delete list;
            throw;
        }
        return list;
    } catch (const std::bad_alloc&) {
        KClientSetLastError(kErrNoContextSpace);
        return nullptr;
    }
}

void DeleteVarList(VarList* list, bool endAnyRead) {
    if (ChannelContext* context = list->context) {
        if (endAnyRead) {
            context->pendingRead.store(nullptr);
        } else {
            VarList* expected = list;
            context->pendingRead.compare_exchange_strong(expected, nullptr);
        }
        // A reply step that picked the list up before the line above ends before this lock
        // is had; later ones see no read in progress.
        std::lock_guard<std::mutex> wait(context->readStepLock);
    }
    FreeVarList(list);
}

} // namespace ksym

using ksym::HandleNumber;
using ksym::VarList;

extern "C" KSYM_API HVARLIST KSYM_CALL KSymDefineVarList(int32_t channel, const char* const* names,
                                                         uint32_t count) {
    KClientDllKDebugOut(channel, "KSymDefineVarList(C=%ld)\n", static_cast<long>(channel));
    return ksym::DefineVarList(channel, names, count);
}

extern "C" KSYM_API HVARLIST KSYM_CALL
KSymDefineVarListByDesc(int32_t channel, const KSymVarDesc* const* descriptors, uint32_t count) {
    HVARLIST list = nullptr;
    try {
        std::vector<const char*> names(count, nullptr);
        for (uint32_t i = 0; descriptors != nullptr && i < count; ++i) {
            names[i] = descriptors[i] != nullptr ? descriptors[i]->name : nullptr;
        }
        list = KSymDefineVarList(channel, names.data(), count);
    } catch (const std::bad_alloc&) {
        KClientSetLastError(ksym::kErrNoContextSpace);
    }
    KClientDllKDebugOut(channel, "KSymDefineVarListByDesc(C=%ld, hVarList=%ld)\n",
                        static_cast<long>(channel), HandleNumber(list));
    return list;
}

extern "C" KSYM_API int32_t KSYM_CALL KSymDeleteVarList(int32_t channel, HVARLIST hVarList) {
    KClientDllKDebugOut(channel, "KSymDeleteVarList(C=%ld)\n", static_cast<long>(channel));
    if (hVarList == nullptr) {
        KClientSetLastError(ksym::kErrNullVarList);
        return 0;
    }
    ksym::DeleteVarList(static_cast<VarList*>(hVarList), true);
    return 1;
}

extern "C" KSYM_API uint32_t KSYM_CALL KSymGetNumOfVars(int32_t channel, HVARLIST hVarList) {
    KClientDllKDebugOut(channel, "KSymGetNumOfVars(C=%ld, hVarList=%ld)\n",
                        static_cast<long>(channel), HandleNumber(hVarList));
    if (hVarList == nullptr) {
        KClientSetLastError(ksym::kErrNullVarList);
        return 0;
    }
    return static_cast<VarList*>(hVarList)->varCount;
}

extern "C" KSYM_API void KSYM_CALL KSymEnterVarListAccess(int32_t, HVARLIST hVarList) {
    if (hVarList != nullptr) {
        EnterCriticalSection(&static_cast<VarList*>(hVarList)->lock);
    }
}

extern "C" KSYM_API void KSYM_CALL KSymLeaveVarListAccess(int32_t, HVARLIST hVarList) {
    if (hVarList != nullptr) {
        LeaveCriticalSection(&static_cast<VarList*>(hVarList)->lock);
    }
}
