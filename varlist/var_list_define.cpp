// Definition, counting, locking and deletion of variable lists.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "frame/channel_table.h"
#include "frame/error_codes.h"
#include "frame/exception_guard.h"
#include "frame/telegram_io.h"
#include "symbols/symbol_index.h"
#include "symbols/symbol_ref.h"
#include "formats/direct_address.h"
#include "varlist/pending_read.h"
#include "varlist/var_list.h"

namespace ksym {

namespace {

// Where a name leads: its address, and the element size that drives its byte-order
// conversion (the symbol's, also for a direct address that is a symbol's name too).
struct Resolved {
    formats::VarAddress address;
    uint8_t elementSize = kNoElementSize;
};

// A direct address wins over a symbol of the same name. False for a name that is neither.
bool Resolve(const SymbolIndex& index, const char* name, Resolved& resolved) {
    if (name == nullptr) {
        return false;
    }
    const auto* symbol = static_cast<const SymbolRef*>(index.Find(name));
    resolved.elementSize = symbol != nullptr ? symbol->GetElementSize() : kNoElementSize;
    if (formats::ParseDirectAddress(name, resolved.address) != 0) {
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

// Room made for the records before the first variable is placed; beyond it the arrays grow
// with the variables placed, so that a count the caller's names do not back costs nothing
// before the first name that fails.
constexpr uint32_t kInitialRoom = 256;

// Builds a list of `count` names. Errors are returned, not recorded; exceptions (memory)
// propagate to the exported function.
class ListBuilder {
public:
    ListBuilder(ContextRef context, uint32_t count) : context_(*context), list_(new VarList) {
        list_->context = std::move(context);
        list_->varCount = count;
        const uint32_t room = std::min(count, kInitialRoom);
        list_->values.reserve(room);
        list_->valueStorage.reserve(room);
        list_->varElementSizes.reserve(room);
    }

    int32_t Build(NameSource nameOf, const void* names) {
        const uint32_t count = list_->varCount;
        uint32_t next = 0;
        int32_t error = kErrNone;
        do {
            OpenTelegram telegram;
            list_->requests.emplace_back(kItemsField, uint8_t{0});
            list_->requests.back()[0] = kServiceRead;
            while (next < count) {
                error = Place(nameOf(names, next), telegram);
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
    int32_t Place(const char* name, OpenTelegram& telegram) {
        placed_ = false;
        if (context_.symbolIndex == nullptr) {
            return kErrNoSymbols;
        }
        Resolved resolved;
        if (!Resolve(*context_.symbolIndex, name, resolved)) {
            return kErrNoSymbols;
        }
        const uint64_t size = formats::EffectiveSize(resolved.address.size);
        const uint64_t block = std::min(context_.blockSize, kMaxTelegramLength);
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
        list_->valueStorage.emplace_back(new uint8_t[recordSize]);
        list_->values.push_back(reinterpret_cast<VarValue*>(list_->valueStorage.back().get()));
        list_->varElementSizes.push_back(resolved.elementSize);
        placed_ = true;
        return kErrNone;
    }

    void AppendItem(const formats::VarAddress& address) {
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
        PutField(request.data() + kItemCountField, telegram.items, context_.swapBytes);
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

VarList* DefineVarList(int32_t channel, NameSource nameOf, const void* names, uint32_t count) {
    ContextRef context = AcquireChannelContext(channel);
    if (context == nullptr) {
        KClientSetLastError(kErrNoSymbols);
        return nullptr;
    }
    ListBuilder builder(std::move(context), count);
    KClientSetLastError(kErrNone);
    const int32_t error = builder.Build(nameOf, names);
    if (error != kErrNone) {
        KClientSetLastError(error);
        return nullptr;
    }
    return builder.Release();
}

void DeleteVarList(VarList* list, bool endAnyRead) {
    EndRead(*list->context, endAnyRead ? nullptr : list);
    // The holds of the list's lock that this very thread took through
    // KSymEnterVarListAccess end with the handle, so that a reply step waiting for the lock
    // goes on (and finds its read ended) instead of waiting for a leave that cannot come.
    if (list->accessOwner.load() == GetCurrentThreadId()) {
        const uint32_t depth = list->accessDepth;
        list->accessDepth = 0;
        list->accessOwner.store(0);
        for (uint32_t i = 0; i < depth; ++i) {
            LeaveCriticalSection(&list->lock);
            ReleaseVarList(list); // the handle's hold, given up below, keeps it alive
        }
    }
    ReleaseVarList(list);
}

} // namespace ksym

using ksym::HandleNumber;
using ksym::VarList;

namespace {

const char* NameAt(const void* names, uint32_t i) {
    return names == nullptr ? nullptr : static_cast<const char* const*>(names)[i];
}

const char* DescriptorNameAt(const void* descriptors, uint32_t i) {
    if (descriptors == nullptr) {
        return nullptr;
    }
    const KSymVarDesc* descriptor = static_cast<const KSymVarDesc* const*>(descriptors)[i];
    return descriptor != nullptr ? descriptor->name : nullptr;
}

// KSymDefineVarList's work, with its debug line, for both exported forms.
HVARLIST Define(int32_t channel, ksym::NameSource nameOf, const void* names, uint32_t count) {
    KClientDllKDebugOut(channel, "KSymDefineVarList(C=%ld)\n", static_cast<long>(channel));
    return ksym::Guarded<HVARLIST>(
        nullptr, [&] { return ksym::DefineVarList(channel, nameOf, names, count); });
}

} // namespace

extern "C" KSYM_API HVARLIST KSYM_CALL KSymDefineVarList(int32_t channel, const char* const* names,
                                                         uint32_t count) {
    return Define(channel, &NameAt, names, count);
}

extern "C" KSYM_API HVARLIST KSYM_CALL
KSymDefineVarListByDesc(int32_t channel, const KSymVarDesc* const* descriptors, uint32_t count) {
    // The names are read straight from the descriptors; no copy of their references is made.
    HVARLIST list = Define(channel, &DescriptorNameAt, descriptors, count);
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
    return ksym::Guarded<int32_t>(0, [&] {
        ksym::DeleteVarList(static_cast<VarList*>(hVarList), true);
        return 1;
    });
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
    if (hVarList == nullptr) {
        return;
    }
    auto* list = static_cast<VarList*>(hVarList);
    ksym::HoldVarList(*list); // a deletion on another thread leaves the list to this hold
    EnterCriticalSection(&list->lock);
    list->accessOwner.store(GetCurrentThreadId());
    ++list->accessDepth;
}

extern "C" KSYM_API void KSYM_CALL KSymLeaveVarListAccess(int32_t, HVARLIST hVarList) {
    if (hVarList == nullptr) {
        return;
    }
    auto* list = static_cast<VarList*>(hVarList);
    // A leave without an enter of this thread would release someone else's hold.
    if (list->accessOwner.load() != GetCurrentThreadId() || list->accessDepth == 0) {
        return;
    }
    if (--list->accessDepth == 0) {
        list->accessOwner.store(0);
    }
    LeaveCriticalSection(&list->lock);
    ksym::ReleaseVarList(list);
}
