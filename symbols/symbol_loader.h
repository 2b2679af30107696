// The symbol loader: obtains a channel's symbol file (local, or uploaded from the station
// when the project identifiers differ), reads it and indexes it.
#ifndef KSYM_SYMBOLS_SYMBOL_LOADER_H
#define KSYM_SYMBOLS_SYMBOL_LOADER_H

#include <cstdint>
#include <mutex>

#include "frame/channel_context.h"

namespace ksym {

// A symbol load in progress on a context, from the check that the channel is open to the
// hand-out of the symbols. While it lasts, closing the channel on another thread leaves the
// symbol table to the load; when it ends on a closed channel, it releases the table.
class LoadScope {
public:
    explicit LoadScope(ChannelContext& context);
    ~LoadScope();
    LoadScope(const LoadScope&) = delete;
    LoadScope& operator=(const LoadScope&) = delete;

    // False when the channel was closed before the load began.
    bool began() const { return began_; }

    // Ends the load of a table that was read and indexed: runs `handOut` (which gives the
    // caller what the table holds) unless the channel was closed meanwhile, in one step with
    // respect to the close, and gives true then. False on a closed channel: the table is
    // released, nothing is handed out. Later the scope's end does nothing more.
    template <typename HandOut> bool Finish(HandOut&& handOut) {
        std::lock_guard<std::mutex> lock(context_.loaderLock);
        const bool open = !context_.closed.load();
        if (open) {
            handOut();
        }
        EndLocked();
        return open;
    }

private:
    void EndLocked(); // the caller holds loaderLock

    ChannelContext& context_;
    bool began_ = false;
};

// Runs on the caller's thread, inside a LoadScope, and blocks while it waits for the
// station. 1 when a symbol table was read and indexed; 0 otherwise, and the channel then
// has no table. A close during a wait ends the load at once with 0: a half-written file is
// deleted and the loader touches only what it holds itself.
int LoadSymbolTable(int32_t channel, ChannelContext& context);

// For tests: `hook` runs on the loader's thread after the exchange with the station, right
// before the symbol file is read; null removes it.
void SetLoaderReadHook(void (*hook)());

// How long the loader waits for the station: 5000 ms for the project-id check and
// 60000 ms for the whole upload. Tests shorten them to reach the time-outs quickly.
void SetLoaderWaits(uint32_t projectIdMs, uint32_t uploadMs);

} // namespace ksym

#endif
