// ChannelContext: everything the library knows about one communication channel.
#ifndef KSYM_FRAME_CHANNEL_CONTEXT_H
#define KSYM_FRAME_CHANNEL_CONTEXT_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "include/ksymbol.h"
#include "platform/win32.h"

class KBufferedFileSerDev;

namespace ksym {

struct VarList;
class SymbolIndex;

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

// One per channel, owned by the ChannelTable.
//
// Threads: the caller's threads open, close, load and define lists (serialised per channel
// by the caller); the channel's notification thread runs the dispatcher. Fields that both
// touch are atomic words; the comment beside each says who writes it and what orders the
// hand-over. Fields without a comment are the caller's only.
struct ChannelContext {
    ChannelContext() = default;
    ChannelContext(const ChannelContext&) = delete;
    ChannelContext& operator=(const ChannelContext&) = delete;

    // Written by CreateChannelContext and by the re-open; read by the notification thread.
    std::atomic<int32_t> channel{-1};
    // Written by the open functions before the notification thread starts; read by it.
    HWND hNotifyWnd = nullptr;
    UINT uNotifyMsg = 0;
    // The list whose read is in progress. Set by the send step and cleared by the reply step
    // under that list's lock; cleared without it by the list's deletion and the opens.
    std::atomic<VarList*> pendingRead{nullptr};
    uint32_t blockSize = 0;

    // The symbol table: written by the loader on the caller's thread only.
    int32_t symbolCount = 0;
    SymbolEntry* symbols = nullptr;
    uint8_t* elementSizes = nullptr;
    int32_t filteredCount = 0;
    SymbolEntry** filtered = nullptr;
    SymbolIndex* symbolIndex = nullptr;
    int32_t swapBytes = 0;
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
    // the reply step, and by the loader while it withdraws them after its wait: so a late
    // reply never writes into a device or signals an event that the loader is closing.
    std::mutex loaderLock;

    // The variable lists defined on the channel, so that deleting the context detaches them
    // (a list may outlive its channel). Written by list definition and release, and by the
    // context's deletion, on caller threads, under listsLock.
    std::mutex listsLock;
    std::vector<VarList*> lists;
    // Held by the dispatcher from its look at pendingRead to the end of the read's reply
    // step, and taken by KSymDeleteVarList after it cleared pendingRead: a list is released
    // only once no reply step can still be running on it.
    std::mutex readStepLock;

    // Made by the open functions before the thread starts, closed by KSymCloseChannel after
    // the thread has ended.
    HANDLE channelEvent = nullptr;
    // 1 from the closer asks the thread to end; the thread's last act writes 0.
    std::atomic<int32_t> stopRequested{0};
    // The notification thread, kept so that the close can wait for its end.
    HANDLE notificationThread = nullptr;
};

// A new context for `channel`: every field 0 or null, projectInfo with five empty texts.
// Null when memory is short.
ChannelContext* NewChannelContext(int32_t channel);
// Releases the symbol table and the project record, then the context itself. Does not close
// events or stop the notification thread.
void DeleteChannelContext(ChannelContext* context);

} // namespace ksym

#endif
