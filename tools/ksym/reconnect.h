// Mending a broken connection to the station, as ksym watch and ksym serve do it: the
// channel opened again and the caller's state prepared again (symbols, lists), one attempt
// at a time, with a delay that grows after each failed attempt. Each step is reported on
// stderr, so that a person sees the station go and come back.
#ifndef KSYM_TOOLS_RECONNECT_H
#define KSYM_TOOLS_RECONNECT_H

#include <cstdint>
#include <functional>

#include "tools/ksym/session.h"

namespace ksymtool {

class Reconnector {
public:
    // What a reconnected session must have again before it is used: kExitOk when ready,
    // kExitNoSymbols when the station answers but cannot give its symbols yet (another
    // attempt follows), any other exit code when trying again cannot help.
    using Prepare = std::function<int(Session&)>;

    Reconnector(Session& session, Prepare prepare)
        : session_(session), prepare_(std::move(prepare)) {}

    // Reports the break and starts over with the shortest delay.
    void Broke();
    // How long to wait before the next attempt.
    uint32_t delayMs() const { return delayMs_; }

    enum class Result { kReconnected, kNotYet, kGaveUp };
    // One attempt; kGaveUp with the exit code of Prepare. After kNotYet the delay has grown.
    Result Attempt(int& exitCode);

private:
    Session& session_;
    Prepare prepare_;
    uint32_t delayMs_ = 0;
};

} // namespace ksymtool

#endif
