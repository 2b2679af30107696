// VarList: a caller's list of variables bound to the read telegrams that fetch them.
#ifndef KSYM_VARLIST_VAR_LIST_H
#define KSYM_VARLIST_VAR_LIST_H

#include <cstdint>
#include <memory>
#include <vector>

#include "frame/channel_context.h"
#include "include/ksymbol.h"
#include "platform/win32.h"

namespace ksym {

// Element size of a variable that is not a symbol (given by direct address).
inline constexpr uint8_t kNoElementSize = 255;

// Byte positions in a read request telegram: service code, a zero byte, the item count, then
// items of area (2 bytes), offset (4) and size (4), all in the controller's byte order.
inline constexpr uint8_t kReadService = 0x2E;
inline constexpr size_t kCountField = 2;
inline constexpr size_t kItemsField = 6;
inline constexpr size_t kItemLength = 10;
inline constexpr size_t kItemOffsetField = 2;
inline constexpr size_t kItemSizeField = 6;
// Each value travels after a one-byte presence flag in the reply, and after its 10-byte
// address item (and one spare byte) in the write telegram.
inline constexpr uint32_t kReplyItemExtra = 1;
inline constexpr uint32_t kWriteItemExtra = 11;
inline constexpr uint32_t kTelegramHeader = 6;

// A list owns everything below. Telegrams, lengths and element sizes never change after
// definition.
//
// Threads: the caller's thread defines, writes and deletes the list. The read state
// (nextTelegram, valuesReceived, the value records) is written under `lock` by the send step
// (caller's thread) and by the reply step (the channel's notification thread, or the
// caller's in KSymGetValues); the caller reads the values under `lock` too. `context` is
// set at definition and cleared (under the context's listsLock) when the channel's context
// is deleted before the list, so a list outliving its channel never reaches freed memory.
struct VarList {
    VarList();
    ~VarList(); // FreeVarList's work: every buffer, then the lock
    VarList(const VarList&) = delete;
    VarList& operator=(const VarList&) = delete;

    ChannelContext* context = nullptr;
    uint32_t telegramCount = 0;
    uint32_t nextTelegram = 0;
    uint32_t varCount = 0;
    uint32_t valuesReceived = 0;
    std::vector<std::vector<uint8_t>> requests;
    std::vector<uint32_t> requestLengths;
    std::vector<uint8_t> receiveBuffer;
    std::vector<uint32_t> replyLengths;
    std::vector<uint32_t> writeLengths;
    // The records, in list order; `values` is what KSymGetValues hands out, `valueStorage`
    // owns the bytes each entry points to (size + 5 bytes, 6 for a bit).
    std::vector<VarValue*> values;
    std::vector<std::unique_ptr<uint8_t[]>> valueStorage;
    std::vector<uint8_t> varElementSizes;
    CRITICAL_SECTION lock{};
};

// A list handle as the debug lines show it.
inline long HandleNumber(const void* handle) {
    return static_cast<long>(reinterpret_cast<intptr_t>(handle));
}

// The definition behind the exported functions: the list, registered with its channel, or
// null with the error recorded.
VarList* DefineVarList(int32_t channel, const char* const* names, uint32_t count) noexcept;
// Releases a list once no reply step can be running on it. endAnyRead ends the read in
// progress on the list's channel, whichever list it belongs to; otherwise only a read of
// this list is ended.
void DeleteVarList(VarList* list, bool endAnyRead);

// True when the list's channel can take a request of the list; otherwise records 19 (the
// channel's context is gone) or 28 (a read is in progress on the channel) and gives false.
bool ChannelFreeForList(const VarList& list);

// Passes the three fields of each of `n` consecutive 10-byte items through KUtilSwap; does
// nothing when swapBytes is 0.
void SwapAddressItems(int32_t swapBytes, uint8_t* items, uint32_t n);

// Releases the list and everything it owns, after withdrawing it from its channel's context.
// Null is ignored.
void FreeVarList(VarList* list);

// The item count of a request telegram, in host order.
uint32_t TelegramItemCount(const VarList& list, uint32_t telegram, int32_t swapBytes);
// The size field of item `item` of a request telegram, in host order.
uint32_t TelegramItemSize(const VarList& list, uint32_t telegram, uint32_t item, int32_t swapBytes);

// Converts a value between host and controller byte order, element by element: each
// elementSize bytes are reversed in place on a swapping channel. An element size of 0, or
// one that does not divide the value's size (the 255 of direct addresses), leaves the value
// as it is: nothing outside the value is ever touched.
void ConvertValueElements(int32_t swapBytes, uint8_t* value, uint32_t size, uint8_t elementSize);

// The read steps the dispatcher drives on the notification thread.
// Takes in the reply to the list's current telegram; clears the channel's pendingRead when
// it was the last. 0 (error 20) only for a null list.
int ReadVarListReply(int32_t channel, VarList* list);
// Sends the list's telegram nextTelegram; 1 when the client library accepted all of it.
int SendVarListTelegram(int32_t channel, VarList* list);

} // namespace ksym

#endif
