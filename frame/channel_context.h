// ChannelContext: everything the library knows about one communication channel.
#ifndef KSYM_FRAME_CHANNEL_CONTEXT_H
#define KSYM_FRAME_CHANNEL_CONTEXT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "include/ksymbol.h"
#include "platform/win32.h"

class KBufferedFileSerDev;

namespace ksym {

struct VarList;
class SymbolIndex;
class TableArena;

// Outcome of the symbol loader's transaction in progress.
enum LoadStatus : int32_t {
    LoadDone = 0,
    LoadRefused = 1,    // the station refused the upload
    LoadFatalError = 2, // the client library reported COMM_FATALERROR meanwhile
    LoadFailed = 3,     // not done, or a reply was empty or malformed, or a request not sent
    LoadTimedOut = 4,   // the loader's wait ran out
};

// Block size meaning "no limit".
inline constexpr uint32_t kNoBlockLimit = 0xFFFFFFFFu;

// Where the channel's read telegram is: none on the wire, sent and its reply not yet in, or
// its reply being taken in by the dispatcher.
enum class ReadWire : uint8_t { Idle, Sent, InHand };

// One per channel.
//
// Ownership: shared. The ChannelTable holds a context while its channel is open; the
// channel's notification thread holds it until the thread ends; a symbol load holds it
// across its waits; every variable list defined on the channel holds it until the list is
// freed. The last holder releases it (DeleteChannelContext). Closing the channel retires
// the context (`closed`): it leaves the table, its symbols and project record are released,
// and whoever still holds it finds it closed and leaves it alone.
//
// Threads: the caller's threads open, close, load and define lists (serialised per channel
// by the caller); the channel's notification thread runs the dispatcher. Fields that both
// touch are atomic words or guarded by the lock named beside them. Fields without a comment
// are the caller's only.
struct ChannelContext {
    ChannelContext() = default;
    ChannelContext(const ChannelContext&) = delete;
    ChannelContext& operator=(const ChannelContext&) = delete;

    // Written by CreateChannelContext and by the re-open; read by the notification thread.
    std::atomic<int32_t> channel{-1};
    // Written by the open functions before the notification thread starts; read by it.
    HWND hNotifyWnd = nullptr;
    UINT uNotifyMsg = 0;
    // The list whose read is in progress; it does not own the list (every deletion of a list
    // clears it first). Written under pendingLock only: set by KSymSendVarList, cleared by
    // the reply step of the last telegram, by list deletions and by the opens. Read without
    // the lock where only "is a read in progress" matters.
    std::atomic<VarList*> pendingRead{nullptr};
    // Counts the reads begun on the channel, so that a reply step can tell whether the read
    // it picked up is still the one in progress. Guarded by pendingLock.
    uint32_t readSerial = 0;
    // The read telegram on the wire (varlist/pending_read.h): sent and not yet answered, or
    // its reply in the dispatcher's hands. It outlives the read that sent it when that read
    // is ended meanwhile, so that the reply still owed is never taken for another read's.
    // Guarded by pendingLock.
    ReadWire readWire = ReadWire::Idle;
    DWORD readSentAt = 0; // GetTickCount when the telegram on the wire was sent
    // Guards pendingRead, readSerial and the wire state; held only for a few loads and
    // stores, never while waiting for anything, and never while a list's lock is being taken.
    std::mutex pendingLock;
    uint32_t blockSize = 0;

    // The symbol table: written by the loader on the caller's thread only.
    int32_t symbolCount = 0;
    SymbolEntry* symbols = nullptr;
    uint8_t* elementSizes = nullptr;
    int32_t filteredCount = 0;
    SymbolEntry** filtered = nullptr;
    SymbolIndex* symbolIndex = nullptr;
    // The memory of the table's texts and index records, released with the table; owned.
    // The names the index holds are its own key copies; the arena also holds the type
    // names and the names it does not hold (repeated names, placeholders).
    TableArena* symbolArena = nullptr;
    // The names as the reader stored them, until BuildSymbolIndex has pointed the entries at
    // their index copies; owned.
    TableArena* readNames = nullptr;
    // Written by the loader before its exchange; read by the reply steps on the notification
    // thread and by the caller's requests. Atomic, so that a reply step of a read that
    // follows a load sees the load's value without another hand-over.
    std::atomic<int32_t> swapBytes{0};
    // Written by the loader and by the project-id reply step; the loader reads it after its
    // event was signalled.
    std::atomic<int32_t> projectId{0};
    ProjectInfo projectInfo{};

    // The loader's transaction: the loader sets them up before sending its request and reads
    // them after its wait; the notification thread ends the transaction by writing
    // loadStatus and signalling the event.
    std::atomic<int32_t> loadStatus{LoadDone};
    std::atomic<KBufferedFileSerDev*> uploadDevice{nullptr};
    std::atomic<HANDLE> uploadEvent{nullptr};
    std::atomic<HANDLE> projectIdEvent{nullptr};
    // Held by the dispatcher from its look at uploadDevice and projectIdEvent to the end of
    // the reply step, by the loader while it begins and ends a transaction, and by the
    // retirement of the context: so a late reply never writes into a device or signals an
    // event that the loader is closing, and a load never begins a wait nobody would end.
    std::mutex loaderLock;
    // Set once, under loaderLock, when the channel is closed (the context retired). Read by
    // anyone who holds the context beyond the table: the loader after its waits, a list
    // whose channel is gone.
    std::atomic<bool> closed{false};
    // True while a symbol load runs on the context (guarded by loaderLock): the retirement
    // then leaves the symbol table to the load, which releases it when it ends.
    bool loading = false;

    // Made by the open functions before the thread starts. KSymCloseChannel closes it once
    // the thread has acknowledged its stop; when the thread does not acknowledge in time the
    // handle stays with the context and goes with it, after the thread has let go.
    HANDLE channelEvent = nullptr;
    // 1 from the closer asks the thread to end; the thread's last use of the context before
    // it lets go writes 0.
    std::atomic<int32_t> stopRequested{0};
};

using ContextRef = std::shared_ptr<ChannelContext>;

// A new context for `channel`: every field 0 or null, projectInfo with five empty texts,
// released through DeleteChannelContext by its last holder. Null when memory is short.
ContextRef NewChannelContext(int32_t channel);
// Releases the symbol table, the project record and an event the close left behind, then
// the context itself. Does not stop the notification thread (which holds the context as
// long as it runs).
void DeleteChannelContext(ChannelContext* context);
// Retires a context that leaves the table: marks it closed, ends a loader transaction that
// waits (LoadFailed), releases its symbol table and project record. With stopThread it also
// asks a notification thread that still runs to end.
void RetireChannelContext(ChannelContext& context, bool stopThread);

// The number of contexts made by NewChannelContext and not yet released (for tests).
uint32_t LiveChannelContexts();

} // namespace ksym

#endif
