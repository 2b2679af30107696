// A message window and a channel to the station for one verb, the symbol table loaded on it,
// and bounded waits for the notifications the library posts to the window.
#ifndef KSYM_TOOLS_SESSION_H
#define KSYM_TOOLS_SESSION_H

#include <cstdint>
#include <string>

#include "include/ksymbol.h"
#include "tools/ksym/failure_text.h"
#include "tools/ksym/interrupt.h"
#include "tools/ksym/options.h"

namespace ksymtool {

// How a wait for a notification ended.
enum class WaitEnd {
    kPosted,      // a notification arrived: see Notification
    kTimedOut,    // none within the time-out
    kInterrupted, // the user asked to stop (Ctrl-C) while waiting
};

struct Notification {
    WaitEnd end = WaitEnd::kTimedOut;
    uint32_t status = 0; // wParam: COMM_MESSAGEREADY, COMM_FATALERROR or another status
    uint32_t value = 0;  // lParam
};

class Session {
public:
    explicit Session(const Options& options) : options_(options) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    // Opens the channel; false (and a message on stderr) when that fails.
    bool Open();
    // Opens the channel anew after its connection broke: the re-open form of
    // KSymOpenChannelEx first (the library's record of the channel, its window and thread
    // carry on under a new number), a fresh open when that fails. Notifications still
    // queued for the old channel are dropped. False, with the reason in `why`, when neither
    // works; the symbols must be loaded again either way.
    bool Reconnect(std::string& why);
    // Closes the channel; what KSymCloseChannel returned.
    int32_t Close();
    int32_t channel() const { return channel_; }
    const Options& options() const { return options_; }

    // Loads the symbol table and selects the symbols whose names begin with `prefix` (any
    // case; null: all); false (and a message on stderr unless `quiet`) when that fails. The
    // load also sets the channel's byte order, which the library decodes the replies of the
    // controller services with.
    bool LoadSymbols(const char* prefix = nullptr, bool quiet = false);
    SymbolEntry* const* symbols() const { return symbols_; }
    int32_t symbolCount() const { return symbolCount_; }

    // The next notification of the channel, waiting at most `timeoutMs` (the options'
    // time-out when omitted).
    Notification Wait() const { return Wait(options_.timeoutMs); }
    Notification Wait(uint32_t timeoutMs) const;
    // Waits for the answer to a controller service (project id, login, logout, write): true
    // on COMM_MESSAGEREADY; otherwise prints why on stderr and stores the exit code.
    bool AwaitReply(int& exitCode) const;
    // As above, with the reason in `why` instead of on stderr.
    bool AwaitReply(int& exitCode, std::string& why) const;

private:
    void DropNotifications() const;

    const Options& options_;
    HWND window_ = nullptr;
    int32_t channel_ = -1;
    SymbolEntry** symbols_ = nullptr;
    int32_t symbolCount_ = 0;
};

// The message for a time-out, the same wherever it happens.
inline constexpr const char* kNoAnswer = "no answer from the controller";

} // namespace ksymtool

#endif
