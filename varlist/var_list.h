// VarList: a caller's list of variables bound to the read telegrams that fetch them.
#ifndef KSYM_VARLIST_VAR_LIST_H
#define KSYM_VARLIST_VAR_LIST_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/telegram_layout.h"
#include "frame/channel_context.h"
#include "include/ksymbol.h"
#include "platform/win32.h"

namespace ksym {

// Element size of a variable that is not a symbol (given by direct address).
inline constexpr uint8_t kNoElementSize = 255;

// The read and write telegrams' layout (formats/telegram_layout.h): service code, a zero
// byte, the item count, then items of area (2 bytes), offset (4) and size (4), all in the
// controller's byte order.
using formats::kItemCountField;
using formats::kItemLength;
using formats::kItemOffsetField;
using formats::kItemsField;
using formats::kItemSizeField;
using formats::kServiceRead;
// Each value travels after a one-byte presence flag in the reply, and after its address
// item (and one spare byte) in the write telegram.
inline constexpr uint32_t kReplyItemExtra = 1;
inline constexpr uint32_t kWriteItemExtra = formats::kItemLength + 1;
inline constexpr uint32_t kTelegramHeader = formats::kTelegramHeader;
// The longest telegram (request, reply or write) a list may need, whatever the block size:
// the client library reports what it read or wrote as a signed 32-bit count, so a longer
// one could never arrive or go out whole (and a 32-bit process could not hold it).
inline constexpr uint32_t kMaxTelegramLength = 0x7FFFFFFF;

// A list owns everything below. Telegrams, lengths and element sizes never change after
// definition.
//
// Ownership: shared through `holders`. The caller's handle is one hold, from the definition
// to KSymDeleteVarList; each KSymEnterVarListAccess is one until its
// KSymLeaveVarListAccess; a reply step holds the list it works on. The last holder frees
// the list (FreeVarList). The list holds its channel's context, which stays alive (and
// tells by `closed` that the channel is gone) as long as the list does.
//
// Threads: the caller's threads define, write and delete the list. The read state
// (nextTelegram, valuesReceived, the value records) is written under `lock` by the send step
// (caller's thread) and by the reply step (the channel's notification thread, or the
// caller's in KSymGetValues); the caller reads the values under `lock` too. nextTelegram
// and valuesReceived are atomic words because the reply step looks at them once before it
// takes the lock.
struct VarList {
    VarList();
    ~VarList(); // FreeVarList's work: every buffer, then the lock
    VarList(const VarList&) = delete;
    VarList& operator=(const VarList&) = delete;

    ContextRef context;
    uint32_t telegramCount = 0;
    std::atomic<uint32_t> nextTelegram{0};
    uint32_t varCount = 0;
    std::atomic<uint32_t> valuesReceived{0};
    std::vector<std::vector<uint8_t>> requests;
    std::vector<uint32_t> requestLengths;
    std::vector<uint8_t> receiveBuffer; // the notification thread's reply steps only
    std::vector<uint32_t> replyLengths;
    std::vector<uint32_t> writeLengths;
    // The records, in list order; `values` is what KSymGetValues hands out, `valueStorage`
    // owns the bytes each entry points to (size + 5 bytes, 6 for a bit).
    std::vector<VarValue*> values;
    std::vector<std::unique_ptr<uint8_t[]>> valueStorage;
    std::vector<uint8_t> varElementSizes;
    CRITICAL_SECTION lock{};

    std::atomic<uint32_t> holders{1};
    // The caller's holds of `lock` through KSymEnterVarListAccess: the thread and how often.
    // Written only by the thread that holds `lock`; read by a deletion on any thread, which
    // only compares the owner with itself.
    std::atomic<DWORD> accessOwner{0};
    uint32_t accessDepth = 0;
    // What KSymGetValues hands out for a list of no variables: a valid, empty array.
    VarValue* noValues[1] = {nullptr};
};

// A list handle as the debug lines show it.
inline long HandleNumber(const void* handle) {
    return static_cast<long>(reinterpret_cast<intptr_t>(handle));
}

// Takes and gives up a hold on a list; the last release frees it.
void HoldVarList(VarList& list);
void ReleaseVarList(VarList* list);

// The definition behind the exported functions: a list of `count` variables whose names
// `nameOf(i)` gives, or null with the error recorded. Throws only when memory runs out.
using NameSource = const char* (*)(const void* names, uint32_t i);
VarList* DefineVarList(int32_t channel, NameSource nameOf, const void* names, uint32_t count);
// Withdraws the list from its channel and gives up the caller's hold; never waits for a
// reply step. endAnyRead ends the read in progress on the list's channel, whichever list it
// belongs to; otherwise only a read of this list is ended. A caller that holds the list's
// lock through KSymEnterVarListAccess on this thread gives up those holds too.
void DeleteVarList(VarList* list, bool endAnyRead);

// True when the list's channel can take a request of the list; otherwise records 19 (the
// channel is closed) or 28 (a read is in progress on the channel) and gives false.
bool ChannelFreeForList(const VarList& list);

// Passes the three fields of each of `n` consecutive 10-byte items through KUtilSwap; does
// nothing when swapBytes is 0.
void SwapAddressItems(int32_t swapBytes, uint8_t* items, uint32_t n);

// Releases the list and everything it owns. Null is ignored. Only the last holder calls it.
void FreeVarList(VarList* list);

// The number of lists made and not yet freed (for tests).
uint32_t LiveVarLists();

// The item count of a request telegram, in host order.
uint32_t TelegramItemCount(const VarList& list, uint32_t telegram, int32_t swapBytes);
// The size field of item `item` of a request telegram, in host order.
uint32_t TelegramItemSize(const VarList& list, uint32_t telegram, uint32_t item, int32_t swapBytes);

// Converts a value between host and controller byte order, element by element: each
// elementSize bytes are reversed in place on a swapping channel. An element size of 0, or
// one that does not divide the value's size (the 255 of direct addresses), leaves the value
// as it is: nothing outside the value is ever touched.
void ConvertValueElements(int32_t swapBytes, uint8_t* value, uint32_t size, uint8_t elementSize);

// What a reply step left to do.
enum class ReplyStep {
    Ended,    // the read is no longer in progress (ended meanwhile, or taken in elsewhere)
    More,     // telegrams remain: the next one is to be sent
    Complete, // the last telegram was taken in; the read is over
};

// The reply step: takes in the reply to the list's current telegram, reading it into
// `buffer` (room for the largest reply), when the list's read `serial` (kAnyRead: any read
// of the list) is still in progress; ends the read after the last telegram.
ReplyStep TakeReadReply(int32_t channel, VarList& list, uint32_t serial, uint8_t* buffer);
// The step as KSymGetValues runs it: 0 (error 20) only for a null list, else 1.
int ReadVarListReply(int32_t channel, VarList* list);
// Sends the list's telegram nextTelegram; 1 when the client library accepted all of it.
int SendVarListTelegram(int32_t channel, VarList* list);
// What became of the next telegram of a read that a reply step left telegrams to.
enum class NextTelegram {
    Sent,      // on the wire; its reply is to come
    NotSent,   // the client library refused it; the read stays in progress
    ReadEnded, // the read was ended meanwhile: nothing was sent, nothing is on the wire
};
// SendVarListTelegram for the dispatcher after a step that left telegrams: only while the
// list's read `serial` is still the one in progress.
NextTelegram ContinueRead(int32_t channel, VarList& list, uint32_t serial);

} // namespace ksym

#endif
